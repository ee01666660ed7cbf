package quill;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import java.io.BufferedReader;
import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * TLS through the bridge for the tests: SSPI constants, a client that drives
 * the natives over a socket, certificates made with the openssl command and
 * an `openssl s_server` on 127.0.0.1 started and stopped by the test.
 */
public final class Tls {
    private Tls() {}

    public static final int SEC_E_OK = 0;
    public static final int SEC_I_CONTINUE_NEEDED = 0x00090312;
    public static final int SEC_I_RENEGOTIATE = 0x00090321;
    public static final int SEC_I_INCOMPLETE_CREDENTIALS = 0x00090320;
    public static final int SEC_E_INVALID_HANDLE = 0x80090301;
    public static final int SEC_E_MESSAGE_ALTERED = 0x8009030F;
    public static final int SEC_E_INCOMPLETE_MESSAGE = 0x80090318;
    public static final int SEC_E_INTERNAL_ERROR = 0x80090304;
    public static final int SEC_E_INVALID_PARAMETER = 0x8009035D;
    public static final int SEC_E_UNTRUSTED_ROOT = 0x80090325;
    public static final int SEC_E_WRONG_PRINCIPAL = 0x80090322;
    public static final int SEC_E_CERT_EXPIRED = 0x80090328;
    public static final int SEC_E_ALGORITHM_MISMATCH = 0x80090331;
    /** What decryptMessage leaves in jResult at close-notify: it does not write it. */
    public static final long CLOSED = 0x7777;
    public static final int SP_PROT_TLS1_2_CLIENT = 0x800;
    public static final int SP_PROT_TLS1_3_CLIENT = 0x2000;
    public static final int SP_PROT_TLS1_1_CLIENT = 0x200;

    // ---- certificates ----

    /** Runs the openssl command in `dir` and fails the test if it fails. */
    public static String openssl(Path dir, String... args) throws Exception {
        List<String> cmd = new ArrayList<>();
        cmd.add("openssl");
        cmd.addAll(Arrays.asList(args));
        Process p = new ProcessBuilder(cmd).directory(dir.toFile()).redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(p.waitFor(60, TimeUnit.SECONDS) && p.exitValue() == 0, String.join(" ", cmd) + ": " + out);
        return out;
    }

    /**
     * A CA and certificates it signs, in PEM files under `dir`: ca, server
     * (localhost and 127.0.0.1), client.
     */
    public static void makeCertificates(Path dir) throws Exception {
        openssl(dir, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", "ca.key", "-out", "ca.pem",
                "-days", "30", "-subj", "/CN=Quill Test CA", "-addext", "basicConstraints=critical,CA:TRUE");
        issue(dir, "server", "/CN=localhost", "subjectAltName=DNS:localhost,IP:127.0.0.1", "30");
        issue(dir, "client", "/CN=Quill Test Client", "extendedKeyUsage=clientAuth", "30");
    }

    public static void issue(Path dir, String name, String subject, String ext, String days) throws Exception {
        openssl(dir, "req", "-newkey", "rsa:2048", "-nodes", "-keyout", name + ".key", "-out", name + ".csr",
                "-subj", subject);
        Files.writeString(dir.resolve(name + ".ext"), ext + "\n");
        openssl(dir, "x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                "-CAcreateserial", "-days", days, "-extfile", name + ".ext", "-out", name + ".pem");
    }

    /** The bytes of a PEM file's one object (a PKCS #8 key, a certificate). */
    public static byte[] pem(Path file) throws IOException {
        String text = Files.readString(file).replaceAll("-----[A-Z ]+-----", "").replaceAll("\\s", "");
        return java.util.Base64.getDecoder().decode(text);
    }

    public static byte[] der(Path dir, String name) throws Exception {
        openssl(dir, "x509", "-in", name + ".pem", "-outform", "DER", "-out", name + ".der");
        return Files.readAllBytes(dir.resolve(name + ".der"));
    }

    /** The JDK's own TLS server context with the server certificate and key of `dir`. */
    public static javax.net.ssl.SSLContext jdkServerContext(Path dir) throws Exception {
        openssl(dir, "pkcs12", "-export", "-in", "server.pem", "-inkey", "server.key", "-out", "server.p12",
                "-passout", "pass:changeit");
        java.security.KeyStore ks = java.security.KeyStore.getInstance("PKCS12");
        try (InputStream f = Files.newInputStream(dir.resolve("server.p12"))) {
            ks.load(f, "changeit".toCharArray());
        }
        javax.net.ssl.KeyManagerFactory kmf = javax.net.ssl.KeyManagerFactory
                .getInstance(javax.net.ssl.KeyManagerFactory.getDefaultAlgorithm());
        kmf.init(ks, "changeit".toCharArray());
        javax.net.ssl.SSLContext ctx = javax.net.ssl.SSLContext.getInstance("TLS");
        ctx.init(kmf.getKeyManagers(), null, null);
        return ctx;
    }

    // ---- openssl s_server ----

    /** An `openssl s_server` on 127.0.0.1; its output is collected line by line. */
    public static final class Server implements AutoCloseable {
        public final int port;
        final Process process;
        public final BlockingQueue<String> lines = new LinkedBlockingQueue<>();

        Server(int port, Process process) {
            this.port = port;
            this.process = process;
        }

        /** Starts s_server with `args` on a free port; waits until it accepts. */
        public static Server start(Path dir, String... args) throws Exception {
            for (int attempt = 0; attempt < 5; attempt++) {
                int port;
                try (ServerSocket probe = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
                    port = probe.getLocalPort();
                }
                List<String> cmd = new ArrayList<>(List.of("openssl", "s_server", "-accept", "127.0.0.1:" + port,
                        "-cert", "server.pem", "-key", "server.key", "-cert_chain", "ca.pem"));
                cmd.addAll(Arrays.asList(args));
                Process p = new ProcessBuilder(cmd).directory(dir.toFile()).redirectErrorStream(true).start();
                Server s = new Server(port, p);
                Thread reader = new Thread(() -> {
                    try (BufferedReader r = new BufferedReader(
                            new InputStreamReader(p.getInputStream(), StandardCharsets.ISO_8859_1))) {
                        for (String line; (line = r.readLine()) != null;) s.lines.add(line);
                    } catch (IOException e) {
                        // the process ended
                    }
                    s.lines.add("<eof>");
                });
                reader.setDaemon(true);
                reader.start();
                if (s.waitFor("ACCEPT")) return s;
                s.close();
            }
            fail("openssl s_server did not start");
            return null;
        }

        /** Waits (bounded) for a line containing `text`; false at the end of the output. */
        public boolean waitFor(String text) throws InterruptedException {
            return linesUntil(text) != null;
        }

        /** The lines before the one containing `text` (bounded wait), or null at the end of the output. */
        public List<String> linesUntil(String text) throws InterruptedException {
            List<String> seen = new ArrayList<>();
            for (long end = System.nanoTime() + TimeUnit.SECONDS.toNanos(60); System.nanoTime() < end;) {
                String line = lines.poll(100, TimeUnit.MILLISECONDS);
                if (line == null) continue;
                if (line.contains(text)) return seen;
                if (line.equals("<eof>")) return null;
                seen.add(line);
            }
            return null;
        }

        /** Types a command at the server's console. */
        public void command(String text) throws IOException {
            OutputStream in = process.getOutputStream();
            in.write(text.getBytes(StandardCharsets.US_ASCII));
            in.flush();
        }

        @Override
        public void close() throws InterruptedException {
            process.destroy();
            if (!process.waitFor(10, TimeUnit.SECONDS)) process.destroyForcibly().waitFor();
        }
    }

    // ---- the client ----

    /** A client credential; 0 protocols = the package's defaults. */
    public static long[] credential(int protocols, int[] ciphers, boolean autoValidation) {
        long[] cred = new long[2];
        int st = CAPI.acquireCredentialsHandle(true, protocols, ciphers, ciphers == null ? 0 : ciphers.length,
                null, 0, 0, 0, cred, autoValidation);
        assertEquals(0, st, "acquireCredentialsHandle: " + Integer.toHexString(st));
        return cred;
    }

    /** One TLS connection through the bridge. */
    public static final class Client implements AutoCloseable {
        public final Socket socket;
        final InputStream in;
        final OutputStream out;
        public final long[] context = new long[2];
        /** The credential of the next handshake call, and whether it adds ISC_REQ_USE_SUPPLIED_CREDS. */
        public long[] cred;
        public boolean useCreds;
        final String target;
        /** Received bytes not yet consumed, from index 0. */
        public byte[] buf = new byte[1 << 16];
        public int[] len = {0};
        /** How many bytes to receive at a time (0: whatever is available). */
        public int chunk;
        public long status;

        public Client(long[] cred, String target, int port) throws IOException {
            this.cred = cred;
            this.target = target;
            socket = new Socket(InetAddress.getLoopbackAddress(), port);
            socket.setSoTimeout(30000);
            in = socket.getInputStream();
            out = socket.getOutputStream();
        }

        /** Receives more bytes after the unconsumed ones; false at the end of the stream. */
        public boolean receive() throws IOException {
            if (len[0] == buf.length) buf = Arrays.copyOf(buf, buf.length * 2);
            int room = buf.length - len[0];
            int n = in.read(buf, len[0], chunk > 0 ? Math.min(chunk, room) : room);
            if (n < 0) return false;
            len[0] += n;
            return true;
        }

        /** Runs the handshake (or a renegotiation) to its end and returns the final status. */
        public long handshake() throws IOException {
            long[] result = new long[1];
            boolean first = context[0] == 0 && context[1] == 0;
            for (int round = 0; round < 100; round++) {
                byte[] token = CAPI.initializeSecurityContext(cred, context, target, false, useCreds,
                        first ? null : buf, len, result);
                first = false;
                if (token != null) out.write(token);
                status = result[0];
                if (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE) {
                    if (status == SEC_E_INCOMPLETE_MESSAGE || len[0] == 0) {
                        if (!receive()) return status;
                    }
                    continue;
                }
                return status;
            }
            fail("handshake did not end");
            return status;
        }

        /** Piece sizes that do not follow the records: a few bytes, just over one record, several, one byte. */
        public static final int[] AWKWARD = {5, 16384 + 13, 3 * 16400 + 7, 1};

        /** Sends `data` in the awkward pieces, one encryptMessage run per piece. */
        public void sendInPieces(byte[] data) throws IOException {
            for (int off = 0, i = 0; off < data.length; off += AWKWARD[i++ % AWKWARD.length])
                send(Arrays.copyOfRange(data, off, Math.min(data.length, off + AWKWARD[i % AWKWARD.length])));
        }

        /** GETs `path` from s_server -WWW, taking the input in awkward pieces; the whole reply. */
        public byte[] get(String path) throws IOException {
            send(("GET " + path + " HTTP/1.0\r\n\r\n").getBytes(StandardCharsets.US_ASCII));
            ByteArrayOutputStream all = new ByteArrayOutputStream();
            int i = 0;
            for (byte[] p;;) {
                chunk = AWKWARD[i++ % AWKWARD.length];
                if ((p = receiveRecord()) == null) return all.toByteArray();
                all.write(p);
            }
        }

        public void send(byte[] data) throws IOException {
            int[] off = {0};
            int[] left = {data.length};
            long[] result = new long[1];
            while (left[0] > 0) {
                byte[] record = CAPI.encryptMessage(context, data, off, left, result);
                assertEquals(0, result[0], "encryptMessage");
                out.write(record);
            }
        }

        /**
         * Decrypts one record's worth, receiving as needed: the plaintext
         * (possibly empty), or null at close-notify or the end of the stream.
         */
        public byte[] receiveRecord() throws IOException {
            long[] result = new long[1];
            for (;;) {
                if (len[0] > 0) {
                    result[0] = 0x7777;
                    byte[] plain = CAPI.decryptMessage(context, buf, len, result);
                    status = result[0];
                    if (status == 0x7777) return null; // close-notify: jResult untouched
                    if (status == SEC_E_OK || status == SEC_I_RENEGOTIATE) return plain == null ? new byte[0] : plain;
                    assertEquals(SEC_E_INCOMPLETE_MESSAGE, status, "decryptMessage");
                }
                if (!receive()) return null;
            }
        }

        /**
         * The status of the next decryptMessage that does not ask for more
         * bytes (receiving as needed); CLOSED at close-notify, which leaves
         * jResult as it was, and at the end of the stream.
         */
        public long nextStatus() throws IOException {
            long[] result = new long[1];
            for (;;) {
                if (len[0] > 0) {
                    result[0] = CLOSED;
                    CAPI.decryptMessage(context, buf, len, result);
                    if (result[0] != SEC_E_INCOMPLETE_MESSAGE) return status = result[0];
                }
                if (!receive()) return status = CLOSED;
            }
        }

        /** Everything up to close-notify or the end of the stream. */
        public byte[] receiveAll() throws IOException {
            ByteArrayOutputStream all = new ByteArrayOutputStream();
            for (byte[] p; (p = receiveRecord()) != null;) all.write(p);
            return all.toByteArray();
        }

        /** Sends our close-notify (the disconnect call of the handshake native). */
        public void disconnect() throws IOException {
            long[] result = new long[1];
            int[] none = {len[0]};
            byte[] token = CAPI.initializeSecurityContext(cred, context, target, true, false, buf, none, result);
            assertEquals(SEC_E_OK, result[0], "disconnect");
            assertEquals(len[0], none[0], "a disconnect leaves the input alone");
            assertNotNull(token);
            out.write(token);
        }

        @Override
        public void close() throws IOException {
            CAPI.deleteSecurityContext(context);
            socket.close();
        }
    }

    public static Path tempDir(String name) throws IOException {
        Path base = Path.of(System.getProperty("quill.tmp", System.getProperty("java.io.tmpdir")));
        Files.createDirectories(base);
        Path d = Files.createTempDirectory(base, name);
        d.toFile().deleteOnExit();
        return d;
    }

    static void deleteTree(File f) {
        File[] kids = f.listFiles();
        if (kids != null) for (File k : kids) deleteTree(k);
        f.delete();
    }
}
