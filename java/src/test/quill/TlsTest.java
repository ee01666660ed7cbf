package quill;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quill.Tls.*;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.Random;

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
                int[] chunks = {5, 16384 + 13, 3 * 16400 + 7, 1};
                try (Client c = new Client(cred, "localhost", server.port)) {
                    c.chunk = 97;
                    assertEquals(SEC_E_OK, c.handshake(), version);
                    int[] protocol = {0};
                    int[] suite = {0};
                    assertEquals(0, CAPI.getCipherInfo(c.context, protocol, suite));
                    assertEquals(version.equals("-tls1_2") ? SP_PROT_TLS1_2_CLIENT : SP_PROT_TLS1_3_CLIENT,
                            protocol[0]);
                    c.send("GET /page.bin HTTP/1.0\r\n\r\n".getBytes(StandardCharsets.US_ASCII));
                    java.io.ByteArrayOutputStream all = new java.io.ByteArrayOutputStream();
                    int i = 0;
                    for (byte[] p;;) {
                        c.chunk = chunks[i++ % chunks.length];
                        if ((p = c.receiveRecord()) == null) break;
                        all.write(p);
                    }
                    assertArrayEquals(page, body(all.toByteArray()), version);
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
}
