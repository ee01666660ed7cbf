package quill;

import java.math.BigInteger;
import java.security.KeyFactory;
import java.security.interfaces.RSAPrivateCrtKey;
import java.security.interfaces.RSAPublicKey;
import java.security.spec.RSAPrivateCrtKeySpec;
import java.security.spec.RSAPublicKeySpec;

/**
 * Key blobs in the CryptoAPI's little-endian layouts, built from and turned
 * into the JDK's own key objects, so keys cross between the bridge and the
 * JDK's providers without either side trusting the other's encoder.
 */
final class Blobs {
    private Blobs() {}

    static final int RSA1 = 0x31415352;
    static final int RSA2 = 0x32415352;

    static void putLe32(byte[] b, int off, int v) {
        b[off] = (byte) v;
        b[off + 1] = (byte) (v >>> 8);
        b[off + 2] = (byte) (v >>> 16);
        b[off + 3] = (byte) (v >>> 24);
    }

    static int le32(byte[] b, int off) {
        return (b[off] & 0xff) | (b[off + 1] & 0xff) << 8 | (b[off + 2] & 0xff) << 16 | (b[off + 3] & 0xff) << 24;
    }

    static byte[] reversed(byte[] b) {
        byte[] r = new byte[b.length];
        for (int k = 0; k < b.length; k++) r[k] = b[b.length - 1 - k];
        return r;
    }

    /** A non-negative number as exactly {@code len} little-endian bytes. */
    static void putLe(byte[] out, int off, BigInteger v, int len) {
        byte[] be = v.toByteArray();
        for (int k = 0; k < len; k++) {
            int src = be.length - 1 - k;
            out[off + k] = src >= 0 ? be[src] : 0;
        }
    }

    static BigInteger le(byte[] b, int off, int len) {
        byte[] be = new byte[len];
        for (int k = 0; k < len; k++) be[k] = b[off + len - 1 - k];
        return new BigInteger(1, be);
    }

    static void header(byte[] blob, int type, int alg) {
        blob[0] = (byte) type;
        blob[1] = 2;
        putLe32(blob, 4, alg);
    }

    static byte[] publicKeyBlob(RSAPublicKey key, int alg) {
        int bits = key.getModulus().bitLength();
        int n = (bits + 7) / 8;
        byte[] blob = new byte[20 + n];
        header(blob, Csp.PUBLICKEYBLOB, alg);
        putLe32(blob, 8, RSA1);
        putLe32(blob, 12, bits);
        putLe32(blob, 16, key.getPublicExponent().intValueExact());
        putLe(blob, 20, key.getModulus(), n);
        return blob;
    }

    static byte[] privateKeyBlob(RSAPrivateCrtKey key, int alg) {
        int bits = key.getModulus().bitLength();
        int n = (bits + 7) / 8;
        int h = (bits + 15) / 16;
        byte[] blob = new byte[20 + 2 * n + 5 * h];
        header(blob, Csp.PRIVATEKEYBLOB, alg);
        putLe32(blob, 8, RSA2);
        putLe32(blob, 12, bits);
        putLe32(blob, 16, key.getPublicExponent().intValueExact());
        int off = 20;
        putLe(blob, off, key.getModulus(), n);
        off += n;
        for (BigInteger v : new BigInteger[] {key.getPrimeP(), key.getPrimeQ(), key.getPrimeExponentP(),
                key.getPrimeExponentQ(), key.getCrtCoefficient()}) {
            putLe(blob, off, v, h);
            off += h;
        }
        putLe(blob, off, key.getPrivateExponent(), n);
        return blob;
    }

    static RSAPublicKey rsaPublic(byte[] blob) throws Exception {
        int bits = le32(blob, 12);
        BigInteger e = BigInteger.valueOf(le32(blob, 16) & 0xffffffffL);
        BigInteger m = le(blob, 20, (bits + 7) / 8);
        return (RSAPublicKey) KeyFactory.getInstance("RSA").generatePublic(new RSAPublicKeySpec(m, e));
    }

    static RSAPrivateCrtKey rsaPrivate(byte[] blob) throws Exception {
        if (blob[0] != Csp.PRIVATEKEYBLOB || le32(blob, 8) != RSA2) {
            throw new IllegalArgumentException("not an RSA PRIVATEKEYBLOB");
        }
        int bits = le32(blob, 12);
        int n = (bits + 7) / 8;
        int h = (bits + 15) / 16;
        BigInteger e = BigInteger.valueOf(le32(blob, 16) & 0xffffffffL);
        int off = 20;
        BigInteger m = le(blob, off, n);
        off += n;
        BigInteger[] v = new BigInteger[5];
        for (int k = 0; k < 5; k++, off += h) v[k] = le(blob, off, h);
        BigInteger d = le(blob, off, n);
        return (RSAPrivateCrtKey) KeyFactory.getInstance("RSA")
                .generatePrivate(new RSAPrivateCrtKeySpec(m, e, d, v[0], v[1], v[2], v[3], v[4]));
    }

    /** A PLAINTEXTKEYBLOB carrying raw key bytes for {@code alg}. */
    static byte[] plainKeyBlob(int alg, byte[] key) {
        byte[] blob = new byte[12 + key.length];
        header(blob, Csp.PLAINTEXTKEYBLOB, alg);
        putLe32(blob, 8, key.length);
        System.arraycopy(key, 0, blob, 12, key.length);
        return blob;
    }
}
