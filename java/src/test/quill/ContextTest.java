package quill;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quill.Csp.*;

import java.nio.charset.Charset;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;

import org.junit.jupiter.api.Test;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/** Provider contexts through the bridge: acquisition, sharing, release, names. */
class ContextTest {

    @Test
    void handleSizeMatchesTheJvmWidth() {
        String model = System.getProperty("sun.arch.data.model");
        assertEquals(model.equals("32") ? 4 : 8, CAPI.getSizeOfHandle());
    }

    @Test
    void verifyContextIsAcquiredAndReleased() {
        long h = verifyContext();
        assertNotEquals(0, h);
        ok(CAPI.cryptReleaseContext(h, 0), "release");
        // A handle that names no context is an invalid parameter to release
        // and add-ref, as on Windows; other functions report NTE_BAD_UID.
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptReleaseContext(h, 0), "second release of a released handle");
    }

    @Test
    void failedAcquisitionReportsTheKeysetErrorAndWritesZero() {
        long[] h = {0x1234};
        assertCode(NTE_BAD_KEYSET,
                CAPI.cryptAcquireContext(h, uniqueName("missing"), null, PROV_RSA_AES, 0), "open missing");
        assertEquals(0, h[0], "handle after a failed acquisition");
    }

    @Test
    void verifyContextWithAContainerNameIsRefused() {
        long[] h = {0};
        assertCode(NTE_BAD_FLAGS,
                CAPI.cryptAcquireContext(h, "named", null, PROV_RSA_AES, CRYPT_VERIFYCONTEXT), "verify + name");
    }

    @Test
    void addRefThenTwoReleasesSucceedAndAThirdFails() {
        long h = verifyContext();
        ok(CAPI.cryptContextAddRef(h, 0), "add-ref");
        ok(CAPI.cryptReleaseContext(h, 0), "first release");
        ok(CAPI.cryptReleaseContext(h, 0), "second release");
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptReleaseContext(h, 0), "third release");
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptContextAddRef(h, 0), "add-ref on a released handle");
    }

    @Test
    void releaseWithFlagsIsRefusedAndKeepsTheContext() {
        long h = verifyContext();
        assertCode(NTE_BAD_FLAGS, CAPI.cryptReleaseContext(h, 1), "release with flags");
        ok(CAPI.cryptReleaseContext(h, 0), "the context is still there");
    }

    @Test
    void forgedHandlesAreErrorsNotCrashes() {
        for (long forged : new long[] {0, 1, 0xFFFFFFFFL, 0x7FFFFFFFL, 0x12345678L, -1}) {
            assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptReleaseContext(forged, 0), "release of " + Long.toHexString(forged));
            int[] len = {0};
            assertCode(NTE_BAD_UID, CAPI.cryptGetProvParam(forged, PP_NAME, null, len, 0), "param of forged");
        }
    }

    @Test
    void highBitsOfAHandleCountOnlyIn64BitBuilds() {
        long h = verifyContext();
        long widened = h | 0xABCD000000000000L;
        if (is32Bit()) {
            assertEquals(String.valueOf(PROV_RSA_AES), String.valueOf(provParam(widened, PP_PROVTYPE, 0)[0]));
            ok(CAPI.cryptReleaseContext(widened, 0), "release through the widened value");
        } else {
            assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptReleaseContext(widened, 0), "the widened value names no context");
            ok(CAPI.cryptReleaseContext(h, 0), "release");
        }
    }

    @Test
    void containerLifecycleAndNameReadBack() {
        String name = uniqueName("ctx");
        long h = newContainer(name);
        assertEquals(name, provString(h, PP_CONTAINER));
        long[] again = {0};
        assertCode(NTE_EXISTS, CAPI.cryptAcquireContext(again, name, null, PROV_RSA_AES, CRYPT_NEWKEYSET),
                "create twice");
        ok(CAPI.cryptReleaseContext(h, 0), "release");
        ok(CAPI.cryptAcquireContext(again, name, null, PROV_RSA_AES, 0), "open existing");
        ok(CAPI.cryptReleaseContext(again[0], 0), "release");
        deleteContainer(name);
        assertCode(NTE_BAD_KEYSET, CAPI.cryptAcquireContext(again, name, null, PROV_RSA_AES, CRYPT_DELETEKEYSET),
                "delete twice");
    }

    @Test
    void nonAsciiContainerNameReachesTheCspInItsCodePage() {
        // The CSP's system code page is the character set of the process
        // locale: UTF-8 under the C and UTF-8 locales, where the name comes
        // back byte for byte, also above U+FFFF; windows-1251 when the tests
        // run under ru_RU.CP1251 (quill.acp says so), where the key character
        // has no place and becomes '?'.
        Charset acp = Charset.forName(System.getProperty("quill.acp", "UTF-8"));
        String name = uniqueName("Контейнер-ключей-\uD83D\uDD11");
        long h = newContainer(name);
        try {
            byte[] raw = provParam(h, PP_CONTAINER, 0);
            byte[] expected = (name + "\0").getBytes(acp);
            assertArrayEquals(expected, raw, "container name in " + acp);
            if (!acp.equals(StandardCharsets.UTF_8)) {
                assertEquals('?', (char) raw["Контейнер-ключей-".length()], "unmappable character");
                assertEquals((byte) 0xCA, raw[0], "К in windows-1251");
            }
        } finally {
            ok(CAPI.cryptReleaseContext(h, 0), "release");
            deleteContainer(name);
        }
    }

    @Test
    void unconvertibleNameFailsWithoutTouchingTheDefaultContainer() {
        // A lone surrogate cannot be converted. The call must fail with the
        // conversion's error instead of acting on the default container.
        long[] h = {0};
        int rc = CAPI.cryptAcquireContext(h, null, null, PROV_RSA_AES, CRYPT_NEWKEYSET);
        assertTrue(rc == 0 || rc == NTE_EXISTS, "default container present: " + hex(rc));
        if (rc == 0) ok(CAPI.cryptReleaseContext(h[0], 0), "release");

        assertCode(ERROR_NO_UNICODE_TRANSLATION,
                CAPI.cryptAcquireContext(h, "bad\uD800name", null, PROV_RSA_AES, CRYPT_DELETEKEYSET), "delete");
        assertEquals(0, h[0]);
        ok(CAPI.cryptAcquireContext(h, null, null, PROV_RSA_AES, 0), "default container survived");
        ok(CAPI.cryptReleaseContext(h[0], 0), "release");
        ok(CAPI.cryptAcquireContext(h, null, null, PROV_RSA_AES, CRYPT_DELETEKEYSET), "clean up");
    }

    @Test
    void containersAreEnumerated() {
        String name = uniqueName("enum");
        long h = newContainer(name);
        try {
            List<String> seen = containers(h, 0);
            assertTrue(seen.contains(name), "enumerated: " + seen);
        } finally {
            ok(CAPI.cryptReleaseContext(h, 0), "release");
            deleteContainer(name);
        }
    }

    @Test
    void shortBufferGivesMoreDataAndTheSize() {
        long h = verifyContext();
        byte[] small = new byte[3];
        int[] len = {small.length};
        assertCode(ERROR_MORE_DATA, CAPI.cryptGetProvParam(h, PP_NAME, small, len, 0), "short buffer");
        assertTrue(len[0] > 3, "required size written back: " + len[0]);
        int[] lying = {64};
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptGetProvParam(h, PP_NAME, small, lying, 0),
                "length larger than the array");
        ok(CAPI.cryptReleaseContext(h, 0), "release");
    }

    @Test
    void providersAreEnumeratedAndTheEndIsReported() {
        int[] type = {0};
        int[] len = {0};
        ok(CAPI.cryptEnumProviders(0, 0, type, null, len), "size query");
        assertEquals(PROV_RSA_AES, type[0]);
        byte[] name = new byte[len[0]];
        ok(CAPI.cryptEnumProviders(0, 0, type, name, len), "first provider");
        long h = verifyContext();
        assertEquals(provString(h, PP_NAME), new String(name, 0, len[0] - 1, StandardCharsets.UTF_8));
        ok(CAPI.cryptReleaseContext(h, 0), "release");

        int[] endType = {-1};
        int[] endLen = {-1};
        assertCode(ERROR_NO_MORE_ITEMS, CAPI.cryptEnumProviders(99, 0, endType, null, endLen), "past the end");
        assertEquals(-1, endLen[0], "length written back as the CSP left it");
    }

    @Test
    void emptyLengthArrayGives574AndLeavesNoExceptionPending() {
        // GetIntArrayRegion on an empty array raises; the native must clear
        // it and report 574, so this call returns normally.
        int rc = CAPI.cryptEnumProviders(0, 0, new int[1], null, new int[0]);
        assertCode(ERROR_UNHANDLED_EXCEPTION, rc, "empty length array");
        // The VM is usable afterwards: another native call works.
        long h = verifyContext();
        ok(CAPI.cryptReleaseContext(h, 0), "release");
    }

    @Test
    void manyThreadsAcquireAndReleaseConcurrently() throws Exception {
        ExecutorService pool = Executors.newFixedThreadPool(8);
        String shared = uniqueName("threads");
        newContainerAndRelease(shared);
        try {
            List<Future<?>> jobs = new ArrayList<>();
            for (int t = 0; t < 8; t++) {
                jobs.add(pool.submit(() -> {
                    for (int i = 0; i < 100; i++) {
                        long v = verifyContext();
                        long[] c = {0};
                        ok(CAPI.cryptAcquireContext(c, shared, null, PROV_RSA_AES, 0), "open shared");
                        assertEquals(shared, provString(c[0], PP_CONTAINER));
                        ok(CAPI.cryptContextAddRef(c[0], 0), "add-ref");
                        ok(CAPI.cryptReleaseContext(c[0], 0), "release");
                        ok(CAPI.cryptReleaseContext(c[0], 0), "release");
                        ok(CAPI.cryptReleaseContext(v, 0), "release");
                    }
                    return null;
                }));
            }
            for (Future<?> f : jobs) f.get();
        } finally {
            pool.shutdown();
            deleteContainer(shared);
        }
    }

    private static void newContainerAndRelease(String name) {
        ok(CAPI.cryptReleaseContext(newContainer(name), 0), "release");
    }
}
