package quill;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quill.Tls.*;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.Random;

import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

import ru.Kestrel.Quill.KeyStore.PFXStore;
import ru.Kestrel.Quill.KeyStore.StoreCallbacks;
import ru.Kestrel.Quill.MSCAPI.CAPI;

/** The TLS 1.2 GOST suites against `openssl s_server` with the GOST engine and a GOST R 34.10-2012 PKI. */
class TlsGostTest {
    static final int KUZNYECHIK = 0x6631, MAGMA = 0x6630, GOST28147 = 0x661E;
    static Path dir;
    static byte[] page;

    static void gostCert(String name, String subject, String days, boolean ca) throws Exception {
        openssl(dir, "req", "-engine", "gost", "-newkey", "gost2012_256", "-pkeyopt", "paramset:A", "-nodes",
                "-keyout", name + ".key", "-out", name + ".csr", "-subj", subject);
        Files.writeString(dir.resolve(name + ".ext"), "subjectAltName=DNS:localhost\n");
        if (ca) {
            openssl(dir, "x509", "-engine", "gost", "-req", "-in", name + ".csr", "-signkey", name + ".key",
                    "-days", days, "-out", name + ".pem", "-extfile", name + ".ext");
        } else {
            openssl(dir, "x509", "-engine", "gost", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey",
                    "ca.key", "-CAcreateserial", "-days", days, "-extfile", name + ".ext", "-out", name + ".pem");
        }
    }

    static byte[] gostDer(String name) throws Exception {
        openssl(dir, "x509", "-engine", "gost", "-in", name + ".pem", "-outform", "DER", "-out", name + ".der");
        return Files.readAllBytes(dir.resolve(name + ".der"));
    }

    @BeforeAll
    static void certificates() throws Exception {
        dir = tempDir("tlsgost");
        openssl(dir, "req", "-engine", "gost", "-x509", "-newkey", "gost2012_256", "-pkeyopt", "paramset:A",
                "-nodes", "-keyout", "ca.key", "-out", "ca.pem", "-days", "30", "-subj", "/CN=Quill GOST CA",
                "-addext", "basicConstraints=critical,CA:TRUE");
        gostCert("server", "/CN=localhost", "30", false);
        gostCert("expired", "/CN=localhost", "-1", false);
        gostCert("stranger", "/CN=localhost", "30", true);
        gostCert("client", "/CN=Quill GOST Client", "30", false);
        openssl(dir, "pkcs12", "-engine", "gost", "-export", "-inkey", "client.key", "-in", "client.pem",
                "-passout", "pass:secret", "-out", "client.p12");
        gostDer("ca");
        TlsCertTest.certStore("add", dir.resolve("ca.der"));
        page = new byte[1 << 20];
        new Random(11).nextBytes(page);
        Files.write(dir.resolve("page.bin"), page);
    }

    @AfterAll
    static void untrust() throws Exception {
        TlsCertTest.certStore("remove", dir.resolve("ca.der"));
    }

    static Server gostServer(String... args) throws Exception {
        String[] all = Arrays.copyOf(new String[] {"-engine", "gost", "-tls1_2"}, 3 + args.length);
        System.arraycopy(args, 0, all, 3, args.length);
        return Server.start(dir, all);
    }

    /**
     * Each GOST suite, asked for alone by its cipher's ALG_ID, and the default
     * offer: the suite's IANA number, 1 MiB received in awkward pieces, and a
     * second connection that resumes.
     */
    @Test
    void negotiatesEachGostSuite() throws Exception {
        Object[][] cases = {{new int[] {KUZNYECHIK}, 0xC100}, {new int[] {MAGMA}, 0xC101},
                {new int[] {GOST28147}, 0xC102}, {null, 0xC100}};
        try (Server server = gostServer("-WWW")) {
            for (Object[] k : cases) {
                int[] list = (int[]) k[0];
                String what = list == null ? "default offer" : "ALG_ID 0x" + Integer.toHexString(list[0]);
                long[] cred = credential(0, list, true);
                for (int round = 0; round < 2; round++) {
                    try (Client c = new Client(cred, "localhost", server.port)) {
                        c.chunk = 97;
                        assertEquals(SEC_E_OK, c.handshake(), what);
                        int[] protocol = {0};
                        int[] suite = {0};
                        assertEquals(0, CAPI.getCipherInfo(c.context, protocol, suite));
                        assertEquals(k[1], suite[0], what);
                        assertEquals(SP_PROT_TLS1_2_CLIENT, protocol[0], what);
                        long[] result = {1};
                        int[] reconnect = {-1};
                        CAPI.getSessionInfo(c.context, reconnect, result);
                        assertEquals(round, reconnect[0], what + " connection " + round);
                        byte[][] chain = CAPI.getRemoteCertificates(c.context, result);
                        assertArrayEquals(gostDer("server"), chain[0], what);
                        assertArrayEquals(page, TlsTest.body(c.get("/page.bin")), what);
                    }
                }
                CAPI.freeCredentialsHandle(cred);
            }
        }
    }

    /**
     * Automatic validation of GOST server certificates through ROOT, and a
     * credential that allows only an international suite against the GOST
     * server: each ends with its status, not a hang.
     */
    @Test
    void refusesWhatItShould() throws Exception {
        Object[][] cases = {{"localhost", new String[0], null, SEC_E_OK},
                {"wrong.example", new String[0], null, SEC_E_WRONG_PRINCIPAL},
                {"localhost", new String[] {"-cert", "stranger.pem", "-key", "stranger.key"}, null,
                        SEC_E_UNTRUSTED_ROOT},
                {"localhost", new String[] {"-cert", "expired.pem", "-key", "expired.key"}, null, SEC_E_CERT_EXPIRED},
                {"localhost", new String[0], new int[] {0x30}, SEC_E_ALGORITHM_MISMATCH}};
        for (Object[] k : cases) {
            try (Server server = gostServer((String[]) k[1])) {
                long[] cred = credential(0, (int[]) k[2], true);
                try (Client c = new Client(cred, (String) k[0], server.port)) {
                    assertEquals((long) (int) k[3], c.handshake(), k[0] + " " + Arrays.toString((String[]) k[1]));
                } finally {
                    CAPI.freeCredentialsHandle(cred);
                }
            }
        }
    }

    /**
     * A server that demands a client certificate gets ours, its
     * CertificateVerify signed with the GOST key that the PFX import put into a
     * container of the GOST provider type, in each suite; the server's log
     * shows the certificate and the 1 MiB sent up.
     */
    @Test
    void authenticatesWithAGostKeyOfOurProvider() throws Exception {
        byte[] pfx = Files.readAllBytes(dir.resolve("client.p12"));
        PFXStore imported = new PFXStore();
        assertEquals(0, imported.importPfx(pfx, pfx.length, "secret", 0));
        StoreCallbacks.Entry e = imported.entries.get(0);
        assertEquals(80, e.provType);
        byte[] cert = gostDer("client");
        for (int alg : new int[] {KUZNYECHIK, MAGMA}) {
            try (Server server = gostServer("-Verify", "1", "-CAfile", "ca.pem")) {
                long[] cred = new long[2];
                assertEquals(0, CAPI.acquireCredentialsHandle(true, 0, new int[] {alg}, 1, cert, cert.length, e.hProv,
                        e.keyFlags, cred, true));
                try (Client c = new Client(cred, "localhost", server.port)) {
                    assertEquals(SEC_E_OK, c.handshake(), "ALG_ID 0x" + Integer.toHexString(alg));
                    // 1 MiB of lines up, in pieces that do not follow the records.
                    byte[] up = new byte[1 << 20];
                    for (int i = 0; i < up.length; i++) up[i] = (byte) (i % 64 == 63 ? '\n' : 'a' + i % 64 % 26);
                    c.sendInPieces(up);
                    c.send("hello\n".getBytes(StandardCharsets.US_ASCII));
                    java.util.List<String> log = server.linesUntil("hello");
                    assertNotNull(log);
                    assertTrue(log.contains("subject=CN = Quill GOST Client"), String.join("\n", log.subList(0, 20)));
                    String line = new String(up, 0, 63, StandardCharsets.US_ASCII);
                    assertEquals(up.length / 64, log.stream().filter(l -> l.endsWith(line)).count());
                } finally {
                    CAPI.freeCredentialsHandle(cred);
                }
            }
        }
        assertEquals(0, CAPI.cryptDestroyKey(e.hKey));
        if (e.keyUsage == 1) assertEquals(0, CAPI.cryptReleaseContext(e.hProv, 0));
        long[] gone = {0};
        CAPI.cryptAcquireContext(gone, e.sourceContainer, null, e.provType, Csp.CRYPT_DELETEKEYSET);
    }
}
