package quill;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quill.Csp.*;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.Signature;
import java.security.interfaces.RSAPublicKey;
import java.util.Arrays;

import org.junit.jupiter.api.Test;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/** Container passwords, provider parameters, certificate extensions, configuration and random bytes. */
class ContainerTest {
    static final int PP_CONTAINER_COMMENT = 100;
    static final int PP_ENUM_CERT_EXTENSIONS = 133;
    static final byte PIN_PASSWORD = 0;
    static final byte PIN_VERIFY = 4;
    static final int SCARD_W_WRONG_CHV = 0x8010006B;

    static byte[] pin(String text) {
        byte[] b = text.getBytes(StandardCharsets.UTF_8);
        return Arrays.copyOf(b, b.length + 1);
    }

    static long open(String name) {
        long[] h = {0};
        ok(CAPI.cryptAcquireContext(h, name, null, PROV_RSA_AES, 0), "open " + name);
        return h[0];
    }

    /** Signs with the container's exchange key through the bridge; the code of the signing call. */
    static int trySign(long hProv, byte[] data, byte[][] sigOut) {
        long h = hashOf(hProv, CALG_SHA_256, data);
        byte[] sig = new byte[128];
        int[] len = {sig.length};
        int rc = CAPI.cryptSignHash(h, AT_KEYEXCHANGE, null, 0, sig, len);
        ok(CAPI.cryptDestroyHash(h), "destroy hash");
        sigOut[0] = Blobs.reversed(sig);
        return rc;
    }

    static void assertSignsFor(long hProv, RSAPublicKey pub) throws Exception {
        byte[] data = "protected key".getBytes(StandardCharsets.UTF_8);
        byte[][] sig = new byte[1][];
        ok(trySign(hProv, data, sig), "sign with the protected key");
        Signature s = Signature.getInstance("SHA256withRSA", "SunRsaSign");
        s.initVerify(pub);
        s.update(data);
        assertTrue(s.verify(sig[0]), "JDK verifies");
    }

    @Test
    void aPasswordProtectsTheContainerAcrossAcquisitionsAndCanBeChanged() throws Exception {
        String name = uniqueName("pin");
        long p = newContainer(name);
        try {
            long k = genKey(p, AT_KEYEXCHANGE, keyBits(1024, 0));
            RSAPublicKey pub = Blobs.rsaPublic(exportKey(k, 0, PUBLICKEYBLOB));
            ok(CAPI.cryptDestroyKey(k), "destroy");
            ok(CAPI.changePin(p, PP_KEYEXCHANGE_PIN, PIN_PASSWORD, pin("first"), 0), "set a password");
            ok(CAPI.cryptReleaseContext(p, 0), "release");

            p = open(name);
            byte[][] sig = new byte[1][];
            assertNotEquals(0, trySign(p, new byte[1], sig), "private key without the password");
            assertCode(SCARD_W_WRONG_CHV, CAPI.changePin(p, PP_KEYEXCHANGE_PIN, PIN_VERIFY, pin("wrong"), 0),
                    "wrong password");
            ok(CAPI.changePin(p, PP_KEYEXCHANGE_PIN, PIN_VERIFY, pin("first"), 0), "right password");
            assertSignsFor(p, pub);
            ok(CAPI.changePin(p, PP_KEYEXCHANGE_PIN, PIN_PASSWORD, pin("second"), 0), "change the password");
            assertSignsFor(p, pub);
            ok(CAPI.cryptReleaseContext(p, 0), "release");

            p = open(name);
            assertCode(SCARD_W_WRONG_CHV, CAPI.changePin(p, PP_KEYEXCHANGE_PIN, PIN_VERIFY, pin("first"), 0),
                    "old password after the change");
            ok(CAPI.changePin(p, PP_KEYEXCHANGE_PIN, PIN_PASSWORD, pin("second"), 0), "new password");
            assertSignsFor(p, pub);
            long[] uk = {0};
            ok(CAPI.cryptGetUserKey(p, AT_KEYEXCHANGE, uk), "key still there");
            assertArrayEquals(pub.getEncoded(), Blobs.rsaPublic(exportKey(uk[0], 0, PUBLICKEYBLOB)).getEncoded());
            ok(CAPI.cryptDestroyKey(uk[0]), "destroy");

            // Refused before the provider: other PIN kinds and a password with no terminator.
            for (byte kind : new byte[] {1, 2, 3, 6, (byte) 0x84}) {
                assertCode(ERROR_INVALID_PARAMETER, CAPI.changePin(p, PP_KEYEXCHANGE_PIN, kind, pin("second"), 0),
                        "PIN kind " + kind);
            }
            assertCode(ERROR_INVALID_PARAMETER, CAPI.changePin(p, PP_KEYEXCHANGE_PIN, PIN_PASSWORD,
                    "unterminated".getBytes(StandardCharsets.UTF_8), 0), "no terminating zero");
            assertCode(ERROR_INVALID_PARAMETER, CAPI.changePin(p, PP_KEYEXCHANGE_PIN, PIN_PASSWORD, new byte[0], 0),
                    "empty password array");
            assertSignsFor(p, pub);
        } finally {
            CAPI.cryptReleaseContext(p, 0);
            deleteContainer(name);
        }
    }

    @Test
    void containerCommentTravelsAsADataBlob() {
        String name = uniqueName("comment");
        long p = newContainer(name);
        try {
            byte[] comment = "a comment with\0inner zero".getBytes(StandardCharsets.UTF_8);
            ok(CAPI.cryptSetProvParam(p, PP_CONTAINER_COMMENT, comment, 0), "set comment");
            assertArrayEquals(comment, provParam(p, PP_CONTAINER_COMMENT, 0), "the whole array, zero included");
            ok(CAPI.cryptSetProvParam(p, PP_CONTAINER_COMMENT, null, 0), "clear with a null array");
            assertEquals(0, provParam(p, PP_CONTAINER_COMMENT, 0).length);
            assertNotEquals(0, CAPI.cryptSetProvParam(p, PP_NAME, null, 0), "other parameters get a bare pointer");
            // A certificate extension holds pointers: bytes that would be
            // followed as such never reach the CSP.
            byte[] forged = new byte[32];
            java.util.Arrays.fill(forged, (byte) 0x41);
            assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptSetProvParam(p, 132, forged, 0), "extension as bytes");
            forged[0] = 0; // a PIN description of kind 0 whose "pointer" is 0x41414141...
            assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptSetProvParam(p, PP_KEYEXCHANGE_PIN, forged, 0),
                    "PIN description as bytes");
        } finally {
            ok(CAPI.cryptReleaseContext(p, 0), "release");
            deleteContainer(name);
        }
    }

    @Test
    void certificateExtensionsAreStoredWithTheirLength() {
        String name = uniqueName("ext");
        long p = newContainer(name);
        try {
            byte[] value = {0x30, 0x03, 0x01, 0x01, (byte) 0xff, 0x77, 0x77};
            ok(CAPI.setCertExtension(p, "1.2.3.4.5", true, value, 5, 0), "set extension");
            byte[] rec = provParam(p, PP_ENUM_CERT_EXTENSIONS, CRYPT_FIRST);
            assertEquals(1, Blobs.le32(rec, 0), "critical");
            assertEquals(5, Blobs.le32(rec, 4), "only the given length");
            assertArrayEquals(Arrays.copyOf(value, 5), Arrays.copyOfRange(rec, 8, 13));
            assertEquals("1.2.3.4.5", new String(rec, 13, 9, StandardCharsets.US_ASCII));
            assertCode(ERROR_INVALID_PARAMETER, CAPI.setCertExtension(p, "1.2.3", false, value, 8, 0), "too long");
            assertCode(ERROR_INVALID_PARAMETER, CAPI.setCertExtension(p, "1.2.3", false, null, 1, 0), "null value");
            assertCode(ERROR_INVALID_PARAMETER, CAPI.setCertExtension(p, "1.2.3", false, value, -1, 0), "negative");
            assertNotEquals(0, CAPI.setCertExtension(p, null, false, value, 3, 0), "no identifier");
        } finally {
            ok(CAPI.cryptReleaseContext(p, 0), "release");
            deleteContainer(name);
        }
    }

    @Test
    void strengthenedKeyUsageControlIsReadAfreshFromTheConfiguration() throws Exception {
        Path conf = Path.of(System.getenv("QUILL_CSP_CONFIG"));
        Files.createDirectories(conf.getParent());
        try {
            Files.deleteIfExists(conf);
            assertEquals(-1, CAPI.getStrengthenedKeyUsageControl(), "no configuration file");
            for (int v : new int[] {1, 0, 7}) {
                Files.writeString(conf, "[\\config\\Parameters]\nStrengthenedKeyUsageControl = dword:" + v + "\n");
                assertEquals(v, CAPI.getStrengthenedKeyUsageControl(), "configured " + v);
            }
            Files.writeString(conf, "[\\config\\Parameters]\nOther = dword:1\n");
            assertEquals(-1, CAPI.getStrengthenedKeyUsageControl(), "value absent");
        } finally {
            Files.deleteIfExists(conf);
        }
    }

    @Test
    void randomBytesFillExactlyTheRequestedLength() {
        long p = verifyContext();
        byte[] a = new byte[64];
        byte[] b = new byte[64];
        ok(CAPI.cryptGenRandom(p, 64, a), "64 bytes");
        ok(CAPI.cryptGenRandom(p, 64, b), "64 more");
        assertFalse(Arrays.equals(a, b), "two draws differ");
        byte[] part = new byte[64];
        ok(CAPI.cryptGenRandom(p, 32, part), "half");
        assertArrayEquals(new byte[32], Arrays.copyOfRange(part, 32, 64), "beyond the count untouched");
        ok(CAPI.cryptGenRandom(p, 0, new byte[0]), "nothing");
        ok(CAPI.cryptGenRandom(p, 0, null), "nothing, null buffer");
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptGenRandom(p, 65, a), "beyond the array");
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptGenRandom(p, 1, null), "null buffer with a count");
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptGenRandom(p, -1, a), "negative count");
        ok(CAPI.cryptReleaseContext(p, 0), "release");
    }

    @Test
    void enumeratingAlgorithmsGivesWholeRecords() {
        long p = verifyContext();
        int flags = CRYPT_FIRST;
        boolean sawAes = false;
        for (int n = 0;; n++) {
            byte[] rec = new byte[32];
            int[] len = {32};
            int rc = CAPI.cryptGetProvParam(p, PP_ENUMALGS, rec, len, flags);
            if (rc == ERROR_NO_MORE_ITEMS) break;
            ok(rc, "PP_ENUMALGS");
            assertEquals(32, len[0]);
            sawAes |= Blobs.le32(rec, 0) == CALG_AES_256;
            flags = 0;
            assertTrue(n < 100);
        }
        assertTrue(sawAes, "AES-256 listed");
        ok(CAPI.cryptReleaseContext(p, 0), "release");
    }
}
