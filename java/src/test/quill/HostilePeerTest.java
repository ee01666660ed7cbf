package quill;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quill.Tls.*;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.net.InetAddress;
import java.net.ServerSocket;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Random;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.function.Consumer;

import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * A peer that lies: a raw server that answers the ClientHello with bytes of
 * its choosing, and records of a real `openssl s_server` damaged on their way
 * into the client's buffer. Every damaged stream must end in a failure status
 * (never success, never a clean close), the failure must stay, and the
 * context must still be deletable. Every read is bounded by the client
 * socket's timeout.
 */
class HostilePeerTest {
    static Path dir;
    static final int SEC_E_ILLEGAL_MESSAGE = 0x80090326;
    static final int ANY_FAILURE = 1;

    @BeforeAll
    static void certificates() throws Exception {
        dir = tempDir("hostile");
        makeCertificates(dir);
        byte[] page = new byte[100000];
        new Random(3).nextBytes(page);
        Files.write(dir.resolve("page.bin"), page);
    }

    static byte[] record(int type, int version, byte[] body) {
        ByteArrayOutputStream r = new ByteArrayOutputStream();
        r.write(type);
        r.write(version >> 8);
        r.write(version);
        r.write(body.length >> 8);
        r.write(body.length);
        r.writeBytes(body);
        return r.toByteArray();
    }

    static byte[] handshake(int type, byte[] body) {
        byte[] m = new byte[4 + body.length];
        m[0] = (byte) type;
        m[1] = (byte) (body.length >> 16);
        m[2] = (byte) (body.length >> 8);
        m[3] = (byte) body.length;
        System.arraycopy(body, 0, m, 4, body.length);
        return m;
    }

    /** A ServerHello record of `version` choosing `suite`, without extensions. */
    static byte[] serverHello(int version, int suite) {
        byte[] b = new byte[2 + 32 + 1 + 2 + 1];
        b[0] = (byte) (version >> 8);
        b[1] = (byte) version;
        System.arraycopy(noise(32), 0, b, 2, 32);
        b[35] = (byte) (suite >> 8);
        b[36] = (byte) suite;
        return record(22, version, handshake(2, b));
    }

    static byte[] cat(byte[]... parts) {
        ByteArrayOutputStream o = new ByteArrayOutputStream();
        for (byte[] p : parts) o.writeBytes(p);
        return o.toByteArray();
    }

    static byte[] noise(int n) {
        byte[] b = new byte[n];
        new Random(n).nextBytes(b);
        return b;
    }

    static Object[] raw(String name, int expected, byte[] reply) {
        return new Object[] {name, expected, reply};
    }

    /** What the raw server answers to a ClientHello, and the status the handshake must end in. */
    static List<Object[]> rawCases() {
        byte[] hello = serverHello(0x0303, 0xC02F);
        List<Object[]> t = new ArrayList<>(List.of(
                raw("HTTP instead of a ServerHello", SEC_E_ILLEGAL_MESSAGE,
                        "HTTP/1.1 400 Bad Request\r\n\r\n".getBytes(StandardCharsets.US_ASCII)),
                raw("a ServerHello of random bytes", SEC_E_ILLEGAL_MESSAGE, record(22, 0x0303, handshake(2, noise(60)))),
                raw("empty handshake records, then an SSL 3.0 ServerHello", SEC_E_ALGORITHM_MISMATCH,
                        cat(record(22, 0x0303, new byte[0]), record(22, 0x0303, new byte[0]),
                                serverHello(0x0300, 0x002F))),
                raw("unknown record type", SEC_E_ILLEGAL_MESSAGE, record(99, 0x0303, new byte[8])),
                raw("half a ServerHello, then the end", SEC_E_INCOMPLETE_MESSAGE,
                        java.util.Arrays.copyOf(hello, hello.length / 2)),
                raw("a record header alone, then the end", SEC_E_INCOMPLETE_MESSAGE,
                        java.util.Arrays.copyOf(hello, 5)),
                raw("a record of 2^14 + 2049 bytes", SEC_E_ILLEGAL_MESSAGE, record(22, 0x0303, new byte[18433])),
                raw("a plaintext record of 2^14 + 2048 bytes", SEC_E_ILLEGAL_MESSAGE,
                        record(22, 0x0303, new byte[18432])),
                raw("Finished instead of a ServerHello", SEC_E_ILLEGAL_MESSAGE,
                        record(22, 0x0303, handshake(20, new byte[12]))),
                raw("ServerHelloDone instead of a ServerHello", SEC_E_ILLEGAL_MESSAGE,
                        record(22, 0x0303, handshake(14, new byte[0]))),
                raw("a ClientHello to the client", SEC_E_ILLEGAL_MESSAGE,
                        record(22, 0x0303, handshake(1, new byte[40]))),
                raw("a ServerHello twice", SEC_E_ILLEGAL_MESSAGE, cat(hello, hello)),
                // Ignored while negotiating, however many.
                raw("12288 HelloRequests, then a TLS 1.0 ServerHello", SEC_E_ALGORITHM_MISMATCH,
                        cat(record(22, 0x0303, new byte[16384]), record(22, 0x0303, new byte[16384]),
                                record(22, 0x0303, new byte[16384]), serverHello(0x0301, 0x002F))),
                raw("SSL 3.0 ServerHello", SEC_E_ALGORITHM_MISMATCH, serverHello(0x0300, 0x002F)),
                raw("TLS 1.0 ServerHello", SEC_E_ALGORITHM_MISMATCH, serverHello(0x0301, 0x002F)),
                raw("TLS 1.1 ServerHello", SEC_E_ALGORITHM_MISMATCH, serverHello(0x0302, 0x002F)),
                raw("a close-notify instead of a ServerHello", SEC_E_ILLEGAL_MESSAGE, record(21, 0x0303, new byte[] {1, 0}))));
        // Every fatal alert of TLS 1.2 and 1.3, and one no version defines; those
        // that reject our parameters are an algorithm mismatch.
        int[] alerts = {10, 20, 21, 22, 30, 40, 41, 42, 43, 44, 45, 46, 47, 48, 49, 50, 51, 60, 70, 71, 80, 86,
                90, 100, 109, 110, 111, 112, 113, 114, 115, 116, 120, 255};
        for (int a : alerts)
            t.add(raw("fatal alert " + a, a == 40 || a == 70 || a == 71 ? SEC_E_ALGORITHM_MISMATCH : ANY_FAILURE,
                    record(21, 0x0303, new byte[] {2, (byte) a})));
        return t;
    }

    /** Serves one connection: reads the ClientHello record, writes `reply` and closes. */
    static Thread serve(ServerSocket ss, byte[] reply) {
        Thread t = new Thread(() -> {
            try (Socket s = ss.accept()) {
                s.setSoTimeout(60000);
                InputStream in = s.getInputStream();
                byte[] head = in.readNBytes(5);
                in.readNBytes(((head[3] & 0xFF) << 8) | (head[4] & 0xFF));
                s.getOutputStream().write(reply);
                s.shutdownOutput();
                in.read();  // until the client is done
            } catch (Exception e) {
                // the client went away first
            }
        });
        t.setDaemon(true);
        t.start();
        return t;
    }

    /** After a failure the context keeps reporting it, and once deleted it is gone. */
    static void assertFailedAndDeletable(Client c, long failure, String name) {
        long[] result = {0};
        byte[] one = {1};
        // A stream cut short is no failure yet: the caller stops at the end of its input.
        if (failure != SEC_E_INCOMPLETE_MESSAGE) {
            assertNull(CAPI.encryptMessage(c.context, one, new int[] {0}, new int[] {1}, result), name);
            assertEquals(failure, result[0], name + ": the failure stays");
        }
        assertEquals(0, CAPI.deleteSecurityContext(c.context));
        assertNull(CAPI.encryptMessage(c.context, one, new int[] {0}, new int[] {1}, result));
        assertEquals(SEC_E_INVALID_HANDLE, result[0], name + ": the context is gone");
        c.context[0] = c.context[1] = 0;
    }

    /** The raw server's lies, each answered with a handshake failure. */
    @Test
    void handshakeFailsCleanlyOnEveryLie() throws Exception {
        List<Object[]> cases = rawCases();
        long[] cred = credential(0, null, false);
        for (Object[] k : cases) {
            String name = (String) k[0];
            int expected = (Integer) k[1];
            try (ServerSocket ss = new ServerSocket(0, 1, InetAddress.getLoopbackAddress())) {
                serve(ss, (byte[]) k[2]);
                try (Client c = new Client(cred, "localhost", ss.getLocalPort())) {
                    long st = c.handshake();
                    assertTrue(st < 0, name + ": status 0x" + Long.toHexString(st));
                    if (expected != ANY_FAILURE) assertEquals(expected, st, name + ": 0x" + Long.toHexString(st));
                    assertNotEquals(SEC_E_INTERNAL_ERROR, st, name + ": a peer's lie is no internal error");
                    assertFailedAndDeletable(c, st, name);
                }
            }
        }
        CAPI.freeCredentialsHandle(cred);
        System.out.println("hostile raw-server cases: " + cases.size());
    }

    static Object[] tamper(String name, int expected, Consumer<Client> lie) {
        return new Object[] {name, expected, lie};
    }

    static void setLength(Client c, int n) {
        c.buf[3] = (byte) (n >> 8);
        c.buf[4] = (byte) n;
    }

    /** Puts `bytes` in front of what was received. */
    static void inject(Client c, byte[] bytes) {
        if (c.len[0] + bytes.length > c.buf.length) c.buf = java.util.Arrays.copyOf(c.buf, c.len[0] + bytes.length);
        System.arraycopy(c.buf, 0, c.buf, bytes.length, c.len[0]);
        System.arraycopy(bytes, 0, c.buf, 0, bytes.length);
        c.len[0] += bytes.length;
    }

    /** Damage to the records of a real server after a good handshake, and the status it must give. */
    static final Object[][] TAMPERED = {
            tamper("a flipped byte in a record", Tls.SEC_E_MESSAGE_ALTERED, c -> c.buf[10] ^= 1),
            tamper("a record of 2^14 + 2049 bytes", SEC_E_ILLEGAL_MESSAGE, c -> setLength(c, 18433)),
            tamper("a record of 2^14 + 2048 bytes", ANY_FAILURE, c -> setLength(c, 18432)),
            tamper("a close in mid-record", SEC_E_INCOMPLETE_MESSAGE, c -> c.len[0] = 20),
            tamper("a record's type changed", ANY_FAILURE, c -> c.buf[0] = 22),
            tamper("an unprotected close-notify", ANY_FAILURE, c -> inject(c, record(21, 0x0303, new byte[] {1, 0}))),
            tamper("an unprotected fatal alert", ANY_FAILURE, c -> inject(c, record(21, 0x0303, new byte[] {2, 40}))),
            tamper("unprotected HelloRequests", ANY_FAILURE, c -> inject(c, record(22, 0x0303, new byte[4096]))),
    };

    static long decryptOnce(Client c) {
        long[] result = {CLOSED};
        CAPI.decryptMessage(c.context, c.buf, c.len, result);
        return result[0];
    }

    /** Records of `openssl s_server` damaged after the handshake: never a record, never a close. */
    @Test
    void damagedRecordsFailAndStayFailed() throws Exception {
        byte[] get = "GET /page.bin HTTP/1.0\r\n\r\n".getBytes(StandardCharsets.US_ASCII);
        for (String version : new String[] {"-tls1_2", "-tls1_3"}) {
            try (Server server = Server.start(dir, "-WWW", version)) {
                long[] cred = credential(0, null, false);
                for (Object[] k : TAMPERED) {
                    String name = version + ": " + k[0];
                    int expected = (Integer) k[1];
                    try (Client c = new Client(cred, "localhost", server.port)) {
                        assertEquals(SEC_E_OK, c.handshake(), name);
                        c.send(get);
                        while (c.len[0] < 4096) assertTrue(c.receive(), name);
                        @SuppressWarnings("unchecked")
                        Consumer<Client> lie = (Consumer<Client>) k[2];
                        lie.accept(c);
                        long st = decryptOnce(c);
                        assertNotEquals(CLOSED, st, name + ": read as a close");
                        assertTrue(st < 0, name + ": status 0x" + Long.toHexString(st));
                        if (expected != ANY_FAILURE) assertEquals(expected, st, name + ": 0x" + Long.toHexString(st));
                        if (st != SEC_E_INCOMPLETE_MESSAGE) assertEquals(st, decryptOnce(c), name + ": it stays");
                        assertFailedAndDeletable(c, st, name);
                    }
                }
                CAPI.freeCredentialsHandle(cred);
            }
        }
    }

    /**
     * Requests of a real server after a good handshake, typed at its console
     * one at a time: HelloRequests (TLS 1.2, "r") or key updates that ask for
     * ours (TLS 1.3, "K"), `count` of them, alone or each followed by a line
     * of data that the client answers; then "end". The client renegotiates
     * whenever asked. A flood without data ends after a bounded number of
     * requests honoured (key update replies the client has not sent yet pile
     * up, so those end sooner); the status stays for the next record sent.
     */
    static final Object[][] REQUESTS = {
            {"-tls1_2", "r", 10000, false, SEC_E_ILLEGAL_MESSAGE},
            {"-tls1_2", "r", 300, true, SEC_E_OK},
            {"-tls1_3", "K", 10000, false, SEC_E_ILLEGAL_MESSAGE},
            {"-tls1_3", "K", 300, true, SEC_E_OK},
    };

    /**
     * Reads until `last` arrives, renegotiating when asked; the status it
     * stops at. `answered` counts the records that carried no data.
     */
    static long readThroughRequests(Client c, StringBuilder got, AtomicInteger answered, String last)
            throws IOException {
        long[] result = new long[1];
        while (got.indexOf(last) < 0) {
            result[0] = CLOSED;
            int before = c.len[0];
            byte[] plain = CAPI.decryptMessage(c.context, c.buf, c.len, result);
            if (plain != null && plain.length > 0) {
                synchronized (got) { got.append(new String(plain, StandardCharsets.ISO_8859_1)); }
                c.send("ok\n".getBytes(StandardCharsets.US_ASCII));
            } else if (result[0] == SEC_E_OK && c.len[0] < before) answered.incrementAndGet();
            if (result[0] == SEC_E_INCOMPLETE_MESSAGE || result[0] == SEC_E_INVALID_PARAMETER && c.len[0] == 0) {
                if (!c.receive()) return CLOSED;
            } else if (result[0] == SEC_I_RENEGOTIATE) {
                if (c.handshake() != SEC_E_OK) return c.status;
                answered.incrementAndGet();
            } else if (result[0] != SEC_E_OK) {
                return result[0];
            }
        }
        return SEC_E_OK;
    }

    /** Waits (bounded) until `done` holds or the reader is over. */
    static void awaitOrOver(AtomicBoolean over, java.util.function.BooleanSupplier done) throws InterruptedException {
        for (long end = System.nanoTime() + 30_000_000_000L; System.nanoTime() < end && !over.get() && !done.getAsBoolean();)
            Thread.sleep(0, 100_000);
    }

    /** Floods of renegotiation and key update requests end in bounded time and memory. */
    @Test
    void requestFloodsEndInBoundedTime() throws Exception {
        for (Object[] k : REQUESTS) {
            String version = (String) k[0], command = k[1] + "\n";
            int count = (Integer) k[2];
            boolean data = (Boolean) k[3];
            String name = version + " " + count + " x " + k[1] + (data ? " among data" : "");
            StringBuilder got = new StringBuilder();
            AtomicInteger answered = new AtomicInteger();
            AtomicBoolean over = new AtomicBoolean();
            try (Server server = Server.start(dir, version)) {
                long[] cred = credential(0, null, false);
                try (Client c = new Client(cred, "localhost", server.port)) {
                    assertEquals(SEC_E_OK, c.handshake(), name);
                    // The records after the handshake (TLS 1.3 tickets) are read first.
                    server.command("start\n");
                    assertEquals(SEC_E_OK, readThroughRequests(c, got, answered, "start\n"), name);
                    answered.set(0);
                    // One request at a time: s_server takes one command per read.
                    Thread typer = new Thread(() -> {
                        try {
                            for (int i = 0; i < count && !over.get(); i++) {
                                server.command(command);
                                int n = i;
                                awaitOrOver(over, () -> answered.get() > n);
                                if (!data) continue;
                                String line = "line " + i + "\n";
                                server.command(line);
                                awaitOrOver(over, () -> { synchronized (got) { return got.indexOf(line) >= 0; } });
                            }
                            server.command("end\n");
                        } catch (Exception e) {
                            // the server has gone
                        }
                    });
                    typer.setDaemon(true);
                    long t0 = System.nanoTime();
                    typer.start();
                    long st = readThroughRequests(c, got, answered, "end\n");
                    over.set(true);
                    long[] result = {CLOSED};
                    byte[] bye = "bye\n".getBytes(StandardCharsets.US_ASCII);
                    CAPI.encryptMessage(c.context, bye, new int[] {0}, new int[] {bye.length}, result);
                    System.out.println(name + ": 0x" + Long.toHexString(st) + " after " + answered + " answered, "
                            + (System.nanoTime() - t0) / 1000000 + " ms");
                    long expected = (Integer) k[4];
                    assertEquals(expected, st, name + ": reading");
                    assertEquals(expected, result[0], name + ": sending");
                    if (!data) assertTrue(answered.get() < 64, name + ": " + answered + " requests honoured");
                    assertTrue(data || got.length() == 6, name);
                }
                CAPI.freeCredentialsHandle(cred);
            }
        }
    }

    /**
     * A server chain of 50 certificates (one key signs them all, to keep it
     * quick): the handshake completes when the caller validates, and the
     * caller sees all 50, leaf first.
     */
    @Test
    void takesAChainOfFifty() throws Exception {
        Path d = Files.createDirectories(dir.resolve("chain"));
        openssl(d, "ecparam", "-name", "prime256v1", "-genkey", "-noout", "-out", "server.key");
        openssl(d, "req", "-x509", "-key", "server.key", "-subj", "/CN=c0", "-days", "30", "-out", "c0.pem");
        StringBuilder chain = new StringBuilder(Files.readString(d.resolve("c0.pem")));
        for (int i = 1; i < 50; i++) {
            openssl(d, "req", "-x509", "-key", "server.key", "-CA", "c" + (i - 1) + ".pem", "-CAkey", "server.key",
                    "-subj", "/CN=c" + i, "-days", "30", "-out", "c" + i + ".pem");
            if (i < 49) chain.insert(0, Files.readString(d.resolve("c" + i + ".pem")));
        }
        Files.copy(d.resolve("c49.pem"), d.resolve("server.pem"));
        Files.writeString(d.resolve("ca.pem"), chain);
        try (Server server = Server.start(d, "-WWW", "-tls1_2")) {
            long[] cred = credential(0, null, false);
            try (Client c = new Client(cred, "localhost", server.port)) {
                assertEquals(SEC_E_OK, c.handshake());
                long[] result = {1};
                byte[][] certs = CAPI.getRemoteCertificates(c.context, result);
                assertEquals(0, result[0]);
                assertNotNull(certs);
                assertEquals(50, certs.length);
                assertArrayEquals(pem(d.resolve("c49.pem")), certs[0]);
                assertArrayEquals(pem(d.resolve("c0.pem")), certs[49]);
            }
            CAPI.freeCredentialsHandle(cred);
        }
    }
}
