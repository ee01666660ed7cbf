package quill.jca;

import java.io.ByteArrayOutputStream;
import java.math.BigInteger;
import java.security.InvalidKeyException;
import java.security.KeyFactory;
import java.security.KeyStore;
import java.security.KeyStoreException;
import java.security.PrivateKey;
import java.security.PublicKey;
import java.security.SecureRandom;
import java.security.cert.Certificate;
import java.security.interfaces.RSAPrivateCrtKey;
import java.security.interfaces.RSAPublicKey;
import java.security.spec.RSAPublicKeySpec;
import java.util.Arrays;

import ru.Kestrel.Quill.KeyStore.PFXStore;
import ru.Kestrel.Quill.KeyStore.StoreCallbacks;
import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * Keys between the CryptoAPI's little-endian blobs and the standard Java
 * forms, and software keys moved into containers.
 */
final class Keys {
    private Keys() {}

    static final int RSA1 = 0x31415352;
    static final int GOS1 = 0x31534F47;
    /** id-tc26-gost3410-12-256 / -512 and id-tc26-gost3411-12-256 / -512, DER. */
    static final byte[] OID_GOST_256 = {6, 8, 0x2a, (byte) 0x85, 3, 7, 1, 1, 1, 1};
    static final byte[] OID_GOST_512 = {6, 8, 0x2a, (byte) 0x85, 3, 7, 1, 1, 1, 2};
    static final byte[] OID_STREEBOG_256 = {6, 8, 0x2a, (byte) 0x85, 3, 7, 1, 1, 2, 2};
    static final byte[] OID_STREEBOG_512 = {6, 8, 0x2a, (byte) 0x85, 3, 7, 1, 1, 2, 3};

    // ---- DER, as much as these keys need ----

    /** The TLV at {@code off}: {content start, content end, end of the TLV}. */
    static int[] tlv(byte[] b, int off) throws InvalidKeyException {
        if (off + 2 > b.length) throw new InvalidKeyException("truncated DER");
        int len = b[off + 1] & 0xff, start = off + 2;
        if (len >= 0x80) {
            int n = len & 0x7f;
            if (n == 0 || n > 3 || start + n > b.length) throw new InvalidKeyException("bad DER length");
            len = 0;
            for (int i = 0; i < n; i++) len = len << 8 | (b[start + i] & 0xff);
            start += n;
        }
        if (start + len > b.length) throw new InvalidKeyException("truncated DER");
        return new int[] {start, start + len, start + len};
    }

    static byte[] der(int tag, byte[]... parts) {
        ByteArrayOutputStream content = new ByteArrayOutputStream();
        for (byte[] p : parts) content.writeBytes(p);
        int n = content.size();
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        out.write(tag);
        if (n >= 0x100) {
            out.write(0x82);
            out.write(n >> 8);
        } else if (n >= 0x80) {
            out.write(0x81);
        }
        out.write(n & 0xff);
        out.writeBytes(content.toByteArray());
        return out.toByteArray();
    }

    // ---- public keys ----

    /** The standard public key of a CSP PUBLICKEYBLOB (RSA or GOST). */
    static PublicKey publicKeyOf(byte[] blob) {
        int magic = Native.le32(blob, 8), bits = Native.le32(blob, 12);
        try {
            if (magic == RSA1) {
                BigInteger e = BigInteger.valueOf(Native.le32(blob, 16) & 0xffffffffL);
                BigInteger m = new BigInteger(1, Native.reversed(Arrays.copyOfRange(blob, 20, blob.length),
                        (bits + 7) / 8));
                return KeyFactory.getInstance("RSA", "SunRsaSign").generatePublic(new RSAPublicKeySpec(m, e));
            }
            if (magic == GOS1) {
                int[] params = tlv(blob, 16);
                byte[] paramSeq = Arrays.copyOfRange(blob, 16, params[2]);
                byte[] point = Arrays.copyOfRange(blob, params[2], blob.length);
                boolean big = bits == 512;
                if (tlv(paramSeq, 0)[1] == tlv(paramSeq, 2)[2]) {
                    // Only the curve: name the digest as well, as readers of
                    // these keys (BouncyCastle among them) expect it.
                    paramSeq = der(0x30, Arrays.copyOfRange(paramSeq, 2, paramSeq.length),
                            big ? OID_STREEBOG_512 : OID_STREEBOG_256);
                }
                byte[] algId = der(0x30, big ? OID_GOST_512 : OID_GOST_256, paramSeq);
                byte[] spki = der(0x30, algId, der(0x03, new byte[] {0}, der(0x04, point)));
                return new GostPublicKey(spki, bits);
            }
        } catch (java.security.GeneralSecurityException e) {
            throw new java.security.ProviderException("public key blob", e);
        }
        throw new java.security.ProviderException("unknown public key blob " + Native.hex(magic));
    }

    static byte[] rsaBlob(RSAPublicKey key, int alg) {
        int bits = key.getModulus().bitLength(), n = (bits + 7) / 8;
        byte[] b = Native.blob(Native.PUBLICKEYBLOB, alg, 20 + n);
        Native.putLe32(b, 8, RSA1);
        Native.putLe32(b, 12, bits);
        Native.putLe32(b, 16, key.getPublicExponent().intValueExact());
        byte[] be = key.getModulus().toByteArray();
        for (int k = 0; k < n; k++) b[20 + k] = be[be.length - 1 - k];
        return b;
    }

    /** The bit length of a GOST R 34.10-2012 SubjectPublicKeyInfo, or 0 for another key. */
    static int gostBits(PublicKey key) {
        if (key instanceof GostPublicKey) return ((GostPublicKey) key).bits;
        return "X.509".equals(key.getFormat()) ? gostBits(key.getEncoded()) : 0;
    }

    static int gostBits(byte[] spki) {
        if (spki == null) return 0;
        try {
            int[] top = tlv(spki, 0);
            int[] alg = tlv(spki, top[0]);
            byte[] oid = Arrays.copyOfRange(spki, alg[0], alg[0] + OID_GOST_256.length);
            return Arrays.equals(oid, OID_GOST_256) ? 256 : Arrays.equals(oid, OID_GOST_512) ? 512 : 0;
        } catch (InvalidKeyException | ArrayIndexOutOfBoundsException e) {
            return 0;
        }
    }

    /** The CSP PUBLICKEYBLOB of a GOST SubjectPublicKeyInfo. */
    static byte[] gostBlob(PublicKey key, int alg) throws InvalidKeyException {
        byte[] spki = key.getEncoded();
        int bits = gostBits(key);
        int[] top = tlv(spki, 0);
        int[] algId = tlv(spki, top[0]);
        int[] oid = tlv(spki, algId[0]);
        int[] params = tlv(spki, oid[2]);
        int[] bitString = tlv(spki, algId[2]);
        int[] point = tlv(spki, bitString[0] + 1);
        if (spki[params[0] - 2] != 0x30 || point[1] - point[0] != bits / 4) {
            throw new InvalidKeyException("not a GOST R 34.10-2012 public key");
        }
        int plen = params[2] - (params[0] - 2), qlen = point[1] - point[0];
        byte[] b = Native.blob(Native.PUBLICKEYBLOB, alg, 16 + plen + qlen);
        Native.putLe32(b, 8, GOS1);
        Native.putLe32(b, 12, bits);
        System.arraycopy(spki, params[0] - 2, b, 16, plen);
        System.arraycopy(spki, point[0], b, 16 + plen, qlen);
        return b;
    }

    /**
     * A standard public key imported into a context of its own, for
     * verification ({@code exchange} false) or encryption: {context, key};
     * the caller releases both.
     */
    static long[] importPublic(PublicKey key, boolean exchange) throws InvalidKeyException {
        byte[] blob;
        int type;
        if (key instanceof RSAPublicKey) {
            blob = rsaBlob((RSAPublicKey) key, exchange ? Native.CALG_RSA_KEYX : Native.CALG_RSA_SIGN);
            type = Native.PROV_RSA_AES;
        } else {
            int bits = gostBits(key);
            if (bits == 0 || exchange) throw new InvalidKeyException("unsupported public key " + key.getAlgorithm());
            blob = gostBlob(key, bits == 256 ? Native.CALG_GOST_SIGN_256 : Native.CALG_GOST_SIGN_512);
            type = bits == 256 ? Native.PROV_GOST_2012_256 : Native.PROV_GOST_2012_512;
        }
        long hProv = Native.verifyContext(type);
        long[] k = {0};
        int rc = CAPI.cryptImportKey(hProv, blob, blob.length, 0, 0, k, false);
        if (rc != 0) {
            CAPI.cryptReleaseContext(hProv, 0);
            throw new InvalidKeyException("the CSP refused the public key: " + Native.hex(rc));
        }
        return new long[] {hProv, k[0]};
    }

    // ---- private keys ----

    /** An RSA CRT key as the exchange key of a new temporary PROV_RSA_AES container. */
    static CspPrivateKey importRsa(RSAPrivateCrtKey key, boolean exportable) throws KeyStoreException {
        int bits = key.getModulus().bitLength(), n = (bits + 7) / 8, h = (bits + 15) / 16;
        byte[] blob = Native.blob(Native.PRIVATEKEYBLOB, Native.CALG_RSA_KEYX, 20 + 2 * n + 5 * h);
        Native.putLe32(blob, 8, 0x32415352); // RSA2
        Native.putLe32(blob, 12, bits);
        Native.putLe32(blob, 16, key.getPublicExponent().intValueExact());
        int off = 20;
        BigInteger[] parts = {key.getModulus(), key.getPrimeP(), key.getPrimeQ(), key.getPrimeExponentP(),
            key.getPrimeExponentQ(), key.getCrtCoefficient(), key.getPrivateExponent()};
        for (int i = 0; i < parts.length; i++) {
            int len = i == 0 || i == 6 ? n : h;
            byte[] be = parts[i].toByteArray();
            for (int k = 0; k < len && k < be.length; k++) blob[off + k] = be[be.length - 1 - k];
            Native.wipe(be);
            off += len;
        }
        long[] hProv = {0};
        Container container;
        try {
            container = Container.create(Native.PROV_RSA_AES, hProv);
        } catch (RuntimeException e) {
            Native.wipe(blob);
            throw new KeyStoreException(e.getMessage(), e);
        }
        long[] k = {0};
        int rc = CAPI.cryptImportKey(hProv[0], blob, blob.length, 0, exportable ? Native.CRYPT_EXPORTABLE : 0, k, false);
        Native.wipe(blob);
        if (rc != 0) {
            CAPI.cryptReleaseContext(hProv[0], 0);
            container.delete();
            throw new KeyStoreException("the CSP refused the RSA key: " + Native.hex(rc));
        }
        return CspPrivateKey.of(hProv[0], k[0], Native.AT_KEYEXCHANGE, container);
    }

    /** The provider type of a context. */
    static int provType(long hProv) {
        byte[] t = new byte[4];
        int[] len = {4};
        Native.check(CAPI.cryptGetProvParam(hProv, 16, t, len, 0), "provider type");
        return Native.le32(t, 0);
    }

    /** The key of a store walk's entry; its handles become the key object's. */
    static CspPrivateKey fromEntry(StoreCallbacks.Entry e, boolean temporary) {
        if (e.keyUsage != 1) {
            // The context is not ours to release: take a reference of our own.
            int rc = CAPI.cryptContextAddRef(e.hProv, 0);
            if (rc != 0) {
                CAPI.cryptDestroyKey(e.hKey);
                throw Native.failure("context reference", rc);
            }
        }
        int type;
        try {
            type = provType(e.hProv);
        } catch (RuntimeException x) {
            Native.keyRelease(e.hKey, e.hProv).run();
            throw x;
        }
        return CspPrivateKey.of(e.hProv, e.hKey, e.keyFlags, new Container(e.sourceContainer, type, temporary));
    }

    /** Releases the handles of walk entries that will not become key objects. */
    static void drop(StoreCallbacks.Entry e) {
        if (!e.hasKey) return;
        CAPI.cryptDestroyKey(e.hKey);
        if (e.keyUsage == 1) CAPI.cryptReleaseContext(e.hProv, 0);
    }

    /**
     * A software private key moved into a new temporary container: an RSA
     * CRT key as a PRIVATEKEYBLOB, any other key with a PKCS #8 encoding
     * (GOST among them) through a PFX made by the JDK's PKCS12 key store.
     */
    static CspPrivateKey importSoftware(PrivateKey key, Certificate[] chain, boolean exportable)
            throws KeyStoreException {
        if (chain == null || chain.length == 0) throw new KeyStoreException("a key entry needs its certificate");
        if (key instanceof RSAPrivateCrtKey) return importRsa((RSAPrivateCrtKey) key, exportable);
        char[] pw = new char[24];
        SecureRandom rnd = new SecureRandom();
        for (int i = 0; i < pw.length; i++) pw[i] = (char) ('a' + rnd.nextInt(26));
        byte[] pfx = null;
        try {
            KeyStore p12 = KeyStore.getInstance("PKCS12", "SUN");
            p12.load(null, null);
            p12.setKeyEntry("key", key, pw, chain);
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            p12.store(out, pw);
            pfx = out.toByteArray();
            PFXStore walk = new PFXStore();
            int rc = walk.importPfx(pfx, pfx.length, new String(pw), exportable ? Native.CRYPT_EXPORTABLE : 0);
            CspPrivateKey result = null;
            for (StoreCallbacks.Entry e : walk.entries) {
                if (e.hasKey && result == null && rc == 0) result = fromEntry(e, true);
                else drop(e);
            }
            if (result == null) throw new KeyStoreException("the CSP did not take the key: " + Native.hex(rc));
            return result;
        } catch (java.security.GeneralSecurityException | java.io.IOException e) {
            throw new KeyStoreException("cannot move the key into a container", e);
        } finally {
            Arrays.fill(pw, '\0');
            Native.wipe(pfx);
        }
    }
}
