package quill;

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
}
