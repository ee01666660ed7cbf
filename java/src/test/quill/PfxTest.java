package quill;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quill.Csp.*;

import java.io.ByteArrayInputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyStore;
import java.security.PrivateKey;
import java.security.Signature;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.util.Arrays;

import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;

import ru.Kestrel.Quill.KeyStore.PFXStore;
import ru.Kestrel.Quill.KeyStore.StoreCallbacks.Entry;
import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * PFX files through the bridge and the CSP's certificate library, proved
 * against files made by openssl and keytool and read back by the JDK's
 * PKCS12 key store and openssl.
 */
class PfxTest {
    static final Path PKI = Path.of(System.getProperty("quill.pki", "pki"));
    static final int EXPORT_PRIVATE_KEYS = 4;
    static final byte[] MESSAGE = "a message to sign".getBytes(StandardCharsets.US_ASCII);

    static byte[] file(String name) throws Exception {
        return Files.readAllBytes(PKI.resolve(name));
    }

    static X509Certificate cert(String name) throws Exception {
        return (X509Certificate) CertificateFactory.getInstance("X.509")
                .generateCertificate(new ByteArrayInputStream(file(name)));
    }

    /** The one key entry a PFX file of a key and its chain imports as. */
    static Entry importOne(PFXStore store, byte[] pfx, String password) {
        ok(store.importPfx(pfx, pfx.length, password, CRYPT_EXPORTABLE), "import");
        assertEquals(1, store.entries.size(), "entries");
        Entry e = store.entries.get(0);
        assertTrue(e.hasKey, "key entry");
        return e;
    }

    /** A CryptoAPI signature with the entry's key, in the JDK's byte order. */
    static byte[] sign(Entry e, byte[] data) {
        long h = hashOf(e.hProv, CALG_SHA_256, data);
        int[] len = {0};
        ok(CAPI.cryptSignHash(h, e.keyFlags, null, 0, null, len), "signature size");
        byte[] sig = new byte[len[0]];
        ok(CAPI.cryptSignHash(h, e.keyFlags, null, 0, sig, len), "sign");
        ok(CAPI.cryptDestroyHash(h), "destroy hash");
        for (int i = 0, j = sig.length - 1; i < j; i++, j--) {
            byte t = sig[i];
            sig[i] = sig[j];
            sig[j] = t;
        }
        return sig;
    }

    static boolean jdkVerifies(X509Certificate c, byte[] data, byte[] sig) throws Exception {
        Signature v = Signature.getInstance("SHA256withRSA");
        v.initVerify(c.getPublicKey());
        v.update(data);
        return v.verify(sig);
    }

    /**
     * Gives back what the entry handed over: the key and, as fFreeProv says,
     * the context reference; then the context handle is dead.
     */
    static void drop(Entry e) {
        ok(CAPI.cryptDestroyKey(e.hKey), "destroy key");
        assertEquals(1, e.keyUsage, "fFreeProv: a context reference is Java's");
        ok(CAPI.cryptReleaseContext(e.hProv, 0), "release context");
        assertNotEquals(0, CAPI.cryptContextAddRef(e.hProv, 0), "context gone");
        if (e.sourceContainer != null) deleteContainer(e.sourceContainer);
    }

    @ParameterizedTest
    @ValueSource(strings = {"leaf.p12", "leaf-legacy.p12", "leaf-keytool.p12"})
    void importDeliversOneKeyEntryThatSignsAfterTheImport(String name) throws Exception {
        byte[] pfx = file(name);
        PFXStore store = new PFXStore();
        assertNotEquals(0, store.importPfx(pfx, pfx.length, "wrong", 0), "wrong password");
        assertTrue(store.entries.isEmpty());
        assertCode(ERROR_INVALID_PARAMETER, store.importPfx(pfx, pfx.length + 1, "secret", 0), "length");

        Entry e = importOne(store, pfx, "secret");
        assertEquals(Arrays.asList(cert("leaf.der"), cert("ca.der")), e.chain, "chain in order");
        assertEquals("leaf", e.alias);
        assertEquals(AT_KEYEXCHANGE, e.keyFlags);
        assertTrue(e.sourceContainer != null && e.uniqueContainer != null, "container names");
        assertNull(e.extension, "no usage period in these files");
        // The temporary store is gone; the handles still sign.
        assertTrue(jdkVerifies(e.chain.get(0), MESSAGE, sign(e, MESSAGE)), "JDK verifies");
        drop(e);
    }

    /**
     * A key whose certificate carries a private key usage period: the entry's
     * extension names the exchange key's OID, is not critical, and holds the
     * period as X.509 encodes it (the value openssl wrote into the file).
     */
    @Test
    void usagePeriodReachesTheKeyEntry() throws Exception {
        PFXStore store = new PFXStore();
        Entry e = importOne(store, file("pkup.p12"), "secret");
        assertEquals("pkup", e.alias);
        assertTrue(e.extension != null, "extension");
        assertEquals("1.2.643.2.2.37.3.10", e.extension.oid);
        assertTrue(!e.extension.critical, "not critical");
        byte[] ext = e.chain.get(0).getExtensionValue("2.5.29.16");  // an OCTET STRING around the value
        assertArrayEquals(Arrays.copyOfRange(ext, 2, ext.length), e.extension.value);
        drop(e);
    }

    /**
     * The CA's certificate before the key's in the file: delivered on its
     * own first, then again inside the key entry's chain.
     */
    @Test
    void caCertificateBeforeTheKeyIsDeliveredTwice() throws Exception {
        PFXStore pfxStore = new PFXStore();
        Entry key = importOne(pfxStore, file("leaf.p12"), "secret");
        byte[] ca = file("ca.der");
        byte[] leaf = file("leaf.der");
        long[] mem = {0};
        ok(pfxStore.createMemoryStore(mem, 0), "memory store");
        ru.Kestrel.Quill.KeyStore.MSStore ms = new ru.Kestrel.Quill.KeyStore.MSStore();
        ok(ms.storeCertificateByHandle(mem[0], null, ca, ca.length, 0, 0, 0), "CA first");
        ok(ms.storeCertificateByHandle(mem[0], "leaf", leaf, leaf.length, key.hProv, key.hKey, 0), "then the key's");
        int[] len = {0};
        ok(pfxStore.exportPfx(mem[0], "pass", EXPORT_PRIVATE_KEYS, null, len), "size");
        byte[] out = new byte[len[0]];
        ok(pfxStore.exportPfx(mem[0], "pass", EXPORT_PRIVATE_KEYS, out, len), "export");
        ok(pfxStore.closeMemoryStore(mem[0]), "close");
        drop(key);

        PFXStore again = new PFXStore();
        ok(again.importPfx(out, len[0], "pass", 0), "import");
        assertEquals(2, again.entries.size(), "CA alone, then the key entry");
        assertTrue(!again.entries.get(0).hasKey);
        assertEquals(Arrays.asList(cert("ca.der")), again.entries.get(0).chain);
        Entry back = again.entries.get(1);
        assertTrue(back.hasKey);
        assertEquals(Arrays.asList(cert("leaf.der"), cert("ca.der")), back.chain);
        drop(back);
    }

    static final int CRYPT_USER_PROTECTED = 0x2, CRYPT_USER_KEYSET = 0x1000, PKCS12_INCLUDE_EXTENDED_PROPERTIES = 0x10,
            PKCS12_ALWAYS_CNG_KSP = 0x200, PKCS12_ONLY_CERTIFICATES = 0x400,
            PKCS12_ONLY_NOT_ENCRYPTED_CERTIFICATES = 0x800, PKCS12_NO_PERSIST_KEY = 0x8000;
    static final int NTE_SILENT_CONTEXT = 0x80090022, E_INVALIDARG = 0x80070057;

    /** How many containers the user and the machine have, as the CSP lists them. */
    static long containerFiles() {
        long h = verifyContext();
        try {
            return containers(h, 0).size() + containers(h, CRYPT_MACHINE_KEYSET).size();
        } finally {
            ok(CAPI.cryptReleaseContext(h, 0), "release");
        }
    }

    /**
     * Import flags, each done or refused. PKCS12_NO_PERSIST_KEY keeps the key
     * in memory: nothing is written, no context opens it by name, it signs
     * through the handles the walk delivers and goes with them. Without it
     * the key gets a container of its own, in the machine's directory with
     * CRYPT_MACHINE_KEYSET. Certificate-only imports deliver no key (those
     * readable without the password need none); what the CSP cannot honour
     * is refused before anything is made.
     */
    @Test
    void importFlagsAreHonouredOrRefused() throws Exception {
        byte[] pfx = file("leaf.p12");
        long files = containerFiles();
        PFXStore memory = new PFXStore();
        ok(memory.importPfx(pfx, pfx.length, "secret", PKCS12_NO_PERSIST_KEY), "import in memory");
        Entry e = memory.entries.get(0);
        assertEquals(files, containerFiles(), "no container written");
        assertNull(e.container, "no key provider information");
        long[] other = {0};
        assertCode(NTE_BAD_KEYSET, CAPI.cryptAcquireContext(other, e.sourceContainer, null, PROV_RSA_AES, 0),
                "no other context opens it");
        assertTrue(jdkVerifies(e.chain.get(0), MESSAGE, sign(e, MESSAGE)), "JDK verifies");
        e.sourceContainer = null;
        drop(e);

        for (int flags : new int[] {0, CRYPT_MACHINE_KEYSET}) {
            PFXStore disk = new PFXStore();
            ok(disk.importPfx(pfx, pfx.length, "secret", flags), "import 0x" + Integer.toHexString(flags));
            Entry d = disk.entries.get(0);
            assertEquals(files + 1, containerFiles(), "one container");
            assertNotEquals(null, d.container, "key provider information");
            ok(CAPI.cryptDestroyKey(d.hKey), "destroy key");
            ok(CAPI.cryptReleaseContext(d.hProv, 0), "release context");
            ok(CAPI.cryptAcquireContext(other, d.sourceContainer, null, PROV_RSA_AES, CRYPT_DELETEKEYSET | flags),
                    "the container is where the flags said");
        }

        int[][] refused = {{CRYPT_USER_PROTECTED, NTE_SILENT_CONTEXT}, {PKCS12_ALWAYS_CNG_KSP, NTE_BAD_FLAGS},
                {PKCS12_INCLUDE_EXTENDED_PROPERTIES, NTE_BAD_FLAGS},
                {CRYPT_MACHINE_KEYSET | CRYPT_USER_KEYSET, E_INVALIDARG}, {0x8, E_INVALIDARG},
                {0x20000, E_INVALIDARG}};
        PFXStore none = new PFXStore();
        for (int[] r : refused)
            assertCode(r[1], none.importPfx(pfx, pfx.length, "secret", r[0]), "flags 0x" + Integer.toHexString(r[0]));
        assertTrue(none.entries.isEmpty());
        assertEquals(files, containerFiles(), "nothing made by refused imports");

        PFXStore certs = new PFXStore();
        ok(certs.importPfx(pfx, pfx.length, "secret", PKCS12_ONLY_CERTIFICATES), "certificates only");
        assertEquals(Arrays.asList(cert("leaf.der"), cert("ca.der")), certs.entries.get(0).chain);
        assertTrue(certs.entries.stream().noneMatch(x -> x.hasKey), "no key");
        byte[] plain = file("plain-certs.p12");
        PFXStore open = new PFXStore();
        ok(open.importPfx(plain, plain.length, null, PKCS12_ONLY_NOT_ENCRYPTED_CERTIFICATES), "no password");
        assertEquals(Arrays.asList(cert("leaf.der"), cert("ca.der")), open.entries.get(0).chain);
        assertTrue(open.entries.stream().noneMatch(x -> x.hasKey), "no key");
        ok(none.importPfx(pfx, pfx.length, null, PKCS12_ONLY_NOT_ENCRYPTED_CERTIFICATES), "encrypted: nothing");
        assertTrue(none.entries.isEmpty());
        assertEquals(files, containerFiles());
    }

    /**
     * A password leaves no copy in memory once verifyPfx, importPfx and
     * exportPfx have returned: not the VM's UTF-8 copy, not the wide text the
     * bridge and the CSP convert it to, not their conversions back. It is
     * made at run time from characters beyond Latin-1, so that the only copy
     * the VM itself keeps is its UTF-16 string; its UTF-8 and UTF-32 forms are
     * looked for everywhere writable.
     */
    @Test
    void passwordsLeaveNoCopyInMemory() throws Exception {
        java.util.Random random = new java.util.Random(System.nanoTime());
        char[] chars = new char[48];
        for (int i = 0; i < chars.length; i++) chars[i] = (char) (0x430 + random.nextInt(32));
        String password = new String(chars);
        Arrays.fill(chars, '\0');

        PFXStore store = new PFXStore();
        Entry key = importOne(store, file("leaf.p12"), "secret");
        byte[] leaf = file("leaf.der");
        long[] mem = {0};
        ok(store.createMemoryStore(mem, 0), "memory store");
        ok(new ru.Kestrel.Quill.KeyStore.MSStore().storeCertificateByHandle(mem[0], "leaf", leaf, leaf.length,
                key.hProv, key.hKey, 0), "store");
        int[] len = {0};
        ok(store.exportPfx(mem[0], password, EXPORT_PRIVATE_KEYS, null, len), "size");
        byte[] out = new byte[len[0]];
        ok(store.exportPfx(mem[0], password, EXPORT_PRIVATE_KEYS, out, len), "export");
        ok(store.closeMemoryStore(mem[0]), "close");
        drop(key);
        ok(store.verifyPfx(out, len[0], password, 0), "verify");
        PFXStore again = new PFXStore();
        ok(again.importPfx(out, len[0], password, PKCS12_NO_PERSIST_KEY), "import");
        Entry back = again.entries.get(0);
        back.sourceContainer = null;
        drop(back);

        // The big-endian UTF-16 copies are OpenSSL's: its PKCS #12 key
        // derivation frees its working buffer (salt and password) unwiped,
        // one per MAC computed. Ours would show as UTF-8 or UTF-32.
        long[] copies = MemoryScan.copies(password, 12);
        assertEquals("[0, 0]", Arrays.toString(Arrays.copyOf(copies, 2)),
                "copies as UTF-8, UTF-32LE (UTF-16BE: " + copies[2] + ")");
    }

    /** Contexts delivered by imports go once Java has given them back. */
    @Test
    void manyImportsLeaveNoContextsBehind() throws Exception {
        byte[] pfx = file("leaf.p12");
        int n = is32Bit() ? 20 : 1000;  // the 32-bit build runs under an emulator here
        for (int i = 0; i < n; i++) {
            PFXStore store = new PFXStore();
            drop(importOne(store, pfx, "secret"));
        }
    }

    @Test
    void verifyTellsPasswordsApart() throws Exception {
        byte[] pfx = file("leaf.p12");
        PFXStore store = new PFXStore();
        ok(store.verifyPfx(pfx, pfx.length, "secret", 0), "right password");
        assertNotEquals(0, store.verifyPfx(pfx, pfx.length, "wrong", 0), "wrong password");
        assertNotEquals(0, store.verifyPfx(pfx, pfx.length, "", 0), "empty password");
        assertNotEquals(0, store.verifyPfx(pfx, pfx.length, null, 0), "null password");
        byte[] empty = file("empty-password.p12");
        ok(store.verifyPfx(empty, empty.length, "", 0), "empty password of an empty-password file");
        assertNotEquals(0, store.verifyPfx(empty, empty.length, "secret", 0), "a password it lacks");
        assertTrue(store.entries.isEmpty());
    }

    /**
     * A memory store filled by handle exports as a PFX that the JDK's
     * PKCS12 key store and openssl open, with the key and the alias.
     */
    @Test
    void memoryStoreExportOpensInTheJdkAndOpenssl() throws Exception {
        PFXStore pfxStore = new PFXStore();
        Entry key = importOne(pfxStore, file("leaf.p12"), "secret");
        byte[] leaf = file("leaf.der");
        long[] mem = {0};
        ok(pfxStore.createMemoryStore(mem, 0), "memory store");
        ru.Kestrel.Quill.KeyStore.MSStore ms = new ru.Kestrel.Quill.KeyStore.MSStore();
        ok(ms.storeCertificateByHandle(mem[0], "exported", leaf, leaf.length, key.hProv, key.hKey, 0), "store");
        int[] len = {0};
        ok(pfxStore.exportPfx(mem[0], "pass", EXPORT_PRIVATE_KEYS, null, len), "size");
        int[] small = {16};
        assertNotEquals(0, pfxStore.exportPfx(mem[0], "pass", EXPORT_PRIVATE_KEYS, new byte[16], small), "short");
        assertCode(ERROR_INVALID_PARAMETER,
                pfxStore.exportPfx(mem[0], "pass", EXPORT_PRIVATE_KEYS, new byte[16], new int[] {17}), "beyond");
        byte[] out = new byte[len[0]];
        ok(pfxStore.exportPfx(mem[0], "pass", EXPORT_PRIVATE_KEYS, out, len), "export");
        ok(pfxStore.closeMemoryStore(mem[0]), "close");
        ok(pfxStore.closeMemoryStore(0), "close 0");
        drop(key);
        byte[] pfx = Arrays.copyOf(out, len[0]);

        KeyStore jdk = KeyStore.getInstance("PKCS12");
        jdk.load(new ByteArrayInputStream(pfx), "pass".toCharArray());
        assertTrue(jdk.isKeyEntry("exported"), "key entry under the alias");
        X509Certificate c = (X509Certificate) jdk.getCertificate("exported");
        assertArrayEquals(leaf, c.getEncoded());
        Signature s = Signature.getInstance("SHA256withRSA");
        s.initSign((PrivateKey) jdk.getKey("exported", "pass".toCharArray()));
        s.update(MESSAGE);
        assertTrue(jdkVerifies(c, MESSAGE, s.sign()), "exported key signs");

        Path p = Files.createTempFile("quill", ".p12");
        Files.write(p, pfx);
        Process o = new ProcessBuilder("/usr/bin/openssl", "pkcs12", "-in", p.toString(), "-passin", "pass:pass",
                "-nodes", "-info").redirectErrorStream(true).start();
        String text = new String(o.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertEquals(0, o.waitFor(), text);
        Files.delete(p);
        assertTrue(text.contains("BEGIN PRIVATE KEY") && text.contains("friendlyName: exported")
                && text.contains("Quill Test Leaf"), text);

        // And back through importPfx, with the alias as the friendly name.
        PFXStore again = new PFXStore();
        Entry back = importOne(again, pfx, "pass");
        assertEquals("exported", back.alias);
        drop(back);
    }
}
