package quill;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quill.Tls.*;

import java.io.ByteArrayInputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyFactory;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.security.interfaces.RSAPrivateCrtKey;
import java.security.spec.PKCS8EncodedKeySpec;
import java.util.List;
import java.util.UUID;
import java.util.concurrent.TimeUnit;

import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * Certificates in TLS through the bridge: the server's chain checked against
 * the CSP's ROOT store, the chain handed back, and a client certificate whose
 * key lives in our provider.
 */
class TlsCertTest {
    static Path dir;

    /** Adds a DER certificate to the CSP's ROOT store of this user, or removes it. */
    static void certStore(String op, Path file) throws Exception {
        Process p = new ProcessBuilder(System.getProperty("quill.certStore", "cert_store"), op, "ROOT",
                file.toString()).redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(p.waitFor(30, TimeUnit.SECONDS) && p.exitValue() == 0, "cert_store " + op + ": " + out);
    }

    @BeforeAll
    static void certificates() throws Exception {
        dir = tempDir("tlscert");
        makeCertificates(dir);
        issue(dir, "expired", "/CN=localhost", "subjectAltName=DNS:localhost", "-1");
        openssl(dir, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "stranger.key", "-out",
                "stranger.pem", "-days", "30", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost");
        der(dir, "ca");
        certStore("add", dir.resolve("ca.der"));
    }

    @AfterAll
    static void untrust() throws Exception {
        certStore("remove", dir.resolve("ca.der"));
    }

    static long handshake(String target, boolean auto, String... serverArgs) throws Exception {
        try (Server server = Server.start(dir, serverArgs)) {
            long[] cred = credential(0, null, auto);
            try (Client c = new Client(cred, target, server.port)) {
                return c.handshake();
            } finally {
                CAPI.freeCredentialsHandle(cred);
            }
        }
    }

    /**
     * Automatic validation refuses an untrusted root, a wrong name and an
     * expired certificate with their codes (a null or empty target skips only
     * the name); manual validation completes and hands back the chain the
     * server sent, leaf first.
     */
    @Test
    void validatesTheServerAgainstTheRootStore() throws Exception {
        assertEquals(SEC_E_OK, handshake("localhost", true));
        assertEquals(SEC_E_WRONG_PRINCIPAL, handshake("wrong.example", true));
        assertEquals(SEC_E_UNTRUSTED_ROOT, handshake("localhost", true, "-cert", "stranger.pem", "-key",
                "stranger.key"));
        assertEquals(SEC_E_CERT_EXPIRED, handshake("localhost", true, "-cert", "expired.pem", "-key",
                "expired.key"));
        // Without a target name there is no name to check (as in Schannel); the chain still is.
        assertEquals(SEC_E_OK, handshake(null, true));
        assertEquals(SEC_E_UNTRUSTED_ROOT, handshake("", true, "-cert", "stranger.pem", "-key", "stranger.key"));

        try (Server server = Server.start(dir, "-cert", "expired.pem", "-key", "expired.key")) {
            long[] cred = credential(0, null, false);
            try (Client c = new Client(cred, "wrong.example", server.port)) {
                assertEquals(SEC_E_OK, c.handshake(), "manual validation leaves the checks to the caller");
                long[] result = {1};
                byte[][] chain = CAPI.getRemoteCertificates(c.context, result);
                assertEquals(0, result[0]);
                assertNotNull(chain);
                assertEquals(2, chain.length);
                assertArrayEquals(der(dir, "expired"), chain[0]);
                assertArrayEquals(der(dir, "ca"), chain[1]);
            }
            CAPI.freeCredentialsHandle(cred);
        }
    }

    static byte[] privateKeyBlob(Path pem) throws Exception {
        RSAPrivateCrtKey key = (RSAPrivateCrtKey) KeyFactory.getInstance("RSA")
                .generatePrivate(new PKCS8EncodedKeySpec(Tls.pem(pem)));
        return Blobs.privateKeyBlob(key, Csp.CALG_RSA_KEYX);
    }

    /** A new container of our provider holding the client certificate's key; one reference on it. */
    static long clientKeyContainer(String container) throws Exception {
        long[] prov = {0};
        Csp.ok(CAPI.cryptAcquireContext(prov, container, null, Csp.PROV_RSA_AES, Csp.CRYPT_NEWKEYSET), "container");
        byte[] blob = privateKeyBlob(dir.resolve("client.key"));
        long[] key = {0};
        Csp.ok(CAPI.cryptImportKey(prov[0], blob, blob.length, 0, 0, key, false), "import the client key");
        Csp.ok(CAPI.cryptDestroyKey(key[0]), "destroy key");
        return prov[0];
    }

    /**
     * A server that asks for a client certificate (-verify) or demands one
     * (-Verify) while the credential holds none, in both versions: the
     * handshake stops with SEC_I_INCOMPLETE_CREDENTIALS, the input stays with
     * the caller and getIssuers names the server's CA. The next call, with the
     * same input, goes on without a certificate (isUseCreds; the demanding
     * server then ends the connection) or sends the certificate of the new
     * credential it passes; the server's log shows which.
     */
    @Test
    void answersACertificateRequestInTheMiddleOfTheHandshake() throws Exception {
        String container = "tls-asked-" + UUID.randomUUID();
        long prov = clientKeyContainer(container);
        byte[] cert = der(dir, "client");
        byte[] caName = ((X509Certificate) CertificateFactory.getInstance("X.509")
                .generateCertificate(new ByteArrayInputStream(der(dir, "ca")))).getSubjectX500Principal().getEncoded();
        for (String version : new String[] {"-tls1_2", "-tls1_3"}) {
            for (String mode : new String[] {"-verify", "-Verify"}) {
                for (boolean answer : new boolean[] {false, true}) {
                    String what = version + " " + mode + (answer ? " with" : " without") + " a certificate";
                    long[] anonymous = credential(0, null, true);
                    long[] withCert = new long[2];
                    assertEquals(0, CAPI.acquireCredentialsHandle(true, 0, null, 0, cert, cert.length, prov,
                            Csp.AT_KEYEXCHANGE, withCert, true));
                    try (Server server = Server.start(dir, mode, "1", "-CAfile", "ca.pem", version);
                            Client c = new Client(anonymous, "localhost", server.port)) {
                        assertEquals(SEC_I_INCOMPLETE_CREDENTIALS, c.handshake(), what);
                        assertTrue(c.len[0] > 0, what + ": the input stays with the caller");
                        long[] result = {1};
                        byte[][] issuers = CAPI.getIssuers(c.context, result);
                        assertEquals(0, result[0], what);
                        assertArrayEquals(caName, issuers[0], what);
                        if (answer) c.cred = withCert;
                        else c.useCreds = true;
                        long status = c.handshake();
                        if (!answer && mode.equals("-Verify")) {
                            // Refused at once in TLS 1.2, with the first record in 1.3.
                            if (status == SEC_E_OK) status = c.nextStatus();
                            assertTrue(status < 0 && status != CLOSED, what + ": 0x" + Long.toHexString(status));
                            continue;
                        }
                        assertEquals(SEC_E_OK, status, what);
                        c.send("hello\n".getBytes(StandardCharsets.US_ASCII));
                        List<String> log = server.linesUntil("hello");
                        assertNotNull(log, what);
                        assertEquals(answer, log.contains("subject=CN = Quill Test Client"), what + ": " + log);
                    } finally {
                        CAPI.freeCredentialsHandle(anonymous);
                        CAPI.freeCredentialsHandle(withCert);
                    }
                }
            }
        }
        Csp.ok(CAPI.cryptReleaseContext(prov, 0), "release");
        long[] gone = {0};
        CAPI.cryptAcquireContext(gone, container, null, Csp.PROV_RSA_AES, Csp.CRYPT_DELETEKEYSET);
    }

    /**
     * A server that demands a client certificate (-Verify) gets ours, its
     * CertificateVerify signed by the key in our provider, in both versions;
     * the CA names of its request reach getIssuers. Freeing the credential
     * gives back the provider reference it took.
     */
    @Test
    void authenticatesWithAKeyOfOurProvider() throws Exception {
        String container = "tls-client-" + UUID.randomUUID();
        long[] prov = {clientKeyContainer(container)};
        byte[] cert = der(dir, "client");
        X509Certificate ca = (X509Certificate) CertificateFactory.getInstance("X.509")
                .generateCertificate(new ByteArrayInputStream(der(dir, "ca")));

        for (String version : new String[] {"-tls1_2", "-tls1_3"}) {
            try (Server server = Server.start(dir, "-WWW", "-Verify", "1", "-CAfile", "ca.pem", version)) {
                long[] cred = new long[2];
                assertEquals(0, CAPI.acquireCredentialsHandle(true, 0, null, 0, cert, cert.length, prov[0],
                        Csp.AT_KEYEXCHANGE, cred, true));
                try (Client c = new Client(cred, "localhost", server.port)) {
                    assertEquals(SEC_E_OK, c.handshake(), version);
                    long[] result = {1};
                    byte[][] issuers = CAPI.getIssuers(c.context, result);
                    assertEquals(0, result[0]);
                    assertEquals(1, issuers.length);
                    assertArrayEquals(ca.getSubjectX500Principal().getEncoded(), issuers[0]);
                    c.send("GET /ca.pem HTTP/1.0\r\n\r\n".getBytes(StandardCharsets.US_ASCII));
                    String reply = new String(c.receiveAll(), StandardCharsets.US_ASCII);
                    assertTrue(reply.startsWith("HTTP/1.0 200"), version + ": " + reply);
                }
                CAPI.freeCredentialsHandle(cred);
            }
        }
        // A server credential takes the same certificate and key; without a
        // certificate there is none.
        long[] server = new long[2];
        assertEquals(0, CAPI.acquireCredentialsHandle(false, 0, null, 0, cert, cert.length, prov[0],
                Csp.AT_KEYEXCHANGE, server, false));
        CAPI.freeCredentialsHandle(server);
        assertEquals(0x8009030E /* SEC_E_NO_CREDENTIALS */,
                CAPI.acquireCredentialsHandle(false, 0, null, 0, null, 0, 0, 0, server, false));
        // Nor with the key of another pair (and the refusal leaves nothing in
        // OpenSSL's error queue, which the test run checks).
        long other = Csp.newContainer(container + "-other");
        long[] otherKey = {0};
        Csp.ok(CAPI.cryptGenKey(other, Csp.AT_KEYEXCHANGE, 1024 << 16, otherKey), "another key");
        Csp.ok(CAPI.cryptDestroyKey(otherKey[0]), "destroy key");
        for (boolean client : new boolean[] {true, false}) {
            assertEquals(0x8009030E /* SEC_E_NO_CREDENTIALS */, CAPI.acquireCredentialsHandle(client, 0, null, 0,
                    cert, cert.length, other, Csp.AT_KEYEXCHANGE, server, false));
        }
        CAPI.cryptReleaseContext(other, 0);
        Csp.deleteContainer(container + "-other");
        // The credentials' references are gone: one release ends the context.
        Csp.ok(CAPI.cryptReleaseContext(prov[0], 0), "release");
        assertNotEquals(0, CAPI.cryptReleaseContext(prov[0], 0), "a second release finds no context");
        CAPI.cryptAcquireContext(prov, container, null, Csp.PROV_RSA_AES, Csp.CRYPT_DELETEKEYSET);
    }
}
