package tour;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.BufferedReader;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.math.BigInteger;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.util.Comparator;
import java.util.concurrent.TimeUnit;
import java.nio.charset.StandardCharsets;
import java.security.KeyFactory;
import java.security.PublicKey;
import java.security.Signature;
import java.security.spec.RSAPublicKeySpec;
import java.util.Arrays;

import javax.crypto.Cipher;
import javax.crypto.spec.IvParameterSpec;
import javax.crypto.spec.SecretKeySpec;

import ru.Kestrel.Quill.KeyStore.MSStore;
import ru.Kestrel.Quill.KeyStore.PFXStore;
import ru.Kestrel.Quill.KeyStore.StoreCallbacks;
import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * Drives every working subsystem of the bridge against the CSP, as a user of
 * the Java provider would, and prints what each step did.
 */
public final class Tour {
    static final int PROV_RSA_AES = 24;
    static final int CRYPT_VERIFYCONTEXT = 0xF0000000;
    static final int CRYPT_NEWKEYSET = 0x8;
    static final int CRYPT_DELETEKEYSET = 0x10;
    static final int PP_NAME = 4;
    static final int PP_CONTAINER = 6;
    static final int PP_UNIQUE_CONTAINER = 36;
    static final int PP_ENUMALGS = 1;
    static final int CRYPT_FIRST = 1;
    static final int AT_SIGNATURE = 2;
    static final int CALG_SHA_256 = 0x800c;
    static final int CALG_AES_128 = 0x660e;
    static final int PUBLICKEYBLOB = 6;
    static final int PLAINTEXTKEYBLOB = 8;
    static final int KP_IV = 1;

    /** With -Dtour.keep=true the tour leaves its container and its "MY" entry in place. */
    static final boolean KEEP = Boolean.getBoolean("tour.keep");

    private static int step = 0;

    static void say(String what, Object... args) {
        System.out.printf("[%2d] %s%n", ++step, String.format(what, args));
    }

    static void check(int code, String what) {
        if (code != 0) {
            throw new IllegalStateException(what + " failed with 0x" + Integer.toHexString(code));
        }
    }

    static String cString(byte[] data, int len) {
        int n = 0;
        while (n < len && data[n] != 0) n++;
        return new String(data, 0, n, StandardCharsets.UTF_8);
    }

    static String provParam(long hProv, int param) {
        int[] len = {0};
        check(CAPI.cryptGetProvParam(hProv, param, null, len, 0), "size query of parameter " + param);
        byte[] data = new byte[len[0]];
        check(CAPI.cryptGetProvParam(hProv, param, data, len, 0), "parameter " + param);
        return cString(data, len[0]);
    }

    static String hex(byte[] b, int n) {
        StringBuilder sb = new StringBuilder();
        for (int i = 0; i < Math.min(n, b.length); i++) sb.append(String.format("%02x", b[i] & 0xff));
        return sb.toString();
    }

    static byte[] reversed(byte[] b) {
        byte[] r = new byte[b.length];
        for (int i = 0; i < b.length; i++) r[i] = b[b.length - 1 - i];
        return r;
    }

    static int le32(byte[] b, int off) {
        return (b[off] & 0xff) | (b[off + 1] & 0xff) << 8 | (b[off + 2] & 0xff) << 16 | (b[off + 3] & 0xff) << 24;
    }

    /** The public half of an exported RSA PUBLICKEYBLOB (little-endian modulus after a 20-byte header). */
    static PublicKey publicKeyOf(byte[] blob) throws Exception {
        int bits = le32(blob, 12);
        byte[] modulus = reversed(Arrays.copyOfRange(blob, 20, 20 + bits / 8));
        return KeyFactory.getInstance("RSA").generatePublic(
                new RSAPublicKeySpec(new BigInteger(1, modulus), BigInteger.valueOf(le32(blob, 16))));
    }

    /** Signs a message with a new container's signature key; the JDK verifies. */
    static void signatureTour(long hProv) throws Exception {
        long[] key = {0};
        check(CAPI.cryptGenKey(hProv, AT_SIGNATURE, 2048 << 16, key), "generating a signature key");
        say("generated a 2048-bit RSA signature key in the container");
        int[] len = {0};
        check(CAPI.cryptExportKey(key[0], 0, PUBLICKEYBLOB, 0, null, len, false), "public key size");
        byte[] blob = new byte[len[0]];
        check(CAPI.cryptExportKey(key[0], 0, PUBLICKEYBLOB, 0, blob, len, false), "exporting the public key");
        say("exported its public key as a %d-byte PUBLICKEYBLOB", len[0]);

        byte[] message = "Hello from the Quill bridge".getBytes(StandardCharsets.UTF_8);
        long[] hash = {0};
        check(CAPI.cryptCreateHash(hProv, CALG_SHA_256, 0, 0, hash), "creating a hash");
        check(CAPI.cryptHashData(hash[0], message, 0, message.length, 0), "hashing");
        int[] sigLen = {0};
        check(CAPI.cryptSignHash(hash[0], AT_SIGNATURE, null, 0, null, sigLen), "signature size");
        byte[] sig = new byte[sigLen[0]];
        check(CAPI.cryptSignHash(hash[0], AT_SIGNATURE, null, 0, sig, sigLen), "signing");
        check(CAPI.cryptDestroyHash(hash[0]), "destroying the hash");
        say("signed \"%s\" with SHA-256: %d bytes, %s...", new String(message, StandardCharsets.UTF_8),
                sigLen[0], hex(reversed(sig), 16));

        Signature jdk = Signature.getInstance("SHA256withRSA");
        jdk.initVerify(publicKeyOf(blob));
        jdk.update(message);
        boolean verified = jdk.verify(reversed(sig));
        say("the JDK's %s verifies the signature: %s", jdk.getProvider().getName(), verified);
        if (!verified) throw new IllegalStateException("the JDK refused the signature");
        check(CAPI.cryptDestroyKey(key[0]), "destroying the key");
    }

    /** Encrypts with an AES key through the bridge; the JDK decrypts. */
    static void cipherTour(long hProv) throws Exception {
        byte[] keyBytes = new byte[16];
        byte[] iv = new byte[16];
        check(CAPI.cryptGenRandom(hProv, 16, keyBytes), "drawing a key");
        check(CAPI.cryptGenRandom(hProv, 16, iv), "drawing an IV");
        say("drew 32 random bytes from the CSP for an AES-128 key and IV: %s", hex(keyBytes, 8) + "...");
        byte[] blob = new byte[12 + 16];
        blob[0] = PLAINTEXTKEYBLOB;
        blob[1] = 2;
        blob[4] = (byte) CALG_AES_128;
        blob[5] = (byte) (CALG_AES_128 >> 8);
        blob[8] = 16;
        System.arraycopy(keyBytes, 0, blob, 12, 16);
        long[] key = {0};
        check(CAPI.cryptImportKey(hProv, blob, blob.length, 0, 0, key, false), "importing the AES key");
        check(CAPI.cryptSetKeyParam(key[0], KP_IV, iv.clone(), 0), "setting the IV");
        byte[] message = "A secret for the JDK".getBytes(StandardCharsets.UTF_8);
        byte[] buf = Arrays.copyOf(message, message.length + 16);
        int[] len = {message.length};
        check(CAPI.cryptEncrypt(key[0], 0, true, 0, buf, len, buf.length), "encrypting");
        say("encrypted %d bytes with AES-128-CBC into %d bytes", message.length, len[0]);
        Cipher jdk = Cipher.getInstance("AES/CBC/PKCS5Padding");
        jdk.init(Cipher.DECRYPT_MODE, new SecretKeySpec(keyBytes, "AES"), new IvParameterSpec(iv));
        String plain = new String(jdk.doFinal(buf, 0, len[0]), StandardCharsets.UTF_8);
        say("the JDK decrypts it to \"%s\"", plain);
        check(CAPI.cryptDestroyKey(key[0]), "destroying the key");
    }

    /** The provider's algorithms, one PROV_ENUMALGS record at a time. */
    static void algorithmTour(long hProv) {
        StringBuilder names = new StringBuilder();
        for (int flags = CRYPT_FIRST;; flags = 0) {
            byte[] rec = new byte[32];
            int[] len = {32};
            int rc = CAPI.cryptGetProvParam(hProv, PP_ENUMALGS, rec, len, flags);
            if (rc == 259) break;
            check(rc, "algorithm enumeration");
            names.append(names.length() > 0 ? ", " : "")
                    .append(cString(Arrays.copyOfRange(rec, 12, 32), 20))
                    .append('/').append(le32(rec, 4));
        }
        say("the CSP's algorithms (name/bits): %s", names);
    }

    /**
     * A PFX file made by openssl goes through the key store natives: import,
     * sign with its key (the JDK verifies), store in "MY" with an alias and
     * the key, read "MY" back, export a PFX the JDK's PKCS12 key store opens.
     */
    static void storeTour(java.nio.file.Path pki) throws Exception {
        byte[] pfx = java.nio.file.Files.readAllBytes(pki.resolve("leaf.p12"));
        PFXStore imported = new PFXStore();
        check(imported.importPfx(pfx, pfx.length, "secret", 1), "importing the PFX");
        for (StoreCallbacks.Entry e : imported.entries) {
            StringBuilder chain = new StringBuilder();
            for (java.security.cert.X509Certificate c : e.chain) {
                chain.append(chain.length() > 0 ? " <- " : "").append(c.getSubjectX500Principal().getName());
            }
            say("imported %s entry \"%s\" in container \"%s\": %s", e.hasKey ? "key" : "certificate", e.alias,
                    e.sourceContainer, chain);
        }
        StoreCallbacks.Entry key = imported.entries.get(0);
        java.security.cert.X509Certificate cert = key.chain.get(0);
        byte[] message = "Signed with an imported key".getBytes(StandardCharsets.UTF_8);
        long[] hash = {0};
        check(CAPI.cryptCreateHash(key.hProv, CALG_SHA_256, 0, 0, hash), "creating a hash");
        check(CAPI.cryptHashData(hash[0], message, 0, message.length, 0), "hashing");
        int[] sigLen = {512};
        byte[] sig = new byte[512];
        check(CAPI.cryptSignHash(hash[0], key.keyFlags, null, 0, sig, sigLen), "signing");
        check(CAPI.cryptDestroyHash(hash[0]), "destroying the hash");
        Signature jdk = Signature.getInstance("SHA256withRSA");
        jdk.initVerify(cert.getPublicKey());
        jdk.update(message);
        boolean verified = jdk.verify(reversed(Arrays.copyOf(sig, sigLen[0])));
        say("signed with the imported key after the import's store was closed; the JDK verifies: %s", verified);
        if (!verified) throw new IllegalStateException("the JDK refused the signature");

        String alias = "tour-" + ProcessHandle.current().pid();
        byte[] der = cert.getEncoded();
        MSStore my = new MSStore();
        check(my.storeCertificate("MY", alias, der, der.length, key.hProv, key.hKey, 0), "storing in MY");
        MSStore readBack = new MSStore();
        check(readBack.readStore("MY", false), "reading MY");
        for (StoreCallbacks.Entry e : readBack.entries) {
            if (!alias.equals(e.alias)) continue;
            say("\"MY\" holds \"%s\" with %s, container \"%s\"", e.alias, e.hasKey ? "its key" : "no key",
                    e.container);
            if (e.hasKey) {
                CAPI.cryptDestroyKey(e.hKey);
                if (e.keyUsage == 1) CAPI.cryptReleaseContext(e.hProv, 0);
            }
        }

        long[] mem = {0};
        check(imported.createMemoryStore(mem, 0), "creating a memory store");
        check(my.storeCertificateByHandle(mem[0], alias, der, der.length, key.hProv, key.hKey, 0), "filling it");
        int[] len = {0};
        check(imported.exportPfx(mem[0], "tour", 4, null, len), "export size");
        byte[] out = new byte[len[0]];
        check(imported.exportPfx(mem[0], "tour", 4, out, len), "exporting");
        check(imported.closeMemoryStore(mem[0]), "closing the memory store");
        java.security.KeyStore p12 = java.security.KeyStore.getInstance("PKCS12");
        p12.load(new java.io.ByteArrayInputStream(out, 0, len[0]), "tour".toCharArray());
        say("exported a %d-byte PFX; the JDK's PKCS12 key store finds key entry \"%s\": %s", len[0], alias,
                p12.isKeyEntry(alias));

        if (!KEEP) check(my.removeCertificate("MY", alias, der, der.length), "removing from MY");
        check(CAPI.cryptDestroyKey(key.hKey), "destroying the key");
        check(CAPI.cryptReleaseContext(key.hProv, 0), "releasing the context");
        if (KEEP) {
            say("kept \"%s\" in \"MY\" with its key in container \"%s\"", alias, key.sourceContainer);
            return;
        }
        long[] h = {0};
        check(CAPI.cryptAcquireContext(h, key.sourceContainer, null, PROV_RSA_AES, CRYPT_DELETEKEYSET),
                "deleting the imported container");
        say("removed \"%s\" from \"MY\" and deleted the imported container", alias);
    }

    public static void main(String[] args) throws Exception {
        System.out.println("Quill bridge tour on " + System.getProperty("os.arch") + ", Java "
                + System.getProperty("java.version"));
        say("loaded quillnative; native handles are %d bytes wide", CAPI.getSizeOfHandle());

        for (int i = 0;; i++) {
            int[] type = {0};
            int[] len = {0};
            int rc = CAPI.cryptEnumProviders(i, 0, type, null, len);
            if (rc == 259) break;
            check(rc, "provider enumeration");
            byte[] name = new byte[len[0]];
            check(CAPI.cryptEnumProviders(i, 0, type, name, len), "provider enumeration");
            say("provider %d: \"%s\" (type %d)", i, cString(name, len[0]), type[0]);
        }

        String container = "tour-" + ProcessHandle.current().pid();
        long[] hProv = {0};
        check(CAPI.cryptAcquireContext(hProv, container, null, PROV_RSA_AES, CRYPT_NEWKEYSET),
                "creating container");
        say("created key container \"%s\" (handle 0x%x)", container, hProv[0]);
        say("the CSP reports container \"%s\", unique name %s", provParam(hProv[0], PP_CONTAINER),
                provParam(hProv[0], PP_UNIQUE_CONTAINER));
        signatureTour(hProv[0]);
        check(CAPI.cryptReleaseContext(hProv[0], 0), "releasing the context");

        long[] verify = {0};
        check(CAPI.cryptAcquireContext(verify, null, null, PROV_RSA_AES, CRYPT_VERIFYCONTEXT), "verify context");
        algorithmTour(verify[0]);
        cipherTour(verify[0]);
        check(CAPI.cryptReleaseContext(verify[0], 0), "releasing the verify context");
        GostTour.run();

        if (KEEP) {
            say("kept container \"%s\" with its signature key", container);
        } else {
            check(CAPI.cryptAcquireContext(hProv, container, null, PROV_RSA_AES, CRYPT_DELETEKEYSET),
                    "deleting container");
            int again = CAPI.cryptAcquireContext(hProv, container, null, PROV_RSA_AES, 0);
            say("deleted the container; opening it again gives 0x%x (NTE_BAD_KEYSET)", again);
        }

        if (System.getProperty("tour.pki") != null) {
            storeTour(java.nio.file.Path.of(System.getProperty("tour.pki")));
            GostTour.pfx(java.nio.file.Path.of(System.getProperty("tour.pki")));
        }
        tlsTour();
        gostTlsTour();
        String pki = System.getProperty("tour.pki");
        JcaTour.run(pki == null ? null : java.nio.file.Path.of(pki));

        System.out.println("Tour complete.");
    }

    static final int SP_PROT_TLS1_3_CLIENT = 0x2000;
    static final int SP_PROT_TLS1_2_CLIENT = 0x800;
    static final int ALG_KUZNYECHIK = 0x6631;  // the cipher of the Kuznyechik suite
    static final int SEC_I_CONTINUE_NEEDED = 0x00090312;
    static final int SEC_E_INCOMPLETE_MESSAGE = 0x80090318;

    static void run(Path dir, String... cmd) throws Exception {
        Process p = new ProcessBuilder(cmd).directory(dir.toFile()).redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        if (!p.waitFor(60, TimeUnit.SECONDS) || p.exitValue() != 0)
            throw new IllegalStateException(String.join(" ", cmd) + ": " + out);
    }

    /** One HTTP GET over TLS through the bridge; returns the reply. */
    static byte[] fetch(long[] cred, int port, String path, boolean describe) throws Exception {
        try (Socket socket = new Socket(InetAddress.getLoopbackAddress(), port)) {
            socket.setSoTimeout(30000);
            InputStream in = socket.getInputStream();
            OutputStream out = socket.getOutputStream();
            long[] context = new long[2];
            long[] result = new long[1];
            byte[] buf = new byte[1 << 16];
            int[] len = {0};
            byte[] token = CAPI.initializeSecurityContext(cred, context, "localhost", false, false, null, len, result);
            for (;;) {
                if (token != null) out.write(token);
                if (result[0] != SEC_I_CONTINUE_NEEDED && result[0] != SEC_E_INCOMPLETE_MESSAGE) break;
                if (result[0] == SEC_E_INCOMPLETE_MESSAGE || len[0] == 0) {
                    int n = in.read(buf, len[0], buf.length - len[0]);
                    if (n < 0) throw new IllegalStateException("the server closed during the handshake");
                    len[0] += n;
                }
                token = CAPI.initializeSecurityContext(cred, context, "localhost", false, false, buf, len, result);
            }
            if (result[0] != 0) throw new IllegalStateException("handshake failed: 0x" + Long.toHexString(result[0]));
            byte[] request = ("GET " + path + " HTTP/1.0\r\n\r\n").getBytes(StandardCharsets.US_ASCII);
            int[] off = {0};
            int[] left = {request.length};
            while (left[0] > 0) out.write(CAPI.encryptMessage(context, request, off, left, result));
            ByteArrayOutputStream reply = new ByteArrayOutputStream();
            for (;;) {
                result[0] = 1;
                byte[] plain = len[0] > 0 ? CAPI.decryptMessage(context, buf, len, result) : null;
                if (result[0] == 1 && len[0] == 0 && plain == null && reply.size() > 0) break; // close-notify
                if (plain != null) reply.write(plain);
                if (result[0] == SEC_E_INCOMPLETE_MESSAGE || len[0] == 0) {
                    int n = in.read(buf, len[0], buf.length - len[0]);
                    if (n < 0) break;
                    len[0] += n;
                }
            }
            int[] protocol = {0};
            int[] suite = {0};
            check(CAPI.getCipherInfo(context, protocol, suite), "cipher info");
            int[] reconnect = {0};
            byte[] id = CAPI.getSessionInfo(context, reconnect, result);
            if (describe) {
                say("TLS: protocol 0x%x (%s), cipher suite 0x%04x (%s)", protocol[0],
                        protocol[0] == SP_PROT_TLS1_3_CLIENT ? "TLS 1.3"
                                : protocol[0] == SP_PROT_TLS1_2_CLIENT ? "TLS 1.2" : "other",
                        suite[0], SUITES.getOrDefault(suite[0], "?"));
                byte[][] chain = CAPI.getRemoteCertificates(context, result);
                if (chain != null && chain.length > 0) {
                    X509Certificate leaf = (X509Certificate) CertificateFactory.getInstance("X.509")
                            .generateCertificate(new ByteArrayInputStream(chain[0]));
                    say("TLS: server certificate subject \"%s\" (%d in the chain)",
                            leaf.getSubjectX500Principal().getName(), chain.length);
                } else {
                    say("TLS: no server certificate context (status 0x%x)", result[0]);
                }
            }
            say("TLS: connection %s, session id %s", reconnect[0] == 1 ? "resumed" : "new",
                    id == null ? "-" : hex(id, 8) + "...");
            CAPI.deleteSecurityContext(context);
            return reply.toByteArray();
        }
    }

    /** Reads the process's output until a line holds {@code text} (the server listens). */
    static void waitFor(Process p, String text) throws Exception {
        BufferedReader lines = new BufferedReader(new InputStreamReader(p.getInputStream()));
        for (String line; (line = lines.readLine()) != null && !line.contains(text);) {
            // not yet
        }
    }

    static final java.util.Map<Integer, String> SUITES = java.util.Map.of(0x1301, "TLS_AES_128_GCM_SHA256",
            0x1302, "TLS_AES_256_GCM_SHA384", 0x1303, "TLS_CHACHA20_POLY1305_SHA256",
            0xC100, "TLS_GOSTR341112_256_WITH_KUZNYECHIK_CTR_OMAC",
            0xC101, "TLS_GOSTR341112_256_WITH_MAGMA_CTR_OMAC",
            0xC102, "TLS_GOSTR341112_256_WITH_28147_CNT_IMIT");

    /** Fetches a page twice over TLS 1.3 from a local openssl s_server -WWW. */
    static void tlsTour() throws Exception {
        serveAndFetch("TLS 1.3", new String[] {"-newkey", "rsa:2048"}, new String[] {"-tls1_3"},
                SP_PROT_TLS1_3_CLIENT, null);
    }

    /**
     * Fetches a page twice over TLS 1.2 with the Kuznyechik suite from an
     * s_server with the GOST engine and a GOST R 34.10-2012 certificate.
     */
    static void gostTlsTour() throws Exception {
        serveAndFetch("TLS 1.2 with the GOST suite Kuznyechik",
                new String[] {"-engine", "gost", "-newkey", "gost2012_256", "-pkeyopt", "paramset:A"},
                new String[] {"-engine", "gost", "-tls1_2"}, 0, new int[] {ALG_KUZNYECHIK});
    }

    /**
     * A self-signed certificate made with {@code keyArgs}, an s_server -WWW
     * started with {@code serverArgs}, a client credential for the protocols
     * and cipher algorithms given, and two GETs (the second resumes).
     */
    static void serveAndFetch(String what, String[] keyArgs, String[] serverArgs, int protocols, int[] ciphers)
            throws Exception {
        Path dir = Files.createTempDirectory("quill-tour-tls");
        Process server = null;
        try {
            java.util.List<String> req = new java.util.ArrayList<>(java.util.List.of("openssl", "req", "-x509"));
            req.addAll(java.util.List.of(keyArgs));
            req.addAll(java.util.List.of("-nodes", "-keyout", "key.pem", "-out", "cert.pem", "-days", "1", "-subj",
                    "/CN=localhost/O=Quill Tour", "-addext", "subjectAltName=DNS:localhost"));
            try {
                run(dir, req.toArray(new String[0]));
            } catch (IllegalStateException e) {
                say("TLS: no %s here: the openssl command cannot make its certificate", what);
                return;
            }
            Files.writeString(dir.resolve("index.html"), "<html><body>Hello from s_server</body></html>\n");
            int port;
            try (ServerSocket probe = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
                port = probe.getLocalPort();
            }
            java.util.List<String> cmd = new java.util.ArrayList<>(java.util.List.of("openssl", "s_server",
                    "-accept", "127.0.0.1:" + port, "-cert", "cert.pem", "-key", "key.pem", "-WWW"));
            cmd.addAll(java.util.List.of(serverArgs));
            server = new ProcessBuilder(cmd).directory(dir.toFile()).redirectErrorStream(true).start();
            waitFor(server, "ACCEPT");
            long[] cred = new long[2];
            check(CAPI.acquireCredentialsHandle(true, protocols, ciphers, ciphers == null ? 0 : ciphers.length,
                    null, 0, 0, 0, cred, false), "TLS credentials for " + what);
            say("TLS: client credential for %s (handle pair %x/%x), s_server -WWW on 127.0.0.1:%d", what, cred[0],
                    cred[1], port);
            String reply = new String(fetch(cred, port, "/index.html", true), StandardCharsets.UTF_8);
            say("TLS: GET /index.html -> \"%s\"", reply.substring(reply.indexOf("<html>")).trim());
            fetch(cred, port, "/index.html", false);
            CAPI.freeCredentialsHandle(cred);
        } finally {
            if (server != null) {
                server.destroy();
                server.waitFor(10, TimeUnit.SECONDS);
            }
            try (var files = Files.walk(dir)) {
                files.sorted(Comparator.reverseOrder()).forEach(f -> f.toFile().delete());
            }
        }
    }
}
