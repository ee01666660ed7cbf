package bench;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.util.concurrent.TimeUnit;

/**
 * The C client of the TLS rows: bench_tls_client, libssl over memory BIOs in
 * a process of its own, which times itself; the same process also drives the
 * platform's SSPI package from C++ (the "package" side). One command is one
 * download or one round of connections; see native/tls_client.cpp.
 */
final class CClient implements AutoCloseable {
    final Process process;
    final BufferedReader in;
    final OutputStream out;

    CClient(String path) throws IOException {
        process = start(path);
        in = new BufferedReader(new InputStreamReader(process.getInputStream(), StandardCharsets.US_ASCII));
        out = process.getOutputStream();
    }

    /** A helper program of the bench, its errors on ours, killed when the JVM exits. */
    static Process start(String path) throws IOException {
        Process p = new ProcessBuilder(path).redirectError(ProcessBuilder.Redirect.INHERIT).start();
        Runtime.getRuntime().addShutdownHook(new Thread(p::destroyForcibly));
        return p;
    }

    long[] command(String line) throws IOException {
        out.write((line + "\n").getBytes(StandardCharsets.US_ASCII));
        out.flush();
        String answer = in.readLine();
        if (answer == null || answer.equals("error"))
            throw new IllegalStateException("C client: " + line + ": " + answer);
        String[] f = answer.trim().split(" ");
        long[] v = new long[f.length];
        for (int i = 0; i < f.length; i++) v[i] = Long.parseLong(f[i]);
        return v;
    }

    /**
     * One download with the last session offered: {wall ns, CPU ns}. With
     * `pkg` the connection goes through the platform's SSPI package instead
     * of libssl directly.
     */
    long[] download(boolean pkg, int version, int port, int readSize, long bytes, boolean check) throws IOException {
        return command((pkg ? "D " : "d ") + version + " " + port + " " + readSize + " " + bytes + " "
                + (check ? 1 : 0));
    }

    /**
     * Connections for at least `nanos` and `count` connections, offering the
     * last session when `resume`: {connections, wall ns, CPU ns, resumed}.
     */
    long[] handshakes(boolean pkg, int version, int port, boolean resume, long nanos, int count) throws IOException {
        return command((pkg ? "H " : "h ") + version + " " + port + " " + (resume ? 1 : 0) + " " + nanos + " " + count);
    }

    @Override
    public void close() throws Exception {
        out.close();
        if (!process.waitFor(5, TimeUnit.SECONDS)) process.destroyForcibly().waitFor();
    }
}
