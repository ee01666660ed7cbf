package bench;

/**
 * The C client of the TLS rows (libquillbenchtls): libssl over memory BIOs,
 * fed from the socket in reads of the caller's size. One call is one whole
 * connection, so nothing of Java is in its figures but the call itself.
 */
final class CClient {
    static {
        System.loadLibrary("quillbenchtls");
    }

    private CClient() {}

    /** A client context for TLS 1.2 only (12) or up to TLS 1.3 (13); 0 on failure. */
    static native long context(int version);

    static native void free(long context);

    /**
     * One connection to the server on 127.0.0.1:port, offering the context's
     * last session when `resume`: the data bytes received times 2, plus 1 when
     * the server resumed a session; -1 on failure. `check` compares every byte
     * with the server's pattern.
     */
    static native long connect(long context, int port, boolean resume, int readSize, long bytes, boolean check);
}
