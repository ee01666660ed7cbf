package quill;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quill.Csp.*;

import java.io.ByteArrayOutputStream;
import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.security.KeyFactory;
import java.security.interfaces.RSAPrivateCrtKey;
import java.security.spec.RSAPrivateCrtKeySpec;
import java.util.Arrays;
import java.util.Map;
import java.util.Random;

import javax.crypto.Cipher;
import javax.crypto.spec.IvParameterSpec;
import javax.crypto.spec.RC2ParameterSpec;
import javax.crypto.spec.SecretKeySpec;

import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/** Symmetric and RSA ciphers through the bridge, held against SunJCE and the Wycheproof vectors. */
class CipherTest {
    static long prov;

    @BeforeAll
    static void open() {
        prov = verifyContext();
    }

    @AfterAll
    static void close() {
        ok(CAPI.cryptReleaseContext(prov, 0), "release");
    }

    static int aesAlg(int keyBytes) {
        return keyBytes == 16 ? CALG_AES_128 : keyBytes == 24 ? CALG_AES_192 : CALG_AES_256;
    }

    static long aesKey(byte[] key, byte[] iv) {
        long k = importKey(prov, Blobs.plainKeyBlob(aesAlg(key.length), key), 0, 0);
        ok(CAPI.cryptSetKeyParam(k, KP_IV, iv.clone(), 0), "KP_IV");
        return k;
    }

    /** One-call encryption: the array holds the plaintext and receives the ciphertext. */
    static byte[] encrypt(long k, byte[] plain) {
        byte[] buf = Arrays.copyOf(plain, plain.length + 16);
        int[] len = {plain.length};
        ok(CAPI.cryptEncrypt(k, 0, true, 0, buf, len, buf.length), "encrypt " + plain.length);
        return Arrays.copyOf(buf, len[0]);
    }

    static int decrypt(long k, byte[] cipher, ByteArrayOutputStream out) {
        byte[] buf = cipher.clone();
        int[] len = {cipher.length};
        int rc = CAPI.cryptDecrypt(k, 0, true, 0, buf, len);
        if (rc == 0) out.write(buf, 0, len[0]);
        return rc;
    }

    static Cipher jce(int mode, byte[] key, byte[] iv) throws Exception {
        Cipher c = Cipher.getInstance("AES/CBC/PKCS5Padding", "SunJCE");
        c.init(mode, new SecretKeySpec(key, "AES"), new IvParameterSpec(iv));
        return c;
    }

    @Test
    void aesCbcInteroperatesWithSunJceInOneCallAndInMany() throws Exception {
        Random rnd = new Random(3);
        for (int keyBytes : new int[] {16, 32}) {
            for (int n : new int[] {0, 1, 15, 16, 17, 31, 32, 33, 48, 100, 1000}) {
                byte[] key = new byte[keyBytes];
                byte[] iv = new byte[16];
                byte[] plain = new byte[n];
                rnd.nextBytes(key);
                rnd.nextBytes(iv);
                rnd.nextBytes(plain);
                byte[] expected = jce(Cipher.ENCRYPT_MODE, key, iv).doFinal(plain);
                long k = aesKey(key, iv);
                assertArrayEquals(expected, encrypt(k, plain), "one call, " + n + " bytes");

                ByteArrayOutputStream out = new ByteArrayOutputStream();
                ok(decrypt(k, expected, out), "decrypt SunJCE ciphertext");
                assertArrayEquals(plain, out.toByteArray(), "decrypted " + n);

                // Many calls: whole blocks first, the rest with the final flag.
                ByteArrayOutputStream pieces = new ByteArrayOutputStream();
                int off = 0;
                while (plain.length - off > 32) {
                    int len = 16 * (1 + rnd.nextInt(2));
                    byte[] buf = Arrays.copyOfRange(plain, off, off + len);
                    int[] count = {len};
                    ok(CAPI.cryptEncrypt(k, 0, false, 0, buf, count, buf.length), "piece");
                    pieces.write(buf, 0, count[0]);
                    off += len;
                }
                byte[] last = Arrays.copyOf(Arrays.copyOfRange(plain, off, plain.length), plain.length - off + 16);
                int[] count = {plain.length - off};
                ok(CAPI.cryptEncrypt(k, 0, true, 0, last, count, last.length), "last piece");
                pieces.write(last, 0, count[0]);
                assertArrayEquals(expected, pieces.toByteArray(), "pieces, " + n + " bytes");

                ByteArrayOutputStream back = new ByteArrayOutputStream();
                for (int p = 0; p < expected.length; p += 16) {
                    byte[] block = Arrays.copyOfRange(expected, p, p + 16);
                    int[] c = {16};
                    ok(CAPI.cryptDecrypt(k, 0, p + 16 == expected.length, 0, block, c), "decrypt block");
                    back.write(block, 0, c[0]);
                }
                assertArrayEquals(plain, back.toByteArray(), "block-wise decryption, " + n);
                ok(CAPI.cryptDestroyKey(k), "destroy");
            }
        }
    }

    @Test
    void wycheproofAesCbcPkcs5() throws Exception {
        int checked = 0;
        for (Map<String, Object> group : Json.groups(Json.file("aes_cbc_pkcs5_test.json"))) {
            for (Map<String, Object> t : Json.tests(group)) {
                byte[] key = Json.hex(t.get("key"));
                byte[] iv = Json.hex(t.get("iv"));
                byte[] msg = Json.hex(t.get("msg"));
                byte[] ct = Json.hex(t.get("ct"));
                String what = "tcId " + t.get("tcId") + " (" + t.get("comment") + ")";
                long k = aesKey(key, iv);
                ByteArrayOutputStream out = new ByteArrayOutputStream();
                int rc = decrypt(k, ct, out);
                if ("valid".equals(t.get("result"))) {
                    ok(rc, what);
                    assertArrayEquals(msg, out.toByteArray(), what);
                    assertArrayEquals(ct, encrypt(k, msg), what + " encrypted");
                } else {
                    assertTrue(rc != 0 || !Arrays.equals(msg, out.toByteArray()), what);
                }
                ok(CAPI.cryptDestroyKey(k), "destroy");
                checked++;
            }
        }
        assertEquals(216, checked);
    }

    static RSAPrivateCrtKey wycheproofKey(Map<String, Object> group) throws Exception {
        @SuppressWarnings("unchecked")
        Map<String, Object> pk = (Map<String, Object>) group.get("privateKey");
        BigInteger[] v = new BigInteger[8];
        String[] names = {"modulus", "publicExponent", "privateExponent", "prime1", "prime2", "exponent1",
            "exponent2", "coefficient"};
        for (int i = 0; i < 8; i++) v[i] = new BigInteger(1, Json.hex(pk.get(names[i])));
        return (RSAPrivateCrtKey) KeyFactory.getInstance("RSA")
                .generatePrivate(new RSAPrivateCrtKeySpec(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7]));
    }

    /**
     * Decrypts every vector with the group's private key imported as a
     * PRIVATEKEYBLOB. The CryptoAPI has no OAEP label: vectors with a label
     * are run too and must not yield their message.
     */
    static int wycheproofRsa(String file, int flags) throws Exception {
        String name = uniqueName("rsa-vectors");
        long p = newContainer(name);
        int checked = 0;
        try {
            for (Map<String, Object> group : Json.groups(Json.file(file))) {
                long k = importKey(p, Blobs.privateKeyBlob(wycheproofKey(group), CALG_RSA_KEYX), 0, 0);
                for (Map<String, Object> t : Json.tests(group)) {
                    byte[] msg = Json.hex(t.get("msg"));
                    byte[] ct = Blobs.reversed(Json.hex(t.get("ct")));
                    boolean labelled = t.containsKey("label") && !((String) t.get("label")).isEmpty();
                    int[] len = {ct.length};
                    int rc = CAPI.cryptDecrypt(k, 0, true, flags, ct, len);
                    boolean yields = rc == 0 && Arrays.equals(msg, Arrays.copyOf(ct, len[0]));
                    String what = file + " tcId " + t.get("tcId") + " (" + t.get("comment") + ") gave " + hex(rc);
                    if ("valid".equals(t.get("result")) && !labelled) {
                        assertTrue(yields, what);
                    } else {
                        assertTrue(!yields, what);
                        if (!labelled) assertNotEquals(0, rc, what + ": invalid ciphertext accepted");
                    }
                    checked++;
                }
                ok(CAPI.cryptDestroyKey(k), "destroy");
            }
        } finally {
            ok(CAPI.cryptReleaseContext(p, 0), "release");
            deleteContainer(name);
        }
        return checked;
    }

    @Test
    void wycheproofRsaPkcs1Decryption() throws Exception {
        assertEquals(67, wycheproofRsa("rsa_pkcs1_2048_test.json", 0));
    }

    @Test
    void wycheproofRsaOaepSha1Decryption() throws Exception {
        assertEquals(36, wycheproofRsa("rsa_oaep_2048_sha1_mgf1sha1_test.json", CRYPT_OAEP));
    }

    @Test
    void theJdkDecryptsWhatTheBridgeEncryptsWithRsa() throws Exception {
        String name = uniqueName("rsa-enc");
        long p = newContainer(name);
        try {
            long k = genKey(p, AT_KEYEXCHANGE, keyBits(1024, CRYPT_EXPORTABLE));
            RSAPrivateCrtKey priv = Blobs.rsaPrivate(exportKey(k, 0, PRIVATEKEYBLOB));
            byte[] msg = "for the JDK's eyes".getBytes(StandardCharsets.UTF_8);
            String[] jdk = {"RSA/ECB/PKCS1Padding", "RSA/ECB/OAEPWithSHA-1AndMGF1Padding"};
            int[] flags = {0, CRYPT_OAEP};
            for (int i = 0; i < 2; i++) {
                int[] len = {msg.length};
                ok(CAPI.cryptEncrypt(k, 0, true, flags[i], null, len, 0), "size query");
                assertEquals(128, len[0]);
                byte[] buf = Arrays.copyOf(msg, 128);
                len[0] = msg.length;
                ok(CAPI.cryptEncrypt(k, 0, true, flags[i], buf, len, buf.length), "encrypt " + jdk[i]);
                Cipher c = Cipher.getInstance(jdk[i], "SunJCE");
                c.init(Cipher.DECRYPT_MODE, priv);
                assertArrayEquals(msg, c.doFinal(Blobs.reversed(Arrays.copyOf(buf, len[0]))), jdk[i]);
                // And back: the JDK encrypts to the bridge's public key.
                c.init(Cipher.ENCRYPT_MODE, Blobs.rsaPublic(exportKey(k, 0, PUBLICKEYBLOB)));
                byte[] ct = Blobs.reversed(c.doFinal(msg));
                int[] n = {ct.length};
                ok(CAPI.cryptDecrypt(k, 0, true, flags[i], ct, n), "decrypt " + jdk[i]);
                assertArrayEquals(msg, Arrays.copyOf(ct, n[0]));
            }
            ok(CAPI.cryptDestroyKey(k), "destroy");
        } finally {
            ok(CAPI.cryptReleaseContext(p, 0), "release");
            deleteContainer(name);
        }
    }

    @Test
    void cipherLengthsAndCallerErrors() throws Exception {
        byte[] key = new byte[16];
        byte[] iv = new byte[16];
        long k = aesKey(key, iv);
        int[] len = {20};
        ok(CAPI.cryptEncrypt(k, 0, true, 0, null, len, 0), "size query");
        assertEquals(32, len[0]);
        byte[] buf = new byte[32];
        len[0] = 20;
        assertCode(ERROR_MORE_DATA, CAPI.cryptEncrypt(k, 0, true, 0, buf, len, 20), "capacity 20");
        assertEquals(32, len[0], "needed size copied back");
        len[0] = 20;
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptEncrypt(k, 0, true, 0, buf, len, 33), "capacity beyond array");
        len[0] = 33;
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptEncrypt(k, 0, true, 0, buf, len, 32), "count beyond array");
        assertEquals(33, len[0], "no copy-back after a refused call");
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptEncrypt(k, 0, true, 0, buf, len, -1), "negative capacity");
        assertCode(ERROR_UNHANDLED_EXCEPTION, CAPI.cryptEncrypt(k, 0, true, 0, buf, new int[0], 32), "empty count");
        assertCode(ERROR_UNHANDLED_EXCEPTION, CAPI.cryptDecrypt(k, 0, true, 0, buf, new int[0]), "empty count");
        len[0] = 48;
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptDecrypt(k, 0, true, 0, buf, len), "decrypt count beyond");

        // A corrupted final block: the provider's error, the count still written back.
        byte[] ct = jce(Cipher.ENCRYPT_MODE, key, iv).doFinal(new byte[20]);
        ct[ct.length - 1] ^= 0x55;
        len[0] = ct.length;
        int rc = CAPI.cryptDecrypt(k, 0, true, 0, ct, len);
        assertCode(NTE_BAD_DATA, rc, "bad padding");
        ok(CAPI.cryptDestroyKey(k), "destroy");
    }

    @Test
    void keyParametersAreReadAndWrittenWithTheirLengths() {
        long k = aesKey(new byte[32], new byte[16]);
        assertEquals(CALG_AES_256, intParam(k, KP_ALGID));
        assertEquals(256, intParam(k, KP_KEYLEN));
        assertEquals(128, intParam(k, KP_BLOCKLEN));
        assertEquals(CRYPT_MODE_CBC, intParam(k, KP_MODE));
        int[] len = {0};
        ok(CAPI.cryptGetKeyParam(k, KP_IV, null, len, 0), "IV size");
        assertEquals(16, len[0]);
        byte[] small = new byte[8];
        len[0] = 8;
        assertCode(ERROR_MORE_DATA, CAPI.cryptGetKeyParam(k, KP_IV, small, len, 0), "short IV buffer");
        assertEquals(16, len[0], "needed size copied back");
        len[0] = 9;
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptGetKeyParam(k, KP_IV, small, len, 0), "length beyond buffer");
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptGetKeyParam(k, KP_IV, small, new int[0], 0), "empty length");
        int[] two = {2};
        assertCode(ERROR_MORE_DATA, CAPI.cryptGetKeyParam(k, KP_KEYLEN, new byte[2], two, 0),
                "buffer shorter than the value");
        assertEquals(4, two[0], "needed size copied back");
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptSetKeyParam(k, KP_MODE, new byte[2], 0), "short mode");

        // ECB through KP_MODE equals SunJCE's AES/ECB.
        byte[] mode = new byte[4];
        Blobs.putLe32(mode, 0, CRYPT_MODE_ECB);
        ok(CAPI.cryptSetKeyParam(k, KP_MODE, mode, 0), "KP_MODE");
        assertEquals(CRYPT_MODE_ECB, Blobs.le32(mode, 0), "value unchanged in the array");
        assertEquals(CRYPT_MODE_ECB, intParam(k, KP_MODE));
        try {
            Cipher c = Cipher.getInstance("AES/ECB/PKCS5Padding", "SunJCE");
            c.init(Cipher.ENCRYPT_MODE, new SecretKeySpec(new byte[32], "AES"));
            byte[] plain = "twenty-one bytes long".getBytes(StandardCharsets.US_ASCII);
            assertArrayEquals(c.doFinal(plain), encrypt(k, plain));
        } catch (Exception e) {
            throw new AssertionError(e);
        }
        ok(CAPI.cryptDestroyKey(k), "destroy");
    }

    static int intParam(long k, int param) {
        byte[] v = new byte[4];
        int[] len = {4};
        ok(CAPI.cryptGetKeyParam(k, param, v, len, 0), "key parameter " + param);
        assertEquals(4, len[0]);
        return Blobs.le32(v, 0);
    }

    @Test
    void derivedAndDuplicatedKeysInteroperate() throws Exception {
        long h1 = hashOf(prov, CALG_SHA_256, "a passphrase".getBytes());
        long h2 = hashOf(prov, CALG_SHA_256, "a passphrase".getBytes());
        long[] k1 = {0};
        long[] k2 = {0};
        ok(CAPI.cryptDeriveKey(prov, CALG_AES_256, h1, 0, k1), "derive");
        ok(CAPI.cryptDeriveKey(prov, CALG_AES_256, h2, 0, k2), "derive again");
        byte[] plain = "derived keys agree".getBytes();
        byte[] ct = encrypt(k1[0], plain);
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        ok(decrypt(k2[0], ct, out), "decrypt with the second derivation");
        assertArrayEquals(plain, out.toByteArray());

        long[] dup = {0x33};
        assertNotEquals(0, CAPI.cryptDuplicateKey(k1[0], new int[] {0}, 0, dup), "a reserved array reaches the provider");
        assertEquals(0, dup[0], "handle after a refused duplication");
        ok(CAPI.cryptDuplicateKey(k1[0], null, 0, dup), "duplicate");
        ok(CAPI.cryptDestroyKey(k1[0]), "destroy original");
        assertArrayEquals(ct, encrypt(dup[0], plain), "the duplicate encrypts alike");

        long[] bad = {0x66};
        ok(CAPI.cryptDestroyHash(h2), "destroy hash");
        assertNotEquals(0, CAPI.cryptDeriveKey(prov, CALG_AES_256, h2, 0, bad), "derive from a destroyed hash");
        assertEquals(0, bad[0]);
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptDeriveKey(prov, CALG_AES_256, h1, 0, new long[0]), "empty");

        // Hashing a session key: equal keys hash equal, a different key differently.
        long hk1 = newHash(prov, CALG_SHA_256, 0);
        long hk2 = newHash(prov, CALG_SHA_256, 0);
        ok(CAPI.cryptHashSessionKey(hk1, dup[0], 0), "hash session key");
        ok(CAPI.cryptHashSessionKey(hk2, k2[0], 0), "hash session key");
        assertArrayEquals(hashValue(hk1), hashValue(hk2));
        for (long h : new long[] {h1, hk1, hk2}) ok(CAPI.cryptDestroyHash(h), "destroy hash");
        for (long k : new long[] {dup[0], k2[0]}) ok(CAPI.cryptDestroyKey(k), "destroy key");
    }

    /**
     * The older ciphers of the provider encrypt as SunJCE's: RC2 at several
     * effective key lengths (KP_EFFECTIVE_KEYLEN), RC4 and DES.
     */
    @Test
    void rc2Rc4AndDesMatchSunJce() throws Exception {
        final int kpEffectiveKeylen = 19, calgRc4 = 0x6801, calgDes = 0x6601;
        byte[] key = "sixteen byte key".getBytes(StandardCharsets.US_ASCII);
        byte[] key8 = Arrays.copyOf(key, 8), iv = new byte[8];
        byte[] plain = "twenty-one bytes long".getBytes(StandardCharsets.US_ASCII);
        long rc2 = importKey(prov, Blobs.plainKeyBlob(CALG_RC2, key), 0, 0);
        assertEquals(128, intParam(rc2, kpEffectiveKeylen), "effective length by default");
        for (int bits : new int[] {40, 128, 1024}) {
            byte[] v = new byte[4];
            Blobs.putLe32(v, 0, bits);
            ok(CAPI.cryptSetKeyParam(rc2, kpEffectiveKeylen, v, 0), "effective length " + bits);
            Cipher c = Cipher.getInstance("RC2/CBC/PKCS5Padding", "SunJCE");
            c.init(Cipher.ENCRYPT_MODE, new SecretKeySpec(key, "RC2"), new RC2ParameterSpec(bits, iv));
            assertArrayEquals(c.doFinal(plain), encrypt(rc2, plain), "RC2 at " + bits + " effective bits");
        }
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptSetKeyParam(rc2, kpEffectiveKeylen, new byte[2], 0),
                "a value shorter than its DWORD");
        long rc4 = importKey(prov, Blobs.plainKeyBlob(calgRc4, key), 0, 0);
        Cipher arcfour = Cipher.getInstance("ARCFOUR", "SunJCE");
        arcfour.init(Cipher.ENCRYPT_MODE, new SecretKeySpec(key, "ARCFOUR"));
        assertArrayEquals(arcfour.doFinal(plain), encrypt(rc4, plain), "RC4");
        long des = importKey(prov, Blobs.plainKeyBlob(calgDes, key8), 0, 0);
        Cipher c = Cipher.getInstance("DES/CBC/PKCS5Padding", "SunJCE");
        c.init(Cipher.ENCRYPT_MODE, new SecretKeySpec(key8, "DES"), new IvParameterSpec(iv));
        assertArrayEquals(c.doFinal(plain), encrypt(des, plain), "DES");
        for (long k : new long[] {rc2, rc4, des}) ok(CAPI.cryptDestroyKey(k), "destroy key");
    }
}
