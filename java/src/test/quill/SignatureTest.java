package quill;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quill.Csp.*;

import java.io.File;
import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyFactory;
import java.security.KeyPair;
import java.security.KeyPairGenerator;
import java.security.PublicKey;
import java.security.Signature;
import java.security.interfaces.RSAPrivateCrtKey;
import java.security.interfaces.RSAPublicKey;
import java.security.spec.RSAPublicKeySpec;
import java.security.spec.X509EncodedKeySpec;
import java.util.ArrayList;
import java.util.Base64;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;

import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * Signatures and key blobs through the bridge, proved against the JDK's
 * SunRsaSign, the openssl command line and the Wycheproof vectors.
 * CryptoAPI signatures are little-endian: they are reversed on the way to
 * and from the JDK and openssl.
 */
class SignatureTest {
    static final int[] ALGS = {CALG_MD5, CALG_SHA1, CALG_SHA_256, CALG_SHA_384, CALG_SHA_512};
    static final String[] JDK = {"MD5withRSA", "SHA1withRSA", "SHA256withRSA", "SHA384withRSA", "SHA512withRSA"};
    static final String[] OPENSSL = {"-md5", "-sha1", "-sha256", "-sha384", "-sha512"};

    static String container;
    static long prov;
    static long userKey;
    static RSAPublicKey publicKey;

    @BeforeAll
    static void open() throws Exception {
        container = uniqueName("sig");
        prov = newContainer(container);
        long[] k = {0};
        ok(CAPI.cryptGenKey(prov, AT_SIGNATURE, keyBits(1024, CRYPT_EXPORTABLE), k), "signature key");
        userKey = k[0];
        publicKey = Blobs.rsaPublic(exportKey(userKey, 0, PUBLICKEYBLOB));
        assertEquals(1024, publicKey.getModulus().bitLength());
    }

    @AfterAll
    static void close() {
        ok(CAPI.cryptDestroyKey(userKey), "destroy key");
        ok(CAPI.cryptReleaseContext(prov, 0), "release");
        deleteContainer(container);
    }

    /** Signs {@code data} hashed with {@code alg} through the bridge; the result is big-endian. */
    static byte[] bridgeSign(long hProv, int alg, byte[] data) {
        long h = hashOf(hProv, alg, data);
        int[] len = {0};
        ok(CAPI.cryptSignHash(h, AT_SIGNATURE, null, 0, null, len), "signature size");
        byte[] sig = new byte[len[0]];
        ok(CAPI.cryptSignHash(h, AT_SIGNATURE, null, 0, sig, len), "sign");
        ok(CAPI.cryptDestroyHash(h), "destroy hash");
        assertEquals(sig.length, len[0]);
        return Blobs.reversed(sig);
    }

    /** Verifies a big-endian signature through the bridge; returns the code. */
    static int bridgeVerify(long hProv, int alg, byte[] data, byte[] sigBigEndian, long hPub) {
        long h = hashOf(hProv, alg, data);
        byte[] sig = Blobs.reversed(sigBigEndian);
        int rc = CAPI.cryptVerifySignature(h, sig, sig.length, hPub, null, 0);
        ok(CAPI.cryptDestroyHash(h), "destroy hash");
        return rc;
    }

    static boolean jdkVerify(String alg, PublicKey key, byte[] data, byte[] sig) throws Exception {
        Signature s = Signature.getInstance(alg, "SunRsaSign");
        s.initVerify(key);
        s.update(data);
        return s.verify(sig);
    }

    @Test
    void bridgeSignaturesVerifyWithSunRsaSignAndOpenssl() throws Exception {
        Path dir = Files.createTempDirectory("quill-sig");
        try {
            Path pem = dir.resolve("pub.pem");
            Files.writeString(pem, "-----BEGIN PUBLIC KEY-----\n"
                    + Base64.getMimeEncoder(64, new byte[] {'\n'}).encodeToString(publicKey.getEncoded())
                    + "\n-----END PUBLIC KEY-----\n");
            byte[] data = "a message signed through the bridge".getBytes(StandardCharsets.UTF_8);
            Path dataFile = dir.resolve("data.bin");
            Files.write(dataFile, data);
            for (int a = 0; a < ALGS.length; a++) {
                byte[] sig = bridgeSign(prov, ALGS[a], data);
                assertEquals(128, sig.length);
                assertTrue(jdkVerify(JDK[a], publicKey, data, sig), JDK[a] + " by SunRsaSign");
                Path sigFile = dir.resolve("sig" + a + ".bin");
                Files.write(sigFile, sig);
                Process p = new ProcessBuilder("/usr/bin/openssl", "dgst", OPENSSL[a], "-verify", pem.toString(),
                        "-signature", sigFile.toString(), dataFile.toString()).redirectErrorStream(true).start();
                String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
                assertEquals(0, p.waitFor(), OPENSSL[a] + ": " + out);
                assertTrue(out.contains("Verified OK"), out);
            }
        } finally {
            for (File f : dir.toFile().listFiles()) f.delete();
            dir.toFile().delete();
        }
    }

    @Test
    void jdkSignaturesVerifyThroughAnImportedPublicKeyBlob() throws Exception {
        KeyPairGenerator gen = KeyPairGenerator.getInstance("RSA");
        gen.initialize(1024);
        KeyPair pair = gen.generateKeyPair();
        long verify = verifyContext();
        long hPub = importKey(verify, Blobs.publicKeyBlob((RSAPublicKey) pair.getPublic(), CALG_RSA_SIGN), 0, 0);
        byte[] data = "signed by the JDK".getBytes(StandardCharsets.UTF_8);
        for (int a = 0; a < ALGS.length; a++) {
            Signature s = Signature.getInstance(JDK[a], "SunRsaSign");
            s.initSign(pair.getPrivate());
            s.update(data);
            byte[] sig = s.sign();
            ok(bridgeVerify(verify, ALGS[a], data, sig, hPub), JDK[a] + " through the bridge");
            sig[sig.length / 2] ^= 1;
            assertCode(NTE_BAD_SIGNATURE, bridgeVerify(verify, ALGS[a], data, sig, hPub), "altered " + JDK[a]);
            sig[sig.length / 2] ^= 1;
            assertCode(NTE_BAD_SIGNATURE, bridgeVerify(verify, ALGS[a], "other data".getBytes(), sig, hPub),
                    "other data");
        }
        // A duplicate of the key verifies after the original is gone.
        long[] dup = {0};
        ok(CAPI.cryptDuplicateKey(hPub, null, 0, dup), "duplicate key");
        ok(CAPI.cryptDestroyKey(hPub), "destroy original");
        Signature s = Signature.getInstance("SHA256withRSA");
        s.initSign(pair.getPrivate());
        s.update(data);
        ok(bridgeVerify(verify, CALG_SHA_256, data, s.sign(), dup[0]), "verify with the duplicate");
        ok(CAPI.cryptDestroyKey(dup[0]), "destroy duplicate");
        assertNotEquals(0, CAPI.cryptDestroyKey(dup[0]), "second destroy");
        ok(CAPI.cryptReleaseContext(verify, 0), "release");
    }

    /** The RSA public key of a Wycheproof signature test group. */
    static RSAPublicKey wycheproofPublicKey(Map<String, Object> group) throws Exception {
        @SuppressWarnings("unchecked")
        Map<String, Object> pk = (Map<String, Object>) group.get("publicKey");
        return (RSAPublicKey) KeyFactory.getInstance("RSA").generatePublic(new RSAPublicKeySpec(
                new BigInteger(1, Json.hex(pk.get("modulus"))), new BigInteger(1, Json.hex(pk.get("publicExponent")))));
    }

    /**
     * Every vector of rsa_signature_2048_sha256. Valid ones must verify and
     * invalid ones must be refused. "Acceptable" ones (a DigestInfo without
     * the NULL parameters) may go either way by PKCS#1: they must get a clean
     * verdict, success or NTE_BAD_SIGNATURE, and nothing else.
     */
    @Test
    void wycheproofRsaSignature2048Sha256() throws Exception {
        long verify = verifyContext();
        int checked = 0;
        for (Map<String, Object> group : Json.groups(Json.file("rsa_signature_2048_sha256_test.json"))) {
            RSAPublicKey key = wycheproofPublicKey(group);
            long hPub = importKey(verify, Blobs.publicKeyBlob(key, CALG_RSA_SIGN), 0, 0);
            for (Map<String, Object> t : Json.tests(group)) {
                byte[] msg = Json.hex(t.get("msg"));
                byte[] sig = Json.hex(t.get("sig"));
                int rc = bridgeVerify(verify, CALG_SHA_256, msg, sig, hPub);
                String what = "tcId " + t.get("tcId") + " (" + t.get("comment") + ") gave " + hex(rc);
                switch ((String) t.get("result")) {
                    case "valid":
                        ok(rc, what);
                        break;
                    case "invalid":
                        assertNotEquals(0, rc, what);
                        break;
                    default:
                        assertTrue(rc == 0 || rc == NTE_BAD_SIGNATURE, what);
                }
                checked++;
            }
            ok(CAPI.cryptDestroyKey(hPub), "destroy");
        }
        assertEquals(259, checked);
        ok(CAPI.cryptReleaseContext(verify, 0), "release");
    }

    @Test
    void exportedPrivateKeyBlobSignsForTheBridgeAndTheOtherWayRound() throws Exception {
        byte[] blob = exportKey(userKey, 0, PRIVATEKEYBLOB);
        RSAPrivateCrtKey priv = Blobs.rsaPrivate(blob);
        assertEquals(publicKey.getModulus(), priv.getModulus());
        RSAPublicKey fromPrivate = (RSAPublicKey) KeyFactory.getInstance("RSA")
                .generatePublic(new RSAPublicKeySpec(priv.getModulus(), priv.getPublicExponent()));
        byte[] data = "private key round trip".getBytes(StandardCharsets.UTF_8);

        Signature s = Signature.getInstance("SHA256withRSA", "SunRsaSign");
        s.initSign(priv);
        s.update(data);
        ok(bridgeVerify(prov, CALG_SHA_256, data, s.sign(), userKey), "JDK signature with the exported key");

        assertTrue(jdkVerify("SHA512withRSA", fromPrivate, data, bridgeSign(prov, CALG_SHA_512, data)),
                "bridge signature checked with the exported key's public half");

        // The blob imported again into a fresh container signs the same way.
        String other = uniqueName("sig-import");
        long p2 = newContainer(other);
        try {
            long k = importKey(p2, blob, 0, CRYPT_EXPORTABLE);
            assertTrue(jdkVerify("SHA1withRSA", publicKey, data, bridgeSign(p2, CALG_SHA1, data)),
                    "imported private key signs");
            ok(CAPI.cryptDestroyKey(k), "destroy");
        } finally {
            ok(CAPI.cryptReleaseContext(p2, 0), "release");
            deleteContainer(other);
        }
    }

    @Test
    void signingLengthsAndCallerErrors() throws Exception {
        long h = hashOf(prov, CALG_SHA_256, "lengths".getBytes());
        int[] len = {0};
        ok(CAPI.cryptSignHash(h, AT_SIGNATURE, null, 0, null, len), "size query");
        assertEquals(128, len[0]);
        byte[] small = new byte[100];
        len[0] = small.length;
        assertCode(ERROR_MORE_DATA, CAPI.cryptSignHash(h, AT_SIGNATURE, null, 0, small, len), "short buffer");
        assertEquals(128, len[0], "needed size copied back");
        assertCode(ERROR_UNHANDLED_EXCEPTION, CAPI.cryptSignHash(h, AT_SIGNATURE, null, 0, small, new int[0]),
                "empty length array");
        len[0] = 101;
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptSignHash(h, AT_SIGNATURE, null, 0, small, len),
                "length beyond the buffer");
        assertEquals(101, len[0], "no copy-back after a refused call");

        byte[] sig = new byte[130];
        len[0] = sig.length;
        ok(CAPI.cryptSignHash(h, AT_SIGNATURE, "a description", 0, sig, len), "sign with a description");
        assertEquals(128, len[0]);
        byte[] be = Blobs.reversed(java.util.Arrays.copyOf(sig, 128));
        assertTrue(jdkVerify("SHA256withRSA", publicKey, "lengths".getBytes(), be));

        ok(CAPI.cryptVerifySignature(h, sig, 128, userKey, null, 0), "verify the first 128 bytes of 130");
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptVerifySignature(h, sig, 131, userKey, null, 0),
                "count beyond the array");
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptVerifySignature(h, sig, -1, userKey, null, 0),
                "negative count");
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptVerifySignature(h, null, 128, userKey, null, 0),
                "null signature with a count");
        assertNotEquals(0, CAPI.cryptVerifySignature(h, sig, 127, userKey, null, 0), "truncated signature");
        ok(CAPI.cryptDestroyHash(h), "destroy");

        long[] k = {0x99};
        assertNotEquals(0, CAPI.cryptGetUserKey(prov, AT_KEYEXCHANGE, k), "no exchange key in the container");
        assertEquals(0, k[0], "handle after a failed fetch");
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptGetUserKey(prov, AT_SIGNATURE, new long[0]), "empty output");
        ok(CAPI.cryptGetUserKey(prov, AT_SIGNATURE, k), "the signature key");
        assertNotEquals(0, k[0]);
        if (is32Bit()) assertEquals(0, k[0] >>> 32, "zero-extended handle");
        ok(CAPI.cryptDestroyKey(k[0]), "destroy");
    }

    /**
     * Blob headers are chosen by the blob's first byte on import and by the
     * requested type on export, with the foreign flag picking the RSA or the
     * provider layout. On import a blob too short for that header is refused
     * (87) before the provider sees it; on export a buffer too short for it
     * is not normalised and gets the provider's answer with the size needed.
     * The normalisation leaves bytes unchanged.
     */
    @Test
    void blobHeadersFollowTheTypeAndTheForeignFlag() throws Exception {
        long verify = verifyContext();
        long[] k = {0x77};
        // Type 6: the RSA layout needs 20 bytes, the provider layout 16.
        byte[] pub18 = new byte[18];
        pub18[0] = PUBLICKEYBLOB;
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptImportKey(verify, pub18, 18, 0, 0, k, true), "6, foreign");
        int rc = CAPI.cryptImportKey(verify, pub18, 18, 0, 0, k, false);
        assertTrue(rc != 0 && rc != ERROR_INVALID_PARAMETER, "6, provider layout reaches the provider: " + hex(rc));
        assertEquals(0, k[0]);
        // Type 0x70: provider layout only (20 bytes); none with the foreign flag.
        byte[] divers = new byte[12];
        divers[0] = 0x70;
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptImportKey(verify, divers, 12, 0, 0, k, false), "0x70");
        assertNotEquals(ERROR_INVALID_PARAMETER, CAPI.cryptImportKey(verify, divers, 12, 0, 0, k, true), "0x70 f");
        // Type 25: RSA header (8 bytes) with the flag, none without.
        byte[] p8 = new byte[6];
        p8[0] = 25;
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptImportKey(verify, p8, 6, 0, 0, k, true), "25, foreign");
        assertNotEquals(ERROR_INVALID_PARAMETER, CAPI.cryptImportKey(verify, p8, 6, 0, 0, k, false), "25");
        // The same bytes with a different first byte take another header.
        byte[] simple = new byte[12];
        simple[0] = SIMPLEBLOB;
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptImportKey(verify, simple, 12, 0, 0, k, false), "1");
        assertNotEquals(ERROR_INVALID_PARAMETER, CAPI.cryptImportKey(verify, simple, 12, 0, 0, k, true), "1 f");
        // Lengths against the array, an empty blob and a null one.
        byte[] good = exportKey(userKey, 0, PUBLICKEYBLOB);
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptImportKey(verify, good, good.length + 1, 0, 0, k, false),
                "length beyond the array");
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptImportKey(verify, new byte[0], 0, 0, 0, k, false), "empty");
        k[0] = 0x77;
        assertNotEquals(0, CAPI.cryptImportKey(verify, null, 0, 0, 0, k, false), "null blob");
        assertEquals(0, k[0], "handle after a failed import");

        // Export: a buffer that cannot take the blob, also one shorter than
        // the header the flag chooses, gets ERROR_MORE_DATA with the size.
        int[] len = {18};
        assertCode(ERROR_MORE_DATA,
                CAPI.cryptExportKey(userKey, 0, PUBLICKEYBLOB, 0, new byte[18], len, true), "short, foreign");
        assertEquals(good.length, len[0], "needed size copied back");
        byte[] buf = new byte[good.length];
        len[0] = 18;
        assertCode(ERROR_MORE_DATA, CAPI.cryptExportKey(userKey, 0, PUBLICKEYBLOB, 0, buf, len, false), "18 of them");
        assertEquals(good.length, len[0], "needed size copied back");
        len[0] = buf.length + 1;
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptExportKey(userKey, 0, PUBLICKEYBLOB, 0, buf, len, false),
                "length beyond the array");
        assertCode(ERROR_UNHANDLED_EXCEPTION,
                CAPI.cryptExportKey(userKey, 0, PUBLICKEYBLOB, 0, buf, new int[0], false), "empty length array");
        len[0] = buf.length;
        ok(CAPI.cryptExportKey(userKey, 0, PUBLICKEYBLOB, 0, buf, len, true), "foreign export");
        assertArrayEquals(good, buf, "the foreign layout leaves the bytes as exported");
        byte[] again = buf.clone();
        long hPub = importKey(verify, again, 0, 0);
        assertArrayEquals(buf, again, "import leaves the blob as given");
        ok(CAPI.cryptDestroyKey(hPub), "destroy");
        long[] k2 = {0};
        ok(CAPI.cryptImportKey(verify, again, again.length, 0, 0, k2, true), "foreign import");
        ok(CAPI.cryptDestroyKey(k2[0]), "destroy");
        ok(CAPI.cryptReleaseContext(verify, 0), "release");
    }

    @Test
    void threadsSignAndVerifyOnTheirOwnHashesAtOnce() throws Exception {
        ExecutorService pool = Executors.newFixedThreadPool(4);
        try {
            List<Future<?>> jobs = new ArrayList<>();
            for (int t = 0; t < 4; t++) {
                final int seed = t;
                jobs.add(pool.submit(() -> {
                    Random rnd = new Random(seed);
                    for (int round = 0; round < 5; round++) {
                        byte[] data = new byte[rnd.nextInt(5000)];
                        rnd.nextBytes(data);
                        byte[] sig = bridgeSign(prov, CALG_SHA_256, data);
                        assertTrue(jdkVerify("SHA256withRSA", publicKey, data, sig));
                        ok(bridgeVerify(prov, CALG_SHA_256, data, sig, userKey), "bridge verify");
                    }
                    return null;
                }));
            }
            for (Future<?> f : jobs) f.get();
        } finally {
            pool.shutdown();
        }
    }
}
