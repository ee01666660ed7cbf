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
}
