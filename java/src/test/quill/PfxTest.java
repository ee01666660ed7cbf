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
