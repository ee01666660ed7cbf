package quill;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quill.Tls.Server;
import static quill.Tls.issue;
import static quill.Tls.jdkServerContext;
import static quill.Tls.makeCertificates;
import static quill.Tls.openssl;
import static quill.Tls.tempDir;

import java.io.ByteArrayInputStream;
import java.io.FileInputStream;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.Socket;
import java.net.URI;
import java.net.URL;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyStore;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.util.Random;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;

import javax.net.ssl.HttpsURLConnection;
import javax.net.ssl.KeyManagerFactory;
import javax.net.ssl.SSLContext;
import javax.net.ssl.SSLServerSocket;
import javax.net.ssl.SSLSocket;
import javax.net.ssl.TrustManagerFactory;

import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;

import quill.jca.TlsSession;

/**
 * The provider's SSLContext under HttpClient, HttpsURLConnection and plain
 * sockets, against `openssl s_server` and the JDK's own TLS server; trust
 * through the CSP's ROOT store or the JDK's PKIX trust manager.
 */
class JcaTlsTest {
    static Path dir;
    static byte[] page;

    @BeforeAll
    static void certificates() throws Exception {
        dir = tempDir("jcatls");
        makeCertificates(dir);
        issue(dir, "expired", "/CN=localhost", "subjectAltName=DNS:localhost", "-1");
        issue(dir, "other", "/CN=other.example", "subjectAltName=DNS:other.example", "30");
        openssl(dir, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "stranger.key", "-out",
                "stranger.pem", "-days", "30", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost");
        page = new byte[200000];
        new Random(9).nextBytes(page);
        Files.write(dir.resolve("page.bin"), page);
        Tls.der(dir, "ca");
        TlsCertTest.certStore("add", dir.resolve("ca.der"));
    }

    @AfterAll
    static void untrust() throws Exception {
        TlsCertTest.certStore("remove", dir.resolve("ca.der"));
    }

    static SSLContext context(boolean pkix) throws Exception {
        SSLContext ctx = SSLContext.getInstance("TLS", JcaTest.Q);
        TrustManagerFactory tmf = null;
        if (pkix) {
            KeyStore trust = KeyStore.getInstance("PKCS12");
            trust.load(null, null);
            try (InputStream in = Files.newInputStream(dir.resolve("ca.pem"))) {
                trust.setCertificateEntry("ca", CertificateFactory.getInstance("X.509").generateCertificate(in));
            }
            tmf = TrustManagerFactory.getInstance("PKIX");
            tmf.init(trust);
        }
        ctx.init(null, tmf == null ? null : tmf.getTrustManagers(), null);
        return ctx;
    }

    static HttpResponse<byte[]> get(SSLContext ctx, int port) throws Exception {
        HttpClient client = HttpClient.newBuilder().sslContext(ctx).build();
        HttpRequest req = HttpRequest.newBuilder(URI.create("https://localhost:" + port + "/page.bin")).build();
        return client.send(req, HttpResponse.BodyHandlers.ofByteArray());
    }

    /**
     * HttpClient fetches a page in TLS 1.2 and 1.3, trusting through the ROOT
     * store and through the JDK's trust manager; the session names the
     * version.
     */
    @Test
    void httpClientFetchesInBothVersions() throws Exception {
        for (String version : new String[] {"-tls1_2", "-tls1_3"}) {
            try (Server server = Server.start(dir, "-WWW", version)) {
                for (boolean pkix : new boolean[] {false, true}) {
                    HttpResponse<byte[]> r = get(context(pkix), server.port);
                    assertEquals(200, r.statusCode());
                    assertArrayEquals(page, r.body(), version + (pkix ? " PKIX" : " ROOT"));
                    assertEquals(version.equals("-tls1_2") ? "TLSv1.2" : "TLSv1.3", r.sslSession().get().getProtocol());
                }
            }
        }
    }

    /**
     * An untrusted root, an expired certificate and a wrong name are refused,
     * by the package (the SSPI status in the message) and by the JDK's trust
     * manager.
     */
    @Tag("one-width")
    @Test
    void refusesUntrustedExpiredAndWronglyNamedServers() throws Exception {
        String[][] bad = {{"stranger", "SEC_E_UNTRUSTED_ROOT"}, {"expired", "SEC_E_CERT_EXPIRED"},
            {"other", "SEC_E_WRONG_PRINCIPAL"}};
        for (String[] b : bad) {
            try (Server server = Server.start(dir, "-WWW", "-cert", b[0] + ".pem", "-key", b[0] + ".key")) {
                for (boolean pkix : new boolean[] {false, true}) {
                    Exception e = assertThrows(javax.net.ssl.SSLHandshakeException.class,
                            () -> get(context(pkix), server.port), b[0]);
                    if (!pkix) assertTrue(e.getMessage().contains(b[1]), b[0] + ": " + e.getMessage());
                }
            }
        }
    }

    /**
     * A server that demands a client certificate gets one whose key sits in
     * a container: from "MY" when the context has no key manager, or from a
     * caller's key manager over a software key; without one the server refuses.
     */
    @Test
    void clientCertificateFromMyOrTheCallersKeyManager() throws Exception {
        openssl(dir, "pkcs12", "-export", "-in", "client.pem", "-inkey", "client.key", "-certfile", "ca.pem",
                "-name", "client", "-out", "client.p12", "-passout", "pass:changeit");
        KeyStore soft = KeyStore.getInstance("PKCS12");
        try (FileInputStream f = new FileInputStream(dir.resolve("client.p12").toFile())) {
            soft.load(f, "changeit".toCharArray());
        }
        KeyManagerFactory kmf = KeyManagerFactory.getInstance("SunX509");
        kmf.init(soft, "changeit".toCharArray());
        SSLContext withKm = SSLContext.getInstance("TLS", JcaTest.Q);
        withKm.init(kmf.getKeyManagers(), null, null);
        String alias = Csp.uniqueName("tls-client");
        KeyStore my = KeyStore.getInstance("MY", JcaTest.Q);
        my.load(null, null);
        try (Server server = Server.start(dir, "-WWW", "-Verify", "1", "-CAfile", "ca.pem")) {
            assertThrows(java.io.IOException.class, () -> get(context(false), server.port), "no certificate");
            my.setKeyEntry(alias, soft.getKey("client", "changeit".toCharArray()), null,
                    soft.getCertificateChain("client"));
            for (SSLContext ctx : new SSLContext[] {context(false), withKm}) {
                HttpResponse<byte[]> r = get(ctx, server.port);
                assertArrayEquals(page, r.body());
                assertEquals("CN=Quill Test Client",
                        ((X509Certificate) r.sslSession().get().getLocalCertificates()[0]).getSubjectX500Principal()
                                .getName());
            }
        } finally {
            my.deleteEntry(alias);
        }
    }

    /**
     * HttpsURLConnection through the socket factory, and sockets of one
     * context: the second connection to a target resumes the session.
     */
    @Tag("one-width")
    @Test
    void httpsUrlConnectionAndResumption() throws Exception {
        SSLContext ctx = context(false);
        for (String version : new String[] {"-tls1_2", "-tls1_3"}) {
            try (Server server = Server.start(dir, "-WWW", version)) {
                HttpsURLConnection c = (HttpsURLConnection) new URL("https://localhost:" + server.port + "/page.bin")
                        .openConnection();
                c.setSSLSocketFactory(ctx.getSocketFactory());
                try (InputStream in = c.getInputStream()) {
                    assertEquals("CN=localhost", ((X509Certificate) c.getServerCertificates()[0])
                            .getSubjectX500Principal().getName());
                    assertArrayEquals(page, in.readAllBytes(), version);
                }
                boolean[] resumed = new boolean[2];
                SSLContext fresh = context(false);
                for (int i = 0; i < 2; i++) {
                    try (SSLSocket s = (SSLSocket) fresh.getSocketFactory().createSocket("localhost", server.port)) {
                        s.getOutputStream().write("GET /page.bin HTTP/1.0\r\n\r\n".getBytes(StandardCharsets.US_ASCII));
                        s.getInputStream().readAllBytes();  // TLS 1.3 tickets come after the handshake
                        resumed[i] = ((TlsSession) s.getSession()).isResumed();
                    }
                }
                assertTrue(!resumed[0] && resumed[1], version + ": resumed on the second connection");
            }
        }
    }

    /**
     * Against the JDK's TLS server: data both ways, and close-notify both
     * ways (the JDK's reader sees ours as the end of the stream, ours sees
     * the JDK's).
     */
    @Tag("one-width")
    @Test
    void exchangesAndClosesWithTheJdkServer() throws Exception {
        SSLContext jdk = jdkServerContext(dir);
        try (SSLServerSocket ss = (SSLServerSocket) jdk.getServerSocketFactory().createServerSocket(0, 1,
                InetAddress.getLoopbackAddress())) {
            // First our close-notify ends the JDK's stream, then the JDK's ends ours.
            CompletableFuture<String> served = CompletableFuture.supplyAsync(() -> {
                StringBuilder seen = new StringBuilder();
                for (int i = 0; i < 2; i++) {
                    try (SSLSocket s = (SSLSocket) ss.accept()) {
                        s.setSoTimeout(30000);
                        seen.append(new String(s.getInputStream().readNBytes(5), StandardCharsets.US_ASCII));
                        s.getOutputStream().write(page);
                        s.getOutputStream().flush();
                        seen.append(i == 0 ? " " + s.getInputStream().read() + " " : "");
                    } catch (Exception e) {
                        seen.append(e);
                    }
                }
                return seen.toString();
            });
            SSLContext ours = context(false);
            for (int i = 0; i < 2; i++) {
                Socket plain = new Socket(InetAddress.getLoopbackAddress(), ss.getLocalPort());
                try (SSLSocket s = (SSLSocket) ours.getSocketFactory().createSocket(plain, "localhost",
                        ss.getLocalPort(), true)) {
                    s.getOutputStream().write("hello".getBytes(StandardCharsets.US_ASCII));
                    assertArrayEquals(page, i == 0 ? s.getInputStream().readNBytes(page.length)
                            : s.getInputStream().readAllBytes(), "connection " + i);
                }
            }
            assertEquals("hello -1 hello", served.get(30, TimeUnit.SECONDS));
        }
    }
}
