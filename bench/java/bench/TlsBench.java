package bench;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStream;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.InetSocketAddress;
import java.net.Socket;
import java.nio.charset.StandardCharsets;
import java.security.cert.X509Certificate;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;

import javax.net.ssl.SSLContext;
import javax.net.ssl.SSLSocket;
import javax.net.ssl.SSLSocketFactory;
import javax.net.ssl.TrustManager;
import javax.net.ssl.X509TrustManager;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * TLS through the bridge's SSPI natives against two other clients of the
 * same server process (bench_tls_server, started here): a C client on
 * libssl with memory BIOs (bench_tls_client, a process of its own driven
 * through bench.CClient) and the JDK's SSLSocket; and, as a fourth side,
 * the platform's SSPI package driven from C++ by that same process as the
 * bridge's natives drive it, which tells the package's cost from JNI's.
 * Each side's figures are its wall-clock rate and its rate per second of its
 * own CPU time (the client thread's), which the load of a shared machine
 * moves far less.
 *
 * Bulk rows: one download of 64 MiB in 16 KiB records per round, the socket
 * read into a receive array of the size a careful caller takes from the
 * package's stream sizes (header, largest message, trailer) and into one of
 * 1 MiB. Handshake rows: connections per second, each a handshake, a request
 * for no data, the server's one-byte answer and close-notify, full (no
 * session offered) and resumed (the last session offered), TLS 1.2 and 1.3,
 * against the server's RSA-2048 and ECDSA P-256 certificates. The server
 * tells each connection whether it resumed; a connection that did not do
 * what its row measures ends the run with exit code 1, as does data that is
 * not the server's. Every client answers the server's close-notify with its
 * own.
 *
 * No client checks the server's certificate chain (the bridge's credential
 * asks for manual validation, the C client sets no verification, the JDK's
 * trust manager accepts the certificate); every one checks the server's
 * handshake signature.
 *
 * Usage: java -Djava.library.path=LIB -cp quill-java.jar:quill-bench.jar bench.TlsBench --server PATH --client PATH
 *     [--quick] [--only TEXT] [--side bridge|package|C|JDK] [--rounds N]
 * --quick downloads a few KB and makes two connections per row (a smoke test);
 * --only runs the rows whose names contain TEXT ("handshakes": all handshake rows),
 * --side one client only, --rounds N rounds instead of 5 (to profile a row).
 */
public final class TlsBench {
    static final int SEC_E_OK = 0;
    static final int SEC_I_CONTINUE_NEEDED = 0x00090312;
    static final int SEC_E_INCOMPLETE_MESSAGE = 0x80090318;
    static final int SP_PROT_TLS1_2_CLIENT = 0x800;
    static final int SP_PROT_TLS1_3_CLIENT = 0x2000;
    /** A value the package never writes: decryptMessage leaves it at close-notify. */
    static final long UNTOUCHED = 0x7fff_0000_0000L;

    /** The package's stream sizes: record header, largest message, trailer. */
    static final int STREAM_HEADER = 5;
    static final int STREAM_MAX_MESSAGE = 16384;
    static final int STREAM_TRAILER = 128;
    static final int CAREFUL = STREAM_HEADER + STREAM_MAX_MESSAGE + STREAM_TRAILER;
    static final int LARGE = 1 << 20;

    /** The warm-up of the Java sides before the rows: connections per side and version, and at most this long. */
    static final int WARM_UP_CONNECTIONS = 1500;
    static final long WARM_UP_NANOS = 20_000_000_000L;

    static boolean quick;
    /** --only TEXT: the rows whose names contain it ("handshakes": those rows only), to profile one. */
    static String only;
    /** --side bridge|package|C|JDK: that client only. */
    static String side;
    static long bulkBytes;
    static int rounds;
    static long warmupNanos;
    static long roundNanos;
    static long sink;

    // ------------------------------------------------------------ the server

    /** The server process; its standard input stays open while it should run. */
    static final class Server implements AutoCloseable {
        final Process process;
        final int rsaPort;
        final int ecPort;

        Server(String path) throws Exception {
            process = CClient.start(path);
            BufferedReader r = new BufferedReader(
                    new InputStreamReader(process.getInputStream(), StandardCharsets.US_ASCII));
            String line = r.readLine();
            if (line == null || !line.startsWith("ports ")) {
                close();
                throw new IllegalStateException("bench_tls_server did not start: " + line);
            }
            String[] p = line.split(" ");
            rsaPort = Integer.parseInt(p[1]);
            ecPort = Integer.parseInt(p[2]);
        }

        @Override
        public void close() throws Exception {
            process.getOutputStream().close();
            if (!process.waitFor(5, TimeUnit.SECONDS)) process.destroyForcibly().waitFor();
        }
    }

    // ------------------------------------------------------------ the clients

    /** One connection of a client: data bytes * 2, + 1 when the server resumed. */
    interface Connection {
        long run(long bytes, boolean check) throws Exception;
    }

    static byte[] request(long bytes) {
        return (bytes + "\n").getBytes(StandardCharsets.US_ASCII);
    }

    static Socket dial(int port) throws IOException {
        Socket s = new Socket();
        s.setTcpNoDelay(true);
        s.connect(new InetSocketAddress(InetAddress.getLoopbackAddress(), port));
        s.setSoTimeout(30000);
        return s;
    }

    static byte expected(long at) {
        return (byte) ((at % 16384) * 131 + 7);
    }

    /** Counts the data after the server's mark; true when `check` finds a wrong byte. */
    static final class Tally {
        int mark = -1;
        long got;
        boolean wrong;

        void add(byte[] b, int off, int n, boolean check) {
            if (n <= 0) return;
            if (mark < 0) {
                mark = b[off] & 0xff;
                off++;
                n--;
            }
            if (check) for (int i = 0; i < n; i++) wrong |= b[off + i] != expected(got + i);
            got += n;
        }

        long result(long bytes, String who) {
            if (wrong || got != bytes || (mark != 'R' && mark != 'F'))
                throw new IllegalStateException(who + ": " + got + " of " + bytes + " bytes"
                        + (wrong ? ", not the server's data" : "") + ", mark " + mark);
            return got * 2 + (mark == 'R' ? 1 : 0);
        }
    }

    /**
     * The bridge as a caller drives it: initializeSecurityContext until the
     * handshake ends, encryptMessage for the request, decryptMessage record by
     * record on the receive array, which is filled by socket reads after the
     * bytes the package gave back, up to its size.
     */
    static long bridgeConnect(long[] cred, String target, int port, int readSize, long bytes, boolean check)
            throws IOException {
        long[] context = new long[2];
        try (Socket s = dial(port)) {
            InputStream in = s.getInputStream();
            OutputStream out = s.getOutputStream();
            byte[] buf = new byte[readSize];
            int[] len = {0};
            long[] result = new long[1];
            for (boolean first = true;; first = false) {
                byte[] token = CAPI.initializeSecurityContext(cred, context, target, false, false,
                        first ? null : buf, len, result);
                if (token != null && token.length > 0) out.write(token);
                int st = (int) result[0];
                if (st == SEC_E_OK) break;
                if (st != SEC_I_CONTINUE_NEEDED && st != SEC_E_INCOMPLETE_MESSAGE)
                    throw new IllegalStateException("bridge handshake: 0x" + Integer.toHexString(st));
                if ((st == SEC_E_INCOMPLETE_MESSAGE || len[0] == 0) && !fill(in, buf, len))
                    throw new IllegalStateException("bridge handshake: the server closed");
            }
            byte[] req = request(bytes);
            byte[] record = CAPI.encryptMessage(context, req, new int[] {0}, new int[] {req.length}, result);
            if (result[0] != SEC_E_OK)
                throw new IllegalStateException("encryptMessage: 0x" + Long.toHexString(result[0]));
            out.write(record);
            Tally t = new Tally();
            for (;;) {
                if (len[0] > 0) {
                    result[0] = UNTOUCHED;
                    byte[] plain = CAPI.decryptMessage(context, buf, len, result);
                    if (result[0] == UNTOUCHED) {
                        // The server's close-notify: the disconnect call gives ours, if the package
                        // has one to send.
                        int[] none = {0};
                        byte[] token = CAPI.initializeSecurityContext(cred, context, target, true, false, buf, none,
                                result);
                        if (token != null) out.write(token);
                        break;
                    }
                    int st = (int) result[0];
                    if (st == SEC_E_OK) {
                        if (plain != null) t.add(plain, 0, plain.length, check);
                        continue;
                    }
                    if (st != SEC_E_INCOMPLETE_MESSAGE)
                        throw new IllegalStateException("decryptMessage: 0x" + Integer.toHexString(st));
                }
                if (!fill(in, buf, len))
                    throw new IllegalStateException("bridge: the server closed without close-notify");
            }
            while (in.read(buf) >= 0) {
                // the server ends its stream after close-notify
            }
            return t.result(bytes, "bridge");
        } finally {
            CAPI.deleteSecurityContext(context);
        }
    }

    /** One socket read after the unconsumed bytes; false at the end of the stream. */
    static boolean fill(InputStream in, byte[] buf, int[] len) throws IOException {
        if (len[0] == buf.length) throw new IllegalStateException("a record larger than the receive array");
        int n = in.read(buf, len[0], buf.length - len[0]);
        if (n < 0) return false;
        len[0] += n;
        return true;
    }

    /** The JDK's SSLSocket over a socket we connect; `host` names the session cache's entry. */
    static long jdkConnect(SSLSocketFactory factory, String protocol, String host, int port, int readSize,
            long bytes, boolean check) throws IOException {
        try (SSLSocket s = (SSLSocket) factory.createSocket(dial(port), host, port, true)) {
            s.setEnabledProtocols(new String[] {protocol});
            s.startHandshake();
            OutputStream out = s.getOutputStream();
            out.write(request(bytes));
            out.flush();
            InputStream in = s.getInputStream();
            byte[] buf = new byte[readSize];
            Tally t = new Tally();
            for (int n; (n = in.read(buf, 0, readSize)) >= 0;) t.add(buf, 0, n, check);
            return t.result(bytes, "JDK");
        }
    }

    static SSLSocketFactory jdkFactory() throws Exception {
        TrustManager accept = new X509TrustManager() {
            @Override
            public void checkClientTrusted(X509Certificate[] chain, String type) {}

            @Override
            public void checkServerTrusted(X509Certificate[] chain, String type) {}

            @Override
            public X509Certificate[] getAcceptedIssuers() {
                return new X509Certificate[0];
            }
        };
        SSLContext ctx = SSLContext.getInstance("TLS");
        ctx.init(null, new TrustManager[] {accept}, null);
        return ctx.getSocketFactory();
    }

    static long[] credential(int version) {
        long[] cred = new long[2];
        int st = CAPI.acquireCredentialsHandle(true, version == 13 ? SP_PROT_TLS1_3_CLIENT : SP_PROT_TLS1_2_CLIENT,
                null, 0, null, 0, 0, 0, cred, false);
        if (st != 0) throw new IllegalStateException("acquireCredentialsHandle: 0x" + Integer.toHexString(st));
        return cred;
    }

    /** A client as the tables time it. */
    interface Side {
        /** One download, the last session offered: {wall ns, client CPU ns}. */
        long[] download(int port, int readSize, long bytes, boolean check) throws Exception;

        /**
         * Connections for at least `nanos` and `count` connections, offering
         * the last session when `resume`: {connections, wall ns, client CPU ns,
         * resumed connections}.
         */
        long[] handshakes(int port, boolean resume, long nanos, int count) throws Exception;
    }

    /** A connection of a Java-side client to `port`, offering its last session when `resume`. */
    interface Dialer {
        Connection to(int port, int readSize, boolean resume);
    }

    static final java.lang.management.ThreadMXBean THREADS = java.lang.management.ManagementFactory.getThreadMXBean();

    /** The CPU time of this thread: the client's own work, whatever else the machine runs. */
    static long cpu() {
        return THREADS.getCurrentThreadCpuTime();
    }

    /** A client in this JVM, timed here with the wall clock and this thread's CPU time. */
    static Side inJvm(Dialer dialer) {
        return new Side() {
            @Override
            public long[] download(int port, int readSize, long bytes, boolean check) throws Exception {
                Connection c = dialer.to(port, readSize, true);
                long c0 = cpu();
                long t0 = System.nanoTime();
                sink += c.run(bytes, check);
                return new long[] {System.nanoTime() - t0, cpu() - c0};
            }

            @Override
            public long[] handshakes(int port, boolean resume, long nanos, int count) throws Exception {
                Connection c = dialer.to(port, CAREFUL, resume);
                long n = 0;
                long resumed = 0;
                long c0 = cpu();
                long t0 = System.nanoTime();
                long spent;
                do {
                    resumed += c.run(0, false) & 1;
                    n++;
                    spent = System.nanoTime() - t0;
                } while (spent < nanos || n < count);
                return new long[] {n, spent, cpu() - c0, resumed};
            }
        };
    }

    /** The clients of one protocol version, each with its own session state. */
    static final class Clients implements AutoCloseable {
        final int version;
        final String protocol;
        final long[] cred;
        final SSLSocketFactory jdk;
        final CClient c;
        /** Full handshakes name a target of their own, so no cached session is offered. */
        long fresh;

        Clients(int version, CClient c) throws Exception {
            this.version = version;
            this.c = c;
            protocol = version == 13 ? "TLSv1.3" : "TLSv1.2";
            cred = credential(version);
            jdk = jdkFactory();
        }

        /** The C client's process: libssl directly, or the platform's package (`pkg`). */
        Side inProcess(boolean pkg) {
            return new Side() {
                @Override
                public long[] download(int port, int readSize, long bytes, boolean check) throws Exception {
                    return c.download(pkg, version, port, readSize, bytes, check);
                }

                @Override
                public long[] handshakes(int port, boolean resume, long nanos, int count) throws Exception {
                    return c.handshakes(pkg, version, port, resume, nanos, count);
                }
            };
        }

        /** The sides in table order: bridge, package, C, JDK; a side --side leaves out is null. */
        Side[] sides() {
            Side bridge = inJvm((port, readSize, resume) -> (bytes, check) -> bridgeConnect(cred,
                    resume ? "localhost" : "full-" + fresh++ + ".localhost", port, readSize, bytes, check));
            Side cSide = inProcess(false);
            Side pkgSide = inProcess(true);
            Side jdkSide = inJvm((port, readSize, resume) -> (bytes, check) -> jdkConnect(jdk, protocol,
                    resume ? "localhost" : "full-" + fresh++ + ".localhost", port, readSize, bytes, check));
            Side[] all = {bridge, pkgSide, cSide, jdkSide};
            for (int i = 0; i < all.length; i++) if (!side.isEmpty() && !side.equals(NAMES[i])) all[i] = null;
            return all;
        }

        @Override
        public void close() {
            CAPI.freeCredentialsHandle(cred);
        }
    }

    // ------------------------------------------------------------ timing

    static double median(double[] v) {
        double[] s = v.clone();
        Arrays.sort(s);
        return s[s.length / 2];
    }

    static final String[] NAMES = {"bridge", "package", "C", "JDK"};

    /**
     * Download rates of the sides, one download each per round, the rounds
     * alternating: MB/s of wall time, then MB per second of the client's CPU
     * time.
     */
    static double[][] bulk(Side[] sides, int port, int readSize) throws Exception {
        for (Side s : sides) if (s != null) s.download(port, readSize, bulkBytes, true);  // warm-up, data checked
        double[][] wall = new double[sides.length][rounds];
        double[][] busy = new double[sides.length][rounds];
        for (int r = 0; r < rounds; r++) {
            for (int i = 0; i < sides.length; i++) {
                if (sides[i] == null) continue;
                long[] m = sides[i].download(port, readSize, bulkBytes, false);
                wall[i][r] = bulkBytes / 1e6 / (m[0] / 1e9);
                busy[i][r] = bulkBytes / 1e6 / (Math.max(1, m[1]) / 1e9);
            }
        }
        return new double[][] {medians(sides, wall), medians(sides, busy)};
    }

    static double[] medians(Side[] sides, double[][] rates) {
        double[] out = new double[sides.length];
        for (int i = 0; i < sides.length; i++) out[i] = sides[i] == null ? Double.NaN : median(rates[i]);
        return out;
    }

    /**
     * Handshakes per second of the sides (wall time), then the client's CPU
     * microseconds per connection; every connection of a round must resume, or
     * not, as its row says.
     */
    static double[][] handshakes(Side[] sides, int port, boolean resumed) throws Exception {
        for (Side s : sides) {
            // The first connection gives a resumed row its session.
            if (s != null) s.handshakes(port, resumed, warmupNanos, 1);
        }
        double[][] wall = new double[sides.length][rounds];
        double[][] busy = new double[sides.length][rounds];
        for (int r = 0; r < rounds; r++) {
            for (int i = 0; i < sides.length; i++) {
                if (sides[i] == null) continue;
                long[] m = sides[i].handshakes(port, resumed, quick ? 0 : roundNanos, quick ? 2 : 1);
                if (m[3] != (resumed ? m[0] : 0))
                    throw new IllegalStateException(NAMES[i] + ": " + m[3] + " of " + m[0] + " connections resumed");
                wall[i][r] = m[0] * 1e9 / m[1];
                busy[i][r] = m[2] / 1e3 / m[0];
            }
        }
        return new double[][] {medians(sides, wall), medians(sides, busy)};
    }

    // ------------------------------------------------------------ the tables

    static String num(double v) {
        if (Double.isNaN(v)) return "-";
        return v >= 100 ? String.format("%,.0f", v) : String.format("%.1f", v);
    }

    static String ratio(double a, double b) {
        if (Double.isNaN(a) || Double.isNaN(b)) return "-";
        return String.format("%.2f", a / b);
    }

    public static void main(String[] args) throws Exception {
        List<String> a = Arrays.asList(args);
        quick = a.contains("--quick");
        int o = a.indexOf("--only");
        only = o >= 0 && o + 1 < args.length ? args[o + 1] : "";
        int c = a.indexOf("--side");
        side = c >= 0 && c + 1 < args.length ? args[c + 1] : "";
        int at = a.indexOf("--server");
        if (at < 0 || at + 1 >= args.length || a.indexOf("--client") < 0 || a.indexOf("--client") + 1 >= args.length) {
            System.err.println("usage: bench.TlsBench --server PATH --client PATH [--quick]");
            System.exit(2);
        }
        bulkBytes = quick ? 4096 : 64L << 20;
        int n = a.indexOf("--rounds");
        rounds = quick ? 1 : n >= 0 && n + 1 < args.length ? Integer.parseInt(args[n + 1]) : 5;
        warmupNanos = quick ? 0 : 300_000_000L;
        roundNanos = 200_000_000L;
        int ca = a.indexOf("--client");
        try (Server server = new Server(args[at + 1]); CClient client = new CClient(args[ca + 1])) {
            run(server, client);
        }
        if (sink == 42) System.out.println();  // keeps the sink alive
    }

    static void run(Server server, CClient cClient) throws Exception {
        System.out.printf("TLS: the bridge's SSPI natives, a C client on libssl memory BIOs and the JDK's SSLSocket"
                + " against one local server%s%n", quick ? " (--quick: numbers mean nothing)" : "");
        System.out.printf("Java %s, %s; AES-128-GCM, X25519, certificate chains not checked%n",
                System.getProperty("java.version"), System.getProperty("os.arch"));

        if (!quick) warmUp(server);
        // Each result: {rates of wall time, rates of client CPU time}, sides bridge, C, JDK.
        List<double[][]> bulk = new ArrayList<>();
        List<String> bulkNames = new ArrayList<>();
        List<double[][]> hs = new ArrayList<>();
        List<String> hsNames = new ArrayList<>();
        for (int version : new int[] {13, 12}) {
            try (Clients cl = new Clients(version, cClient)) {
                Side[] sides = cl.sides();
                String v = version == 13 ? "TLS 1.3" : "TLS 1.2";
                for (int size : new int[] {CAREFUL, LARGE}) {
                    String name = v + ", receive array " + (size == LARGE ? "1 MiB" : String.format("%,d B", size));
                    if (!name.contains(only)) continue;
                    int port = server.rsaPort;
                    bulk.add(bulk(sides, port, size));
                    bulkNames.add(name);
                    System.err.printf("  measured %s%n", name);
                }
                for (String key : new String[] {"RSA-2048", "ECDSA P-256"}) {
                    int port = key.startsWith("RSA") ? server.rsaPort : server.ecPort;
                    for (boolean resumed : new boolean[] {false, true}) {
                        String name = v + " " + key + (resumed ? " resumed" : " full");
                        if (!name.contains(only) && !only.equals("handshakes")) continue;
                        hs.add(handshakes(sides, port, resumed));
                        hsNames.add(name);
                        System.err.printf("  measured %s%n", name);
                    }
                }
            }
        }

        String size = quick ? bulkBytes + " B" : (bulkBytes >> 20) + " MiB";
        // Sides: 0 bridge, 1 package, 2 C, 3 JDK.
        String[] bulkHead = {"download", "bridge", "package", "JDK", "C", "bridge/JDK", "bridge/C", "package/C"};
        table(String.format("bulk: a %s download in 16 KiB records, MB/s (median of %d)", size, rounds), bulkHead);
        for (int i = 0; i < bulk.size(); i++) {
            double[] r = bulk.get(i)[0];
            line(bulkNames.get(i), num(r[0]), num(r[1]), num(r[3]), num(r[2]), ratio(r[0], r[3]), ratio(r[0], r[2]),
                    ratio(r[1], r[2]));
        }
        table("bulk: MB per second of the client thread's CPU time", bulkHead);
        for (int i = 0; i < bulk.size(); i++) {
            double[] r = bulk.get(i)[1];
            line(bulkNames.get(i), num(r[0]), num(r[1]), num(r[3]), num(r[2]), ratio(r[0], r[3]), ratio(r[0], r[2]),
                    ratio(r[1], r[2]));
        }

        String[] hsHead = {"handshake", "bridge", "package", "C", "JDK", "bridge/C", "bridge/JDK", "package/C"};
        table(String.format("handshakes per second (a connection: handshake, request, one byte, close-notify;"
                + " median of %d)", rounds), hsHead);
        for (int i = 0; i < hs.size(); i++) {
            double[] r = hs.get(i)[0];
            line(hsNames.get(i), num(r[0]), num(r[1]), num(r[2]), num(r[3]), ratio(r[0], r[2]), ratio(r[0], r[3]),
                    ratio(r[1], r[2]));
        }
        table("client thread CPU per connection, microseconds (the ratios are of speed: the other's time / ours)",
                hsHead);
        for (int i = 0; i < hs.size(); i++) {
            double[] r = hs.get(i)[1];
            line(hsNames.get(i), num(r[0]), num(r[1]), num(r[2]), num(r[3]), ratio(r[2], r[0]), ratio(r[3], r[0]),
                    ratio(r[2], r[1]));
        }
        table("resumed / full: handshakes per second, and client CPU per connection", "handshake", "bridge",
                "package", "C", "JDK", "bridge CPU", "package CPU", "C CPU", "JDK CPU");
        for (int i = 0; i + 1 < hs.size(); i += 2) {
            if (!hsNames.get(i).endsWith(" full") || !hsNames.get(i + 1).endsWith(" resumed")) continue;
            double[][] f = hs.get(i);
            double[][] r = hs.get(i + 1);
            String[] cells = new String[9];
            cells[0] = hsNames.get(i).replace(" full", "");
            for (int k = 0; k < 4; k++) {
                cells[1 + k] = ratio(r[0][k], f[0][k]);
                cells[5 + k] = ratio(f[1][k], r[1][k]);
            }
            line(cells);
        }
    }

    /**
     * Connections of every kind through the Java sides before any row: code
     * that runs once per connection is called too rarely within one row's
     * warm-up for the JIT to compile it, and would be timed interpreted.
     */
    static void warmUp(Server server) throws Exception {
        long end = System.nanoTime() + WARM_UP_NANOS;
        for (int version : new int[] {13, 12}) {
            try (Clients cl = new Clients(version, null)) {
                Side[] sides = cl.sides();
                for (int i : new int[] {0, 3}) {
                    if (sides[i] == null) continue;
                    for (int n = 0; n < WARM_UP_CONNECTIONS && System.nanoTime() < end; n++) {
                        sides[i].handshakes((n & 2) == 0 ? server.rsaPort : server.ecPort, (n & 1) == 0, 0, 1);
                    }
                }
            }
        }
    }

    static void table(String title, String... head) {
        System.out.printf("%n%s%n", title);
        line(head);
        String[] rule = new String[head.length];
        for (int i = 0; i < head.length; i++) rule[i] = "-".repeat(i == 0 ? 36 : 11);
        line(rule);
    }

    static void line(String... cells) {
        StringBuilder b = new StringBuilder(String.format("%-36s", cells[0]));
        for (int i = 1; i < cells.length; i++) b.append(String.format(" %11s", cells[i]));
        System.out.println(b);
    }
}
