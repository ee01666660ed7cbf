package quill;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quill.Csp.*;

import java.io.ByteArrayOutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyFactory;
import java.security.KeyPair;
import java.security.KeyPairGenerator;
import java.security.PublicKey;
import java.security.Signature;
import java.security.spec.ECGenParameterSpec;
import java.security.spec.X509EncodedKeySpec;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Random;

import javax.crypto.Cipher;
import javax.crypto.spec.IvParameterSpec;
import javax.crypto.spec.SecretKeySpec;

import org.bouncycastle.jce.provider.BouncyCastleProvider;
import org.junit.jupiter.api.Test;

import ru.Kestrel.Quill.KeyStore.MSStore;
import ru.Kestrel.Quill.KeyStore.PFXStore;
import ru.Kestrel.Quill.KeyStore.StoreCallbacks.Entry;
import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * The GOST provider types through the bridge, proved against BouncyCastle:
 * GOST R 34.10-2012 signatures both ways (the CSP's signatures are the
 * little-endian reverse of BouncyCastle's), and Kuznyechik in CBC and counter
 * mode.
 */
class GostTest {
    static final int PROV_GOST_2012_256 = 80;
    static final int PROV_GOST_2012_512 = 81;
    static final int CALG_GR3411_2012_256 = 0x8021;
    static final int CALG_GR3411_2012_512 = 0x8022;
    static final int CALG_GR3410_2012_256 = 0x2e49;
    static final int CALG_GR3410_2012_512 = 0x2e3d;
    static final int CALG_KUZNYECHIK = 0x6631;
    static final int CRYPT_MODE_CTR = 32;
    static final int GOST_PUBLIC_MAGIC = 0x31534f47;
    static final int REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY = 2;
    static final BouncyCastleProvider BC = new BouncyCastleProvider();

    static byte[] reversed(byte[] b) {
        byte[] r = new byte[b.length];
        for (int i = 0; i < b.length; i++) r[i] = b[b.length - 1 - i];
        return r;
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

    /** The TLVs directly inside the constructed TLV {@code b} (contents only). */
    static List<byte[]> children(byte[] b) {
        List<byte[]> out = new ArrayList<>();
        int[] off = {0};
        byte[] outer = next(b, off);
        off[0] = 0;
        while (off[0] < outer.length) out.add(wholeNext(outer, off));
        return out;
    }

    static byte[] next(byte[] b, int[] off) {
        byte[] whole = wholeNext(b, off);
        int len = whole[1] & 0xff, hdr = 2;
        if ((len & 0x80) != 0) hdr += len & 0x7f;
        return Arrays.copyOfRange(whole, hdr, whole.length);
    }

    static byte[] wholeNext(byte[] b, int[] off) {
        int start = off[0];
        int len = b[start + 1] & 0xff, hdr = 2;
        if ((len & 0x80) != 0) {
            int k = len & 0x7f;
            len = 0;
            for (int i = 0; i < k; i++) len = len << 8 | (b[start + 2 + i] & 0xff);
            hdr += k;
        }
        off[0] = start + hdr + len;
        return Arrays.copyOfRange(b, start, off[0]);
    }

    /** The CSP's PUBLICKEYBLOB of a GOST SubjectPublicKeyInfo. */
    static byte[] blobOf(byte[] spki, int alg, int bits) {
        List<byte[]> top = children(spki);
        List<byte[]> algId = children(top.get(0));
        byte[] params = algId.get(1);
        byte[] bitString = next(top.get(1), new int[] {0});
        byte[] point = next(Arrays.copyOfRange(bitString, 1, bitString.length), new int[] {0});
        byte[] blob = new byte[16 + params.length + point.length];
        blob[0] = PUBLICKEYBLOB;
        blob[1] = 2;
        Blobs.putLe32(blob, 4, alg);
        Blobs.putLe32(blob, 8, GOST_PUBLIC_MAGIC);
        Blobs.putLe32(blob, 12, bits);
        System.arraycopy(params, 0, blob, 16, params.length);
        System.arraycopy(point, 0, blob, 16 + params.length, point.length);
        return blob;
    }

    /** The SubjectPublicKeyInfo of a CSP PUBLICKEYBLOB, for BouncyCastle. */
    static PublicKey publicKeyOf(byte[] blob) throws Exception {
        int bits = Blobs.le32(blob, 12);
        int paramsLen = 2 + (blob[17] & 0xff);
        byte[] params = Arrays.copyOfRange(blob, 16, 16 + paramsLen);
        byte[] point = Arrays.copyOfRange(blob, 16 + paramsLen, blob.length);
        byte[] oid = {6, 8, 0x2a, (byte) 0x85, 3, 7, 1, 1, 1, (byte) (bits == 256 ? 1 : 2)};
        if (children(params).size() == 1) {
            // The tc26 curves' parameters may leave out the digest; this
            // BouncyCastle reads them only with it.
            byte[] digest = {6, 8, 0x2a, (byte) 0x85, 3, 7, 1, 1, 2, (byte) (bits == 256 ? 2 : 3)};
            params = der(0x30, children(params).get(0), digest);
        }
        byte[] algId = der(0x30, oid, params);
        byte[] key = der(0x03, new byte[] {0}, der(0x04, point));
        return KeyFactory.getInstance("ECGOST3410-2012", BC).generatePublic(new X509EncodedKeySpec(der(0x30, algId, key)));
    }

    static long gostContainer(String name, int type) {
        long[] h = {0};
        ok(CAPI.cryptAcquireContext(h, name, null, type, CRYPT_NEWKEYSET), "new GOST container");
        return h[0];
    }

    static void dropContainer(String name, int type) {
        long[] h = {0};
        ok(CAPI.cryptAcquireContext(h, name, null, type, CRYPT_DELETEKEYSET), "delete container");
    }

    @Test
    void providersAreListed() {
        List<Integer> types = new ArrayList<>();
        List<String> names = new ArrayList<>();
        for (int i = 0;; i++) {
            int[] type = {0};
            int[] len = {0};
            int rc = CAPI.cryptEnumProviders(i, 0, type, null, len);
            if (rc == ERROR_NO_MORE_ITEMS) break;
            ok(rc, "provider size");
            byte[] name = new byte[len[0]];
            ok(CAPI.cryptEnumProviders(i, 0, type, name, len), "provider");
            types.add(type[0]);
            names.add(new String(name, 0, len[0] - 1, java.nio.charset.StandardCharsets.UTF_8));
        }
        assertEquals(List.of(PROV_RSA_AES, 1 /* PROV_RSA_FULL */, PROV_GOST_2012_256, PROV_GOST_2012_512), types);
        assertEquals(4, names.stream().distinct().count(), "each type has its own name");
    }

    @Test
    void signaturesVerifyBothWaysWithBouncyCastle() throws Exception {
        Object[][] cases = {
            {PROV_GOST_2012_256, 256, CALG_GR3410_2012_256, CALG_GR3411_2012_256,
                "GOST3411-2012-256withECGOST3410-2012-256", "Tc26-Gost-3410-12-256-paramSetA"},
            {PROV_GOST_2012_512, 512, CALG_GR3410_2012_512, CALG_GR3411_2012_512,
                "GOST3411-2012-512withECGOST3410-2012-512", "Tc26-Gost-3410-12-512-paramSetC"},
        };
        byte[] message = new byte[1000];
        new Random(7).nextBytes(message);
        for (Object[] c : cases) {
            int type = (Integer) c[0], bits = (Integer) c[1], alg = (Integer) c[2], hash = (Integer) c[3];
            String name = uniqueName("gost");
            long prov = gostContainer(name, type);
            long key = genKey(prov, AT_SIGNATURE, 0);
            byte[] blob = exportKey(key, 0, PUBLICKEYBLOB);
            assertEquals(alg, Blobs.le32(blob, 4));

            long h = hashOf(prov, hash, message);
            int[] len = {0};
            ok(CAPI.cryptSignHash(h, AT_SIGNATURE, null, 0, null, len), "signature size");
            byte[] sig = new byte[len[0]];
            ok(CAPI.cryptSignHash(h, AT_SIGNATURE, null, 0, sig, len), "sign");
            ok(CAPI.cryptDestroyHash(h), "destroy hash");
            assertEquals(bits / 4, len[0]);
            Signature bc = Signature.getInstance((String) c[4], BC);
            bc.initVerify(publicKeyOf(blob));
            bc.update(message);
            assertTrue(bc.verify(reversed(sig)), "BouncyCastle verifies the bridge's " + bits + "-bit signature");

            KeyPairGenerator gen = KeyPairGenerator.getInstance("ECGOST3410-2012", BC);
            gen.initialize(new ECGenParameterSpec((String) c[5]));
            KeyPair theirs = gen.generateKeyPair();
            bc.initSign(theirs.getPrivate());
            bc.update(message);
            byte[] theirSig = reversed(bc.sign());
            long pub = importKey(prov, blobOf(theirs.getPublic().getEncoded(), alg, bits), 0, 0);
            h = hashOf(prov, hash, message);
            ok(CAPI.cryptVerifySignature(h, theirSig, theirSig.length, pub, null, 0), "BouncyCastle's signature");
            theirSig[5] ^= 1;
            assertCode(NTE_BAD_SIGNATURE, CAPI.cryptVerifySignature(h, theirSig, theirSig.length, pub, null, 0),
                    "a changed signature");
            ok(CAPI.cryptDestroyHash(h), "destroy hash");
            ok(CAPI.cryptDestroyKey(pub), "destroy key");
            ok(CAPI.cryptDestroyKey(key), "destroy key");
            ok(CAPI.cryptReleaseContext(prov, 0), "release");
            dropContainer(name, type);
        }
    }

    @Test
    void kuznyechikMatchesBouncyCastle() throws Exception {
        Random rnd = new Random(11);
        byte[] key = new byte[32], iv = new byte[16], data = new byte[77];
        rnd.nextBytes(key);
        rnd.nextBytes(iv);
        rnd.nextBytes(data);
        long prov = verifyContext();
        byte[] blob = new byte[12 + 32];
        blob[0] = PLAINTEXTKEYBLOB;
        blob[1] = 2;
        Blobs.putLe32(blob, 4, CALG_KUZNYECHIK);
        Blobs.putLe32(blob, 8, 32);
        System.arraycopy(key, 0, blob, 12, 32);
        // Counter mode (GOST R 34.13-2015) takes the first half of the IV.
        byte[] ctrIv = Arrays.copyOf(iv, 8);
        Object[][] modes = {
            {CRYPT_MODE_CBC, "GOST3412-2015/CBC/PKCS5Padding", iv},
            {CRYPT_MODE_CTR, "GOST3412-2015/CTR/NoPadding", ctrIv},
        };
        for (Object[] m : modes) {
            long k = importKey(prov, blob, 0, 0);
            byte[] mode = new byte[4];
            Blobs.putLe32(mode, 0, (Integer) m[0]);
            ok(CAPI.cryptSetKeyParam(k, KP_MODE, mode, 0), "mode");
            ok(CAPI.cryptSetKeyParam(k, KP_IV, iv, 0), "IV");
            byte[] buf = Arrays.copyOf(data, 96);
            int[] len = {data.length};
            ok(CAPI.cryptEncrypt(k, 0, true, 0, buf, len, buf.length), "encrypt");
            Cipher bc = Cipher.getInstance((String) m[1], BC);
            bc.init(Cipher.ENCRYPT_MODE, new SecretKeySpec(key, "GOST3412-2015"), new IvParameterSpec((byte[]) m[2]));
            assertArrayEquals(bc.doFinal(data), Arrays.copyOf(buf, len[0]), (String) m[1]);
            ok(CAPI.cryptDestroyKey(k), "destroy key");
        }
        ok(CAPI.cryptReleaseContext(prov, 0), "release");
    }

    /** Whether BouncyCastle verifies the entry's Streebog-256 signature against its certificate. */
    static boolean entrySignsForBouncyCastle(Entry e, byte[] message) throws Exception {
        long h = hashOf(e.hProv, CALG_GR3411_2012_256, message);
        int[] len = {64};
        byte[] sig = new byte[64];
        ok(CAPI.cryptSignHash(h, e.keyFlags, null, 0, sig, len), "sign");
        ok(CAPI.cryptDestroyHash(h), "destroy hash");
        byte[] spki = e.chain.get(0).getPublicKey().getEncoded();
        Signature bc = Signature.getInstance("GOST3411-2012-256withECGOST3410-2012-256", BC);
        bc.initVerify(publicKeyOf(blobOf(spki, CALG_GR3410_2012_256, 256)));
        bc.update(message);
        return bc.verify(reversed(sig));
    }

    /**
     * A GOST certificate and key made by openssl's GOST engine: the PFX
     * imports as a key entry whose key signs for BouncyCastle; exported
     * again (only when imported exportable), openssl's GOST engine opens the
     * file and the bridge imports it back.
     */
    @Test
    void pfxFromOpensslImportsSignsAndExportsBack() throws Exception {
        byte[] message = "a GOST message".getBytes(StandardCharsets.US_ASCII);
        byte[] der = PfxTest.file("gost.der");
        PFXStore pfx = new PFXStore();
        Entry e = PfxTest.importOne(pfx, PfxTest.file("gost.p12"), "secret");
        assertEquals(AT_KEYEXCHANGE, e.keyFlags);
        assertArrayEquals(der, e.chain.get(0).getEncoded());
        assertEquals(PROV_GOST_2012_256, e.provType);
        int[] len = {0};
        assertTrue(entrySignsForBouncyCastle(e, message), "BouncyCastle verifies the imported key's signature");

        MSStore ms = new MSStore();
        long[] mem = {0};
        ok(pfx.createMemoryStore(mem, 0), "memory store");
        ok(ms.storeCertificateByHandle(mem[0], "gost", der, der.length, e.hProv, e.hKey, 0), "store");
        ok(pfx.exportPfx(mem[0], "pass", PfxTest.EXPORT_PRIVATE_KEYS, null, len), "size");
        byte[] out = new byte[len[0]];
        ok(pfx.exportPfx(mem[0], "pass", PfxTest.EXPORT_PRIVATE_KEYS, out, len), "export");
        ok(pfx.closeMemoryStore(mem[0]), "close");
        PfxTest.drop(e);
        out = Arrays.copyOf(out, len[0]);

        Path p = Files.createTempFile("quill", ".p12");
        Files.write(p, out);
        Process o = new ProcessBuilder("/usr/bin/openssl", "pkcs12", "-engine", "gost", "-in", p.toString(),
                "-passin", "pass:pass", "-nodes").redirectErrorStream(true).start();
        String text = new String(o.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertEquals(0, o.waitFor(), text);
        Files.delete(p);
        assertTrue(text.contains("BEGIN PRIVATE KEY") && text.contains("friendlyName: gost"), text);

        // Back through the bridge, this time not exportable: the key signs
        // but does not leave its container.
        PFXStore again = new PFXStore();
        ok(again.importPfx(out, out.length, "pass", 0), "import");
        Entry back = again.entries.get(0);
        assertTrue(entrySignsForBouncyCastle(back, message), "the exported key signs");
        ok(pfx.createMemoryStore(mem, 0), "memory store");
        ok(ms.storeCertificateByHandle(mem[0], "gost", der, der.length, back.hProv, back.hKey, 0), "store");
        len[0] = 0;
        assertCode(NTE_BAD_KEY_STATE, pfx.exportPfx(mem[0], "pass",
                PfxTest.EXPORT_PRIVATE_KEYS | REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY, null, len), "not exportable");
        ok(pfx.closeMemoryStore(mem[0]), "close");
        PfxTest.drop(back);
    }
}
