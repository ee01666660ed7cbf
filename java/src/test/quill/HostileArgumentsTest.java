package quill;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quill.Csp.*;

import java.io.File;
import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.security.MessageDigest;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

import org.junit.jupiter.api.Test;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * Arguments that would make the provider read past a Java array, store a
 * password where it does not belong, lose a handle, or make the bridge call
 * the VM with an exception pending.
 */
class HostileArgumentsTest {
    static final int PP_CONTAINER_COMMENT = 100;
    static final int PP_SET_CERT_EXTENSION = 132;

    @Test
    void valuesShorterThanWhatTheProviderReadsAreRefused() throws Exception {
        long p = verifyContext();
        try {
            // A hash value must be the hash's whole size.
            String[] names = {"SHA-512", "SHA-1", "MD5"};
            int[][] algs = {{CALG_SHA_512, 64}, {CALG_SHA1, 20}, {CALG_MD5, 16}};
            for (int i = 0; i < algs.length; i++) {
                int[] alg = algs[i];
                long h = newHash(p, alg[0], 0);
                for (int n : new int[] {1, alg[1] - 1}) {
                    assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptSetHashParam(h, HP_HASHVAL, new byte[n], 0),
                            "hash value of " + n + " bytes for " + hex(alg[0]));
                }
                assertArrayEquals(MessageDigest.getInstance(names[i]).digest(), hashValue(h),
                        "a refused value leaves the hash as it was");
                ok(CAPI.cryptDestroyHash(h), "destroy");
                h = newHash(p, alg[0], 0);
                byte[] value = new byte[alg[1]];
                Arrays.fill(value, (byte) 0x5A);
                ok(CAPI.cryptSetHashParam(h, HP_HASHVAL, value, 0), "whole hash value");
                assertArrayEquals(value, hashValue(h), "the value set is the value read");
                ok(CAPI.cryptDestroyHash(h), "destroy");
            }
            long hmac = newHash(p, CALG_HMAC, genKey(p, CALG_AES_128, CRYPT_EXPORTABLE));
            assertCode(ERROR_INVALID_PARAMETER,
                    CAPI.cryptSetHashParam(hmac, HP_HMAC_INFO, Arrays.copyOf(hmacInfo(CALG_SHA_256), 8), 0),
                    "short HMAC_INFO");
            ok(CAPI.cryptDestroyHash(hmac), "destroy");

            // An IV must be a whole cipher block; a mode a whole number.
            for (int[] alg : new int[][] {{CALG_AES_128, 16}, {CALG_3DES, 8}}) {
                long k = genKey(p, alg[0], 0);
                for (int n : new int[] {1, alg[1] - 1}) {
                    assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptSetKeyParam(k, KP_IV, new byte[n], 0),
                            "IV of " + n + " bytes for " + hex(alg[0]));
                }
                byte[] iv = new byte[alg[1]];
                Arrays.fill(iv, (byte) 7);
                ok(CAPI.cryptSetKeyParam(k, KP_IV, iv, 0), "whole IV");
                int[] len = {64};
                byte[] back = new byte[64];
                ok(CAPI.cryptGetKeyParam(k, KP_IV, back, len, 0), "IV back");
                assertArrayEquals(iv, Arrays.copyOf(back, len[0]), "no byte beyond the array is read");
                assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptSetKeyParam(k, KP_MODE, new byte[3], 0), "short mode");
                ok(CAPI.cryptDestroyKey(k), "destroy");
            }
        } finally {
            ok(CAPI.cryptReleaseContext(p, 0), "release");
        }
    }

    @Test
    void aPinDescriptionGoesToThePinParametersOnly() {
        String name = uniqueName("pin-param");
        long p = newContainer(name);
        try {
            byte[] secret = "secretpw\0".getBytes(StandardCharsets.US_ASCII);
            assertCode(ERROR_INVALID_PARAMETER, CAPI.changePin(p, PP_CONTAINER_COMMENT, (byte) 5, secret, 0),
                    "PIN description as a comment");
            assertCode(ERROR_INVALID_PARAMETER, CAPI.changePin(p, PP_SET_CERT_EXTENSION, (byte) 4, new byte[] {0}, 0),
                    "PIN description as a certificate extension");
            int[] len = {0};
            int rc = CAPI.cryptGetProvParam(p, PP_CONTAINER_COMMENT, null, len, 0);
            if (rc == 0 && len[0] > 0) {
                byte[] comment = new byte[len[0]];
                ok(CAPI.cryptGetProvParam(p, PP_CONTAINER_COMMENT, comment, len, 0), "comment");
                assertFalse(new String(comment, StandardCharsets.ISO_8859_1).contains("secre"), "no password in clear");
            }
        } finally {
            ok(CAPI.cryptReleaseContext(p, 0), "release");
            deleteContainer(name);
        }
    }

    @Test
    void handleOutputArraysWithoutElementZeroAreRefusedBeforeAnythingIsMade() {
        long p = verifyContext();
        try {
            for (long[] out : new long[][] {null, new long[0]}) {
                String what = out == null ? "null" : "empty";
                assertCode(ERROR_INVALID_PARAMETER,
                        CAPI.cryptAcquireContext(out, null, null, PROV_RSA_AES, CRYPT_VERIFYCONTEXT),
                        "acquire into " + what);
                assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptGenKey(p, CALG_AES_128, 0, out), "key into " + what);
                assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptCreateHash(p, CALG_SHA_256, 0, 0, out),
                        "hash into " + what);
            }
        } finally {
            ok(CAPI.cryptReleaseContext(p, 0), "release");
        }
    }

    /**
     * The hostile calls again in a JVM that checks every JNI call: a call
     * made with an exception pending, or any other misuse it reports, fails
     * the test.
     */
    @Test
    void hostileCallsMakeNoJniCallWithAnExceptionPending() throws Exception {
        List<String> cmd = new ArrayList<>();
        cmd.add(System.getProperty("java.home") + File.separator + "bin" + File.separator + "java");
        cmd.add("-Xcheck:jni");
        cmd.addAll(ManagementFactory.getRuntimeMXBean().getInputArguments());
        cmd.add("-cp");
        // The helpers in Csp assert through JUnit.
        cmd.add(String.join(File.pathSeparator, jarOf(HostileArgumentsTest.class), jarOf(CAPI.class),
                jarOf(org.junit.jupiter.api.Assertions.class), jarOf(org.opentest4j.AssertionFailedError.class)));
        cmd.add(HostileCalls.class.getName());
        Process child = new ProcessBuilder(cmd).redirectErrorStream(true).start();
        String out = new String(child.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertEquals(0, child.waitFor(), out);
        assertTrue(out.contains("hostile calls done"), out);
        assertFalse(out.contains("WARNING"), out);
    }

    private static String jarOf(Class<?> c) throws Exception {
        return new File(c.getProtectionDomain().getCodeSource().getLocation().toURI()).getPath();
    }

    /** The calls the checking JVM makes; each must come back with its code and nothing pending. */
    public static final class HostileCalls {
        public static void main(String[] args) {
            long p = verifyContext();
            check(574, CAPI.cryptEnumProviders(0, 0, new int[0], null, new int[0]));
            check(574, CAPI.cryptEnumProviders(0, 0, new int[1], new byte[8], new int[0]));
            long h = newHash(p, CALG_SHA_256, 0);
            check(574, CAPI.cryptSignHash(h, AT_SIGNATURE, "x", 0, null, new int[0]));
            check(574, CAPI.cryptGetHashParam(h, HP_HASHVAL, new byte[32], new int[0], 0));
            check(87, CAPI.cryptSetHashParam(h, HP_HASHVAL, new byte[1], 0));
            long k = genKey(p, CALG_AES_128, 0);
            check(87, CAPI.cryptSetKeyParam(k, KP_IV, new byte[1], 0));
            check(574, CAPI.cryptEncrypt(k, 0, true, 0, new byte[16], new int[0], 16));
            check(574, CAPI.cryptDecrypt(k, 0, true, 0, new byte[16], new int[0]));
            check(574, CAPI.cryptExportKey(k, 0, PLAINTEXTKEYBLOB, 0, new byte[64], new int[0], false));
            check(87, CAPI.cryptAcquireContext(new long[0], null, null, PROV_RSA_AES, CRYPT_VERIFYCONTEXT));
            check(87, CAPI.cryptGenKey(p, CALG_AES_128, 0, new long[0]));
            check(87, CAPI.changePin(p, PP_CONTAINER_COMMENT, (byte) 5, new byte[] {'a', 0}, 0));
            CAPI.cryptDestroyKey(k);
            CAPI.cryptDestroyHash(h);
            CAPI.cryptReleaseContext(p, 0);
            System.out.println("hostile calls done");
        }

        private static void check(int expected, int actual) {
            if (expected != actual) {
                throw new AssertionError("expected " + expected + ", got 0x" + Integer.toHexString(actual));
            }
        }
    }
}
