package tour;

import java.io.InputStream;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.URI;
import java.net.http.HttpClient;
import java.net.http.HttpRequest;
import java.net.http.HttpResponse;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyPair;
import java.security.KeyPairGenerator;
import java.security.KeyStore;
import java.security.MessageDigest;
import java.security.PrivateKey;
import java.security.Security;
import java.security.Signature;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.util.Collections;
import java.util.concurrent.TimeUnit;

import javax.crypto.Cipher;
import javax.crypto.spec.IvParameterSpec;
import javax.crypto.spec.SecretKeySpec;
import javax.net.ssl.SSLContext;
import javax.net.ssl.TrustManagerFactory;

import org.bouncycastle.jce.provider.BouncyCastleProvider;

import quill.jca.QuillProvider;

/**
 * The tour through the JCA only: the provider "Quill" added like any other,
 * then standard names for keys, signatures, digests, ciphers, key stores and
 * an HttpClient over its TLS.
 */
final class JcaTour {
    private JcaTour() {}

    static void run(Path pki) throws Exception {
        Security.addProvider(new QuillProvider());
        Tour.say("JCA: added provider \"%s\" (%d services)", Security.getProvider("Quill").getName(),
                Security.getProvider("Quill").getServices().size());
        byte[] message = "Signed through the JCA".getBytes(StandardCharsets.UTF_8);

        KeyPairGenerator g = KeyPairGenerator.getInstance("RSA", "Quill");
        g.initialize(2048);
        KeyPair pair = g.generateKeyPair();
        Signature s = Signature.getInstance("SHA256withRSA", "Quill");
        s.initSign(pair.getPrivate());
        s.update(message);
        byte[] sig = s.sign();
        Signature jdk = Signature.getInstance("SHA256withRSA", "SunRsaSign");
        jdk.initVerify(pair.getPublic());
        jdk.update(message);
        Tour.say("JCA: KeyPairGenerator RSA made %s; SHA256withRSA signed, SunRsaSign verifies: %s",
                pair.getPrivate(), jdk.verify(sig));

        g = KeyPairGenerator.getInstance("ECGOST3410-2012", "Quill");
        g.initialize(256);
        pair = g.generateKeyPair();
        s = Signature.getInstance("GOST3411-2012-256withECGOST3410-2012-256", "Quill");
        s.initSign(pair.getPrivate());
        s.update(message);
        sig = s.sign();
        BouncyCastleProvider bc = new BouncyCastleProvider();
        Signature theirs = Signature.getInstance("GOST3411-2012-256withECGOST3410-2012-256", bc);
        theirs.initVerify(java.security.KeyFactory.getInstance("ECGOST3410-2012", bc)
                .generatePublic(new java.security.spec.X509EncodedKeySpec(pair.getPublic().getEncoded())));
        theirs.update(message);
        Tour.say("JCA: a GOST R 34.10-2012 pair in a container; BouncyCastle verifies its signature: %s",
                theirs.verify(sig));

        Tour.say("JCA: MessageDigest SHA-256 %s..., GOST3411-2012-256 %s...",
                Tour.hex(MessageDigest.getInstance("SHA-256", "Quill").digest(message), 8),
                Tour.hex(MessageDigest.getInstance("GOST3411-2012-256", "Quill").digest(message), 8));

        byte[] key = new byte[16], iv = new byte[16];
        java.security.SecureRandom.getInstance("CSP", "Quill").nextBytes(key);
        Cipher c = Cipher.getInstance("AES/CBC/PKCS5Padding", "Quill");
        c.init(Cipher.ENCRYPT_MODE, new SecretKeySpec(key, "AES"), new IvParameterSpec(iv));
        byte[] ct = c.doFinal(message);
        Cipher sun = Cipher.getInstance("AES/CBC/PKCS5Padding", "SunJCE");
        sun.init(Cipher.DECRYPT_MODE, new SecretKeySpec(key, "AES"), new IvParameterSpec(iv));
        Tour.say("JCA: AES/CBC/PKCS5Padding with a key from SecureRandom \"CSP\"; SunJCE decrypts \"%s\"",
                new String(sun.doFinal(ct), StandardCharsets.UTF_8));

        if (pki != null) storeTour(pki, message);
        tlsTour();
    }

    /**
     * A PFX file as a KeyStore, its key entry copied into MY, listed and removed. Its certificate
     * is not the one the tour's own "MY" step uses: a store holds one copy of a certificate, so a
     * second entry with the same certificate would replace the tour's (kept with --keep).
     */
    static void storeTour(Path pki, byte[] message) throws Exception {
        KeyStore pfx = KeyStore.getInstance("PFX");
        try (InputStream in = Files.newInputStream(pki.resolve("pkup.p12"))) {
            pfx.load(in, "secret".toCharArray());
        }
        Tour.say("JCA: KeyStore PFX of openssl's pkup.p12: %s", Collections.list(pfx.aliases()));
        String alias = "jca-tour-" + ProcessHandle.current().pid();
        KeyStore my = KeyStore.getInstance("MY");
        my.load(null, null);
        my.setKeyEntry(alias, pfx.getKey("pkup", null), null, pfx.getCertificateChain("pkup"));
        KeyStore again = KeyStore.getInstance("MY");
        again.load(null, null);
        Signature s = Signature.getInstance("SHA256withRSA");
        s.initSign((PrivateKey) again.getKey(alias, null));
        s.update(message);
        byte[] sig = s.sign();
        Signature jdk = Signature.getInstance("SHA256withRSA", "SunRsaSign");
        jdk.initVerify(again.getCertificate(alias).getPublicKey());
        jdk.update(message);
        Tour.say("JCA: KeyStore MY holds key entry \"%s\"; its key signs through %s, SunRsaSign verifies: %s",
                alias, s.getProvider().getName(), jdk.verify(sig));
        again.deleteEntry(alias);
        Tour.say("JCA: deleted \"%s\" from MY with its container", alias);
    }

    /** HttpClient with the provider's SSLContext against s_server, trusting its certificate by PKIX. */
    static void tlsTour() throws Exception {
        Path dir = Files.createTempDirectory("quill-tour-jca");
        Process server = null;
        try {
            Tour.run(dir, "openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "key.pem", "-out",
                    "cert.pem", "-days", "1", "-subj", "/CN=localhost", "-addext", "subjectAltName=DNS:localhost");
            Files.writeString(dir.resolve("hello.txt"), "Hello over the JCA's TLS\n");
            int port;
            try (ServerSocket probe = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
                port = probe.getLocalPort();
            }
            server = new ProcessBuilder("openssl", "s_server", "-accept", "127.0.0.1:" + port, "-cert", "cert.pem",
                    "-key", "key.pem", "-WWW").directory(dir.toFile()).redirectErrorStream(true).start();
            Tour.waitFor(server, "ACCEPT");
            KeyStore trust = KeyStore.getInstance("PKCS12");
            trust.load(null, null);
            try (InputStream in = Files.newInputStream(dir.resolve("cert.pem"))) {
                trust.setCertificateEntry("server", (X509Certificate) CertificateFactory.getInstance("X.509")
                        .generateCertificate(in));
            }
            TrustManagerFactory tmf = TrustManagerFactory.getInstance("PKIX");
            tmf.init(trust);
            SSLContext ctx = SSLContext.getInstance("TLS", "Quill");
            ctx.init(null, tmf.getTrustManagers(), null);
            HttpClient client = HttpClient.newBuilder().sslContext(ctx).build();
            HttpResponse<String> r = client.send(HttpRequest.newBuilder(URI.create("https://localhost:" + port
                    + "/hello.txt")).build(), HttpResponse.BodyHandlers.ofString());
            Tour.say("JCA: HttpClient over SSLContext TLS of Quill (%s, %s): %d \"%s\"",
                    r.sslSession().get().getProtocol(), r.sslSession().get().getCipherSuite(), r.statusCode(),
                    r.body().trim());
        } finally {
            if (server != null) {
                server.destroy();
                server.waitFor(10, TimeUnit.SECONDS);
            }
            try (var files = Files.walk(dir)) {
                files.sorted(java.util.Comparator.reverseOrder()).forEach(f -> f.toFile().delete());
            }
        }
    }
}
