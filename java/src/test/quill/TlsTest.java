package quill;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quill.Tls.*;

import java.io.FileInputStream;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetAddress;
import java.nio.charset.StandardCharsets;
import java.security.KeyStore;
import java.util.Map;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.TimeUnit;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.Random;

import javax.net.ssl.KeyManagerFactory;
import javax.net.ssl.SSLContext;
import javax.net.ssl.SSLServerSocket;
import javax.net.ssl.SSLSocket;

import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/** TLS through the bridge against `openssl s_server`. */
class TlsTest {
    static Path dir;
    static byte[] page;

    @BeforeAll
    static void certificates() throws Exception {
        dir = tempDir("tls");
        makeCertificates(dir);
        page = new byte[1 << 20];
        new Random(7).nextBytes(page);
        Files.write(dir.resolve("page.bin"), page);
    }

    static byte[] body(byte[] reply) {
        String text = new String(reply, StandardCharsets.ISO_8859_1);
        int at = text.indexOf("\r\n\r\n");
        assertTrue(text.startsWith("HTTP/1.0 200"), text.substring(0, Math.min(40, text.length())));
        return Arrays.copyOfRange(reply, at + 4, reply.length);
    }

    /**
     * A request and a 1 MiB reply in both protocol versions, the input
     * received in awkward pieces: handshake flights a few bytes at a time,
     * records as a header alone, one and a half records, many at once.
     */
    @Test
    void exchangesWithOpensslInBothVersions() throws Exception {
        for (String version : new String[] {"-tls1_2", "-tls1_3"}) {
            try (Server server = Server.start(dir, "-WWW", version)) {
                long[] cred = credential(0, null, false);
                try (Client c = new Client(cred, "localhost", server.port)) {
                    c.chunk = 97;
                    assertEquals(SEC_E_OK, c.handshake(), version);
                    int[] protocol = {0};
                    int[] suite = {0};
                    assertEquals(0, CAPI.getCipherInfo(c.context, protocol, suite));
                    assertEquals(version.equals("-tls1_2") ? SP_PROT_TLS1_2_CLIENT : SP_PROT_TLS1_3_CLIENT,
                            protocol[0]);
                    assertArrayEquals(page, body(c.get("/page.bin")), version);
                    assertEquals(0, c.len[0], "close-notify consumes the input");
                }
                CAPI.freeCredentialsHandle(cred);
            }
        }
    }

    /** The second connection of a credential to the same target resumes the session. */
    @Test
    void resumesFromTheCredentialsCache() throws Exception {
        for (String version : new String[] {"-tls1_2", "-tls1_3"}) {
            try (Server server = Server.start(dir, "-WWW", version)) {
                long[] cred = credential(0, null, false);
                byte[][] ids = new byte[2][];
                int[] reconnect = {-1};
                for (int i = 0; i < 2; i++) {
                    try (Client c = new Client(cred, "localhost", server.port)) {
                        assertEquals(SEC_E_OK, c.handshake());
                        long[] result = {1};
                        ids[i] = CAPI.getSessionInfo(c.context, reconnect, result);
                        assertEquals(0, result[0]);
                        assertEquals(i, reconnect[0], version + " connection " + i);
                        c.send("GET /page.bin HTTP/1.0\r\n\r\n".getBytes(StandardCharsets.US_ASCII));
                        c.receiveAll(); // TLS 1.3 tickets arrive after the handshake
                    }
                }
                if (version.equals("-tls1_2")) assertArrayEquals(ids[0], ids[1], "TLS 1.2 session id");
                CAPI.freeCredentialsHandle(cred);
            }
        }
    }

    static void assertNoSession(Client c, String when) {
        long[] result = {0};
        assertEquals(SEC_E_INVALID_HANDLE, CAPI.getCipherInfo(c.context, new int[1], new int[1]), when);
        assertNull(CAPI.getSessionInfo(c.context, new int[1], result), when);
        assertEquals(SEC_E_INVALID_HANDLE, result[0], when);
        assertNull(CAPI.getRemoteCertificates(c.context, result), when);
        assertEquals(SEC_E_INVALID_HANDLE, result[0], when);
    }

    /**
     * The session queries answer only for a session the context itself
     * completed: not while its handshake runs, although the credential keeps
     * an earlier session to the same target, and not once it has failed. A
     * record altered in transit fails the context for good: every later
     * decrypt and encrypt reports that failure, never the close-notify result.
     */
    @Test
    void aFailedContextHasNoSessionAndNeverReadsAsAClose() throws Exception {
        byte[] get = "GET /page.bin HTTP/1.0\r\n\r\n".getBytes(StandardCharsets.US_ASCII);
        for (String version : new String[] {"-tls1_2", "-tls1_3"}) {
            try (Server server = Server.start(dir, "-WWW", version)) {
                long[] cred = credential(0, null, false);
                try (Client earlier = new Client(cred, "localhost", server.port)) {
                    assertEquals(SEC_E_OK, earlier.handshake(), version);
                    earlier.send(get);
                    earlier.receiveAll();  // TLS 1.3 tickets come after the handshake
                }
                try (Client c = new Client(cred, "localhost", server.port)) {
                    long[] result = {0};
                    c.socket.getOutputStream().write(CAPI.initializeSecurityContext(cred, c.context, "localhost",
                            false, false, null, c.len, result));
                    assertEquals(SEC_I_CONTINUE_NEEDED, result[0]);
                    assertNoSession(c, version + " in the handshake");
                    assertEquals(SEC_E_OK, c.handshake(), version);
                    int[] reconnect = {0};
                    assertNotNull(CAPI.getSessionInfo(c.context, reconnect, result), version);
                    assertEquals(1, reconnect[0], version + ": resumed");
                    c.send(get);
                    while (c.len[0] < 4096) assertTrue(c.receive());
                    c.buf[10] ^= 1;  // inside the first record's protected body
                    assertEquals(SEC_E_MESSAGE_ALTERED, c.nextStatus(), version);
                    assertEquals(SEC_E_MESSAGE_ALTERED, c.nextStatus(), version + ": the failure stays");
                    assertNull(CAPI.encryptMessage(c.context, get, new int[] {0}, new int[] {get.length}, result));
                    assertEquals(SEC_E_MESSAGE_ALTERED, result[0], version + ": nor can records go out");
                    assertNoSession(c, version + " after the failure");
                }
                CAPI.freeCredentialsHandle(cred);
            }
        }
    }

    /** A TLS 1.2 renegotiation the server asks for, and records on both sides of it. */
    @Test
    void renegotiatesWhenTheServerAsks() throws Exception {
        try (Server server = Server.start(dir, "-tls1_2")) {
            long[] cred = credential(SP_PROT_TLS1_2_CLIENT, null, false);
            try (Client c = new Client(cred, "localhost", server.port)) {
                assertEquals(SEC_E_OK, c.handshake());
                c.send("before\n".getBytes(StandardCharsets.US_ASCII));
                assertTrue(server.waitFor("before"));
                server.command("r\n");
                assertNotNull(c.receiveRecord());
                assertEquals(SEC_I_RENEGOTIATE, c.status);
                assertEquals(SEC_E_OK, c.handshake());
                c.send("after\n".getBytes(StandardCharsets.US_ASCII));
                assertTrue(server.waitFor("after"));
            }
            CAPI.freeCredentialsHandle(cred);
        }
    }

    /**
     * Protocol masks: only versions older than TLS 1.2 are refused; a one-entry
     * supported-algorithm list restricts the handshake to that suite, and a
     * list naming no suite is refused.
     */
    @Test
    void credentialsRestrictProtocolsAndSuites() throws Exception {
        long[] cred = new long[2];
        assertEquals(SEC_E_ALGORITHM_MISMATCH,
                CAPI.acquireCredentialsHandle(true, SP_PROT_TLS1_1_CLIENT, null, 0, null, 0, 0, 0, cred, false));
        assertEquals(SEC_E_ALGORITHM_MISMATCH,
                CAPI.acquireCredentialsHandle(true, 0, new int[] {0x1F, 0, 0x21}, 3, null, 0, 0, 0, cred, false));
        assertEquals(0, cred[0] | cred[1], "no handle on failure");
        try (Server server = Server.start(dir, "-WWW")) {
            int[][] lists = {{0x30}, {0, 0x02}, {0xA8}};
            int[] suites = {0xC030, 0x1302, 0xCCA8};
            for (int i = 0; i < lists.length; i++) {
                cred = credential(0, lists[i], false);
                try (Client c = new Client(cred, "localhost", server.port)) {
                    assertEquals(SEC_E_OK, c.handshake());
                    int[] protocol = {0};
                    int[] suite = {0};
                    assertEquals(0, CAPI.getCipherInfo(c.context, protocol, suite));
                    assertEquals(suites[i], suite[0], "suite of list " + i);
                }
                CAPI.freeCredentialsHandle(cred);
            }
        }
    }

    static final Map<Integer, String> SUITE_NAMES = Map.of(0x1301, "TLS_AES_128_GCM_SHA256", 0x1302,
            "TLS_AES_256_GCM_SHA384", 0x1303, "TLS_CHACHA20_POLY1305_SHA256", 0xC02F,
            "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256", 0xC030, "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384", 0xCCA8,
            "TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256");

    /** The JDK's TLS server: a full exchange per version, and the suite both sides name. */
    @Test
    void exchangesWithTheJdkServer() throws Exception {
        SSLContext ctx = jdkServerContext(dir);
        Object[][] cases = {{SP_PROT_TLS1_2_CLIENT, null}, {SP_PROT_TLS1_3_CLIENT, null},
                {0, new int[] {0x2F}}, {0, new int[] {0x03}}};
        for (Object[] k : cases) {
            int protocols = (Integer) k[0];
            int[] ciphers = (int[]) k[1];
            try (SSLServerSocket ss = (SSLServerSocket) ctx.getServerSocketFactory().createServerSocket(0, 1,
                    InetAddress.getLoopbackAddress())) {
                CompletableFuture<String> served = new CompletableFuture<>();
                CompletableFuture.runAsync(() -> {
                    try (SSLSocket s = (SSLSocket) ss.accept()) {
                        s.setSoTimeout(30000);
                        InputStream in = s.getInputStream();
                        byte[] req = new byte[5];
                        int got = 0;
                        while (got < 5) got += in.read(req, got, 5 - got);
                        OutputStream out = s.getOutputStream();
                        out.write(page, 0, 100000);
                        out.flush();
                        served.complete(new String(req, StandardCharsets.US_ASCII) + " "
                                + s.getSession().getProtocol() + " " + s.getSession().getCipherSuite());
                        in.read(); // until our close-notify, which the JDK answers
                    } catch (Exception e) {
                        served.complete(e.toString());
                    }
                });
                long[] cred = credential(protocols, ciphers, false);
                try (Client c = new Client(cred, "localhost", ss.getLocalPort())) {
                    assertEquals(SEC_E_OK, c.handshake());
                    c.send("hello".getBytes(StandardCharsets.US_ASCII));
                    byte[] reply = new byte[0];
                    while (reply.length < 100000) {
                        byte[] p = c.receiveRecord();
                        assertNotNull(p);
                        reply = concat(reply, p);
                    }
                    assertArrayEquals(Arrays.copyOf(page, 100000), reply);
                    int[] protocol = {0};
                    int[] suite = {0};
                    assertEquals(0, CAPI.getCipherInfo(c.context, protocol, suite));
                    String server = served.get(30, TimeUnit.SECONDS);
                    String version = protocol[0] == SP_PROT_TLS1_3_CLIENT ? "TLSv1.3" : "TLSv1.2";
                    assertEquals("hello " + version + " " + SUITE_NAMES.get(suite[0]), server,
                            "suite 0x" + Integer.toHexString(suite[0]));
                    if (protocols != 0) assertEquals(protocols, protocol[0]);
                    c.disconnect();
                    assertNull(c.receiveRecord(), "close-notify");
                }
                CAPI.freeCredentialsHandle(cred);
            }
        }
    }

    static byte[] concat(byte[] a, byte[] b) {
        byte[] r = Arrays.copyOf(a, a.length + b.length);
        System.arraycopy(b, 0, r, a.length, b.length);
        return r;
    }

    static long residentBytes() throws Exception {
        for (String line : Files.readAllLines(Path.of("/proc/self/status")))
            if (line.startsWith("VmRSS:")) return Long.parseLong(line.replaceAll("[^0-9]", "")) * 1024;
        throw new AssertionError("no VmRSS");
    }

    /**
     * 10^5 records through decryptMessage keep the process's resident memory
     * flat: the natives give back the elements of their 64 KiB input array
     * (a copy in HotSpot) on every call. Without that each call would keep
     * 64 KiB, several gigabytes in all, so the margin can be generous.
     */
    @Test
    void recordsDoNotGrowResidentMemory() throws Exception {
        final int records = 100000, frag = 512;
        Path big = dir.resolve("records.bin");
        Files.write(big, new byte[records * frag]);
        try (Server server = Server.start(dir, "-WWW", "-tls1_3", "-max_send_frag", "512")) {
            long[] cred = credential(0, null, false);
            try (Client c = new Client(cred, "localhost", server.port)) {
                assertEquals(SEC_E_OK, c.handshake());
                c.send("GET /records.bin HTTP/1.0\r\n\r\n".getBytes(StandardCharsets.US_ASCII));
                long total = 0, before = 0, limit = 256L << 20;
                for (int n = 0;; n++) {
                    if (n == 2000) {
                        System.gc();
                        before = residentBytes();
                    }
                    if (n > 2000 && n % 5000 == 0)
                        assertTrue(residentBytes() - before < limit, "resident memory grew at record " + n);
                    byte[] p = c.receiveRecord();
                    if (p == null) break;
                    total += p.length;
                }
                assertTrue(total > (long) records * frag, "received " + total);
                assertTrue(residentBytes() - before < limit, "resident memory grew");
            }
            CAPI.freeCredentialsHandle(cred);
        } finally {
            Files.delete(big);
        }
    }

    /**
     * The natives refuse offsets and lengths beyond their arrays and null
     * input before the package sees them, and report a stale handle.
     */
    @Test
    void nativesRefuseBadArguments() throws Exception {
        long[] result = {0};
        long[] stale = {7, 9};
        byte[] buf = new byte[16];
        assertNull(CAPI.decryptMessage(stale, buf, new int[] {17}, result));
        assertEquals(SEC_E_INVALID_PARAMETER, result[0]);
        assertNull(CAPI.decryptMessage(stale, null, new int[] {0}, result));
        assertEquals(SEC_E_INVALID_PARAMETER, result[0]);
        int[] off = {10};
        int[] len = {7};
        assertNull(CAPI.encryptMessage(stale, buf, off, len, result));
        assertEquals(SEC_E_INVALID_PARAMETER, result[0]);
        assertEquals(10, off[0]);
        assertEquals(7, len[0]);
        len[0] = 6;
        assertNull(CAPI.encryptMessage(stale, buf, off, len, result));
        assertEquals(0x80090301L /* SEC_E_INVALID_HANDLE */, result[0] & 0xFFFFFFFFL);
        assertTrue(result[0] < 0, "status sign-extended");
        int[] inLen = {17};
        assertNull(CAPI.initializeSecurityContext(stale, new long[2], "x", false, false, buf, inLen, result));
        assertEquals(SEC_E_INVALID_PARAMETER, result[0]);
        assertEquals(17, inLen[0]);
        long[] cred = new long[2];
        assertEquals(Csp.ERROR_INVALID_PARAMETER,
                CAPI.acquireCredentialsHandle(true, 0, new int[] {1}, 2, null, 0, 0, 0, cred, false));
        assertEquals(Csp.ERROR_INVALID_PARAMETER,
                CAPI.acquireCredentialsHandle(true, 0, null, 0, buf, 17, 0, 0, cred, false));
    }
}
