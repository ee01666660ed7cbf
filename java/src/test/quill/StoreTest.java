package quill;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quill.Csp.*;

import java.io.File;
import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;

import org.junit.jupiter.api.Test;

import ru.Kestrel.Quill.KeyStore.MSStore;
import ru.Kestrel.Quill.KeyStore.PFXStore;
import ru.Kestrel.Quill.KeyStore.StoreCallbacks.Entry;
import ru.Kestrel.Quill.MSCAPI.CAPI;

/** System and file stores through readStore, storeCertificate and removeCertificate. */
class StoreTest {
    static final Path PKI = PfxTest.PKI;

    /** One line per entry of a store, as a reader in another process sees it. */
    static String describe(MSStore s) {
        StringBuilder b = new StringBuilder();
        for (Entry e : s.entries) {
            b.append(e.alias).append('|').append(e.hasKey).append('|').append(e.container).append('|')
                    .append(e.sourceContainer).append('|').append(e.provider).append('|').append(e.provType)
                    .append('|').append(e.keySpec).append('|').append(e.chain.size()).append('\n');
            if (e.hasKey) {
                CAPI.cryptDestroyKey(e.hKey);
                if (e.keyUsage == 1) CAPI.cryptReleaseContext(e.hProv, 0);
            }
        }
        return b.toString();
    }

    /** Reads a system store in a JVM of its own and prints what it found. */
    public static final class Reader {
        public static void main(String[] args) {
            MSStore s = new MSStore();
            int rc = s.readStore(args[0], false);
            java.io.PrintStream out = new java.io.PrintStream(System.out, true, StandardCharsets.UTF_8);
            out.print("rc=" + rc + "\n" + describe(s));
        }
    }

    static String jarOf(Class<?> c) throws Exception {
        return new File(c.getProtectionDomain().getCodeSource().getLocation().toURI()).getPath();
    }

    static String readInNewProcess(String store) throws Exception {
        List<String> cmd = new ArrayList<>();
        cmd.add(System.getProperty("java.home") + File.separator + "bin" + File.separator + "java");
        cmd.addAll(ManagementFactory.getRuntimeMXBean().getInputArguments());
        cmd.add("-cp");
        cmd.add(jarOf(StoreTest.class) + File.pathSeparator + jarOf(MSStore.class));
        cmd.add(Reader.class.getName());
        cmd.add(store);
        Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertEquals(0, p.waitFor(), out);
        return out;
    }

    /**
     * A certificate stored with a non-ASCII alias and its key is found by a
     * new process with the key binding; removeCertificate deletes it only
     * under that alias; storing it again under another alias replaces it.
     */
    @Test
    void systemStoreKeepsAliasAndKeyAcrossProcesses() throws Exception {
        String store = uniqueName("QuillStore");
        byte[] pfx = PfxTest.file("leaf.p12");
        byte[] leaf = PfxTest.file("leaf.der");
        PFXStore imported = new PFXStore();
        Entry key = PfxTest.importOne(imported, pfx, "secret");
        MSStore ms = new MSStore();
        // Under windows-1251 the alias is one that code page holds; one it
        // cannot hold does not come back and matches nothing.
        boolean cp1251 = "windows-1251".equals(System.getProperty("quill.acp"));
        String alias = cp1251 ? "ключ-№" : "ключ-ü";
        ok(ms.storeCertificate(store, alias, leaf, leaf.length, key.hProv, key.hKey, 0), "store");
        String provider = provString(key.hProv, PP_NAME);
        String seen = readInNewProcess(store);
        assertEquals("rc=0\n" + alias + "|true|" + key.sourceContainer + "|" + key.sourceContainer + "|" + provider
                + "|" + PROV_RSA_AES + "|" + AT_KEYEXCHANGE + "|1\n", seen);

        ok(ms.removeCertificate(store, "other", leaf, leaf.length), "other alias");
        if (cp1251) {
            ok(ms.storeCertificate(store, "ü", leaf, leaf.length, 0, 0, 0), "an alias outside the code page");
            ok(ms.removeCertificate(store, "ü", leaf, leaf.length), "does not match");
            assertTrue(readInNewProcess(store).contains("\n?|false"), "still there, as the code page shows it");
            ok(ms.storeCertificate(store, alias, leaf, leaf.length, key.hProv, key.hKey, 0), "back");
        }
        ok(ms.removeCertificate(store, null, leaf, leaf.length), "no alias");
        assertTrue(readInNewProcess(store).contains(alias), "still there");
        ok(ms.storeCertificate(store, "second", leaf, leaf.length, 0, 0, 0), "again");
        MSStore again = new MSStore();
        ok(again.readStore(store, false), "read");
        assertEquals("second|false|null|null|null|0|0|1\n", describe(again), "the new call's alias and binding");
        ok(ms.removeCertificate(store, "second", leaf, leaf.length), "remove");
        assertEquals("rc=0\n", readInNewProcess(store));
        PfxTest.drop(key);
    }

    /** A PKCS #7 file walked in store mode, an empty store, and arguments refused. */
    @Test
    void fileStoreEmptyStoreAndRefusedArguments() throws Exception {
        byte[] leaf = PfxTest.file("leaf.der");
        MSStore ms = new MSStore();
        ok(ms.readStore(PKI.resolve("chain.p7b").toString(), true), "file store");
        assertEquals(2, ms.entries.size());
        for (Entry e : ms.entries) {
            assertTrue(!e.hasKey && e.container == null && e.sourceContainer == null);
            if (e.alias.equals("Quill Test Leaf")) {
                assertEquals(Arrays.asList(PfxTest.cert("leaf.der"), PfxTest.cert("ca.der")), e.chain);
            } else {
                assertEquals("Quill Test CA", e.alias);
                assertEquals(Arrays.asList(PfxTest.cert("ca.der")), e.chain);
            }
        }
        MSStore empty = new MSStore();
        ok(empty.readStore(uniqueName("QuillEmpty"), false), "empty store");
        assertTrue(empty.entries.isEmpty());
        assertTrue(empty.readStore(PKI.resolve("no-such-file").toString(), true) != 0, "missing file");
        assertEquals(1, empty.readStore(null, false));
        assertCode(ERROR_INVALID_PARAMETER, ms.storeCertificate(null, "a", leaf, leaf.length, 0, 0, 0), "null store");
        assertCode(ERROR_INVALID_PARAMETER, ms.removeCertificate(null, "a", leaf, leaf.length), "null store");
        assertCode(ERROR_INVALID_PARAMETER, ms.storeCertificate("QuillX", "a", leaf, leaf.length + 1, 0, 0, 0), ">");
        assertCode(ERROR_INVALID_PARAMETER, ms.storeCertificateByHandle(1, "a", leaf, -1, 0, 0, 0), "negative");
        assertCode(ERROR_INVALID_PARAMETER, ms.removeCertificate("QuillX", "a", leaf, leaf.length + 1), ">");

        // A callback that throws ends the walk with 574 and nothing pending.
        MSStore throwing = new MSStore() {
            @Override
            public void generateCertificates(byte[] der, java.util.Collection certs) {
                throw new IllegalStateException("refused");
            }
        };
        assertCode(ERROR_UNHANDLED_EXCEPTION, throwing.readStore(PKI.resolve("chain.p7b").toString(), true), "throws");
        assertTrue(throwing.entries.isEmpty());
    }
}
