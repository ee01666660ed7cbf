package quill;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quill.Csp.ok;

import java.io.File;

import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * Runs with java.library.path pointing at a copy of the libraries without
 * libsecprov: the bridge must still load, and CryptoAPI natives must work.
 */
@Tag("isolated")
class NoSecurityLibraryTest {
    @Test
    void loadsAndWorksWithoutTheTlsLibrary() {
        String dir = System.getProperty("java.library.path");
        assertTrue(Boolean.getBoolean("quill.noSecprov"), "run through the isolated test only");
        assertTrue(!new File(dir, "libsecprov.so").exists(), "libsecprov must be absent from " + dir);
        assertTrue(CAPI.getSizeOfHandle() == 4 || CAPI.getSizeOfHandle() == 8);
        ok(CAPI.cryptReleaseContext(Csp.verifyContext(), 0), "release");
    }

    @Test
    void sspiNativesReportAnInternalError() {
        final int internal = 0x80090304; // SEC_E_INTERNAL_ERROR
        long[] pair = new long[2];
        long[] result = {0};
        int[] len = {0};
        assertEquals(internal, CAPI.acquireCredentialsHandle(true, 0, null, 0, null, 0, 0, 0, pair, false));
        assertNull(CAPI.initializeSecurityContext(pair, pair, "x", false, false, null, len, result));
        assertEquals(internal, result[0]);
        result[0] = 0;
        assertNull(CAPI.encryptMessage(pair, new byte[1], new int[] {0}, new int[] {1}, result));
        assertEquals(internal, result[0]);
        result[0] = 0;
        assertNull(CAPI.decryptMessage(pair, new byte[1], new int[] {1}, result));
        assertEquals(internal, result[0]);
        result[0] = 0;
        assertNull(CAPI.getRemoteCertificates(pair, result));
        assertEquals(internal, result[0]);
        result[0] = 0;
        assertNull(CAPI.getIssuers(pair, result));
        assertEquals(internal, result[0]);
        result[0] = 0;
        assertNull(CAPI.getSessionInfo(pair, new int[1], result));
        assertEquals(internal, result[0]);
        assertEquals(internal, CAPI.getCipherInfo(pair, new int[1], new int[1]));
        assertEquals(0, CAPI.freeCredentialsHandle(pair));
        assertEquals(0, CAPI.deleteSecurityContext(pair));
    }
}
