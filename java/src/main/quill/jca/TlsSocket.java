package quill.jca;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.net.InetAddress;
import java.net.Socket;
import java.net.SocketAddress;
import java.net.SocketException;
import java.nio.ByteBuffer;
import java.util.List;
import java.util.concurrent.CopyOnWriteArrayList;

import javax.net.ssl.HandshakeCompletedEvent;
import javax.net.ssl.HandshakeCompletedListener;
import javax.net.ssl.SSLEngineResult;
import javax.net.ssl.SSLEngineResult.HandshakeStatus;
import javax.net.ssl.SSLException;
import javax.net.ssl.SSLParameters;
import javax.net.ssl.SSLSession;
import javax.net.ssl.SSLSocket;

/**
 * A TLS client socket layered over a connected socket, driving a
 * {@link TlsEngine} with blocking reads and writes.
 */
final class TlsSocket extends SSLSocket {
    private static final ByteBuffer EMPTY = ByteBuffer.allocate(0);

    private final Socket s;
    private final boolean autoClose;
    private final TlsEngine engine;
    private final Object readLock = new Object(), writeLock = new Object(), handshakeLock = new Object();
    private final List<HandshakeCompletedListener> listeners = new CopyOnWriteArrayList<>();
    /** Received bytes not yet taken by the engine, and decrypted bytes not yet read (both in write mode). */
    private ByteBuffer netIn = ByteBuffer.allocate(TlsSession.PACKET_SIZE);
    private ByteBuffer appIn = ByteBuffer.allocate(TlsSession.APPLICATION_SIZE);
    private final ByteBuffer netOut = ByteBuffer.allocate(TlsSession.PACKET_SIZE);
    private volatile boolean handshaken, closed;
    private final InputStream in = new In();
    private final OutputStream out = new Out();

    TlsSocket(TlsContext tls, Socket s, String host, int port, boolean autoClose) {
        this.s = s;
        this.autoClose = autoClose;
        this.engine = new TlsEngine(tls, host, port);
        SSLParameters p = engine.getSSLParameters();
        if (host != null) {
            try {
                p.setServerNames(List.of(new javax.net.ssl.SNIHostName(host)));
            } catch (IllegalArgumentException notAHostName) {
                // an address: the package checks it as it is
            }
        }
        engine.setSSLParameters(p);
    }

    // ---- the engine over the socket ----

    /** Reads more from the socket; false at its end. */
    private boolean receive() throws IOException {
        if (!netIn.hasRemaining()) {
            ByteBuffer bigger = ByteBuffer.allocate(netIn.capacity() * 2);
            netIn.flip();
            bigger.put(netIn);
            netIn = bigger;
        }
        int n = s.getInputStream().read(netIn.array(), netIn.position(), netIn.remaining());
        if (n < 0) return false;
        netIn.position(netIn.position() + n);
        return true;
    }

    private SSLEngineResult unwrapOnce() throws IOException {
        netIn.flip();
        try {
            SSLEngineResult r = engine.unwrap(netIn, appIn);
            if (r.getStatus() == SSLEngineResult.Status.BUFFER_OVERFLOW) {
                ByteBuffer bigger = ByteBuffer.allocate(appIn.capacity() * 2);
                appIn.flip();
                bigger.put(appIn);
                appIn = bigger;
            }
            return r;
        } finally {
            netIn.compact();
        }
    }

    /** Sends what the engine has to send (handshake tokens, close-notify). */
    private void flush() throws IOException {
        synchronized (writeLock) {
            while (engine.getHandshakeStatus() == HandshakeStatus.NEED_WRAP) {
                netOut.clear();
                SSLEngineResult r = engine.wrap(EMPTY, netOut);
                s.getOutputStream().write(netOut.array(), 0, netOut.position());
                if (r.bytesProduced() == 0) break;
            }
            s.getOutputStream().flush();
        }
    }

    @Override
    public void startHandshake() throws IOException {
        if (closed) throw new SocketException("socket closed");
        synchronized (handshakeLock) {
            if (handshaken) return;
            engine.beginHandshake();
            synchronized (readLock) {
                for (;;) {
                    flush();
                    HandshakeStatus hs = engine.getHandshakeStatus();
                    if (hs != HandshakeStatus.NEED_UNWRAP) break;
                    SSLEngineResult r = unwrapOnce();
                    if (r.getStatus() == SSLEngineResult.Status.BUFFER_UNDERFLOW && !receive()) {
                        throw new SSLException("the server closed the connection during the handshake");
                    }
                    if (r.getStatus() == SSLEngineResult.Status.CLOSED) throw new SSLException("closed during the handshake");
                }
            }
            handshaken = true;
        }
        HandshakeCompletedEvent e = new HandshakeCompletedEvent(this, engine.getSession());
        for (HandshakeCompletedListener l : listeners) l.handshakeCompleted(e);
    }

    private final class In extends InputStream {
        @Override
        public int read() throws IOException {
            byte[] one = new byte[1];
            int n = read(one, 0, 1);
            return n < 0 ? -1 : one[0] & 0xff;
        }

        @Override
        public int read(byte[] b, int off, int len) throws IOException {
            if (len == 0) return 0;
            startHandshake();
            synchronized (readLock) {
                for (;;) {
                    if (appIn.position() > 0) {
                        appIn.flip();
                        int n = Math.min(len, appIn.remaining());
                        appIn.get(b, off, n);
                        appIn.compact();
                        return n;
                    }
                    if (engine.isInboundDone()) return -1;
                    SSLEngineResult r = unwrapOnce();
                    if (engine.getHandshakeStatus() == HandshakeStatus.NEED_WRAP) flush();
                    if (r.getStatus() == SSLEngineResult.Status.BUFFER_UNDERFLOW && !receive()) return -1;
                }
            }
        }

        @Override
        public int available() {
            synchronized (readLock) {
                return appIn.position();
            }
        }

        @Override
        public void close() throws IOException {
            TlsSocket.this.close();
        }
    }

    private final class Out extends OutputStream {
        @Override
        public void write(int b) throws IOException {
            write(new byte[] {(byte) b}, 0, 1);
        }

        @Override
        public void write(byte[] b, int off, int len) throws IOException {
            startHandshake();
            ByteBuffer src = ByteBuffer.wrap(b, off, len);
            synchronized (writeLock) {
                while (src.hasRemaining()) {
                    netOut.clear();
                    SSLEngineResult r = engine.wrap(src, netOut);
                    if (r.getStatus() == SSLEngineResult.Status.CLOSED) throw new SocketException("the connection is closed");
                    s.getOutputStream().write(netOut.array(), 0, netOut.position());
                    if (r.bytesConsumed() == 0 && r.bytesProduced() == 0) {
                        throw new SSLException("the connection is renegotiating; read first");
                    }
                }
            }
        }

        @Override
        public void flush() throws IOException {
            s.getOutputStream().flush();
        }

        @Override
        public void close() throws IOException {
            TlsSocket.this.close();
        }
    }

    @Override
    public void close() throws IOException {
        if (closed) return;
        closed = true;
        try {
            if (handshaken && !engine.isOutboundDone() && !s.isClosed()) {
                engine.closeOutbound();
                flush();
            }
        } catch (IOException ignored) {
            // the peer may be gone already
        } finally {
            engine.dispose();
            if (autoClose) s.close();
        }
    }

    @Override
    public InputStream getInputStream() throws IOException {
        if (closed) throw new SocketException("socket closed");
        return in;
    }

    @Override
    public OutputStream getOutputStream() throws IOException {
        if (closed) throw new SocketException("socket closed");
        return out;
    }

    @Override
    public SSLSession getSession() {
        try {
            startHandshake();
        } catch (IOException e) {
            return new TlsSession(engine.getPeerHost(), engine.getPeerPort());
        }
        return engine.getSession();
    }

    @Override
    public SSLSession getHandshakeSession() {
        return engine.getHandshakeSession();
    }

    // ---- configuration, as the engine has it ----

    @Override
    public String[] getSupportedCipherSuites() {
        return engine.getSupportedCipherSuites();
    }

    @Override
    public String[] getEnabledCipherSuites() {
        return engine.getEnabledCipherSuites();
    }

    @Override
    public void setEnabledCipherSuites(String[] suites) {
        engine.setEnabledCipherSuites(suites);
    }

    @Override
    public String[] getSupportedProtocols() {
        return engine.getSupportedProtocols();
    }

    @Override
    public String[] getEnabledProtocols() {
        return engine.getEnabledProtocols();
    }

    @Override
    public void setEnabledProtocols(String[] protocols) {
        engine.setEnabledProtocols(protocols);
    }

    @Override
    public SSLParameters getSSLParameters() {
        return engine.getSSLParameters();
    }

    @Override
    public void setSSLParameters(SSLParameters params) {
        engine.setSSLParameters(params);
    }

    @Override
    public String getApplicationProtocol() {
        return engine.getApplicationProtocol();
    }

    @Override
    public void addHandshakeCompletedListener(HandshakeCompletedListener l) {
        listeners.add(l);
    }

    @Override
    public void removeHandshakeCompletedListener(HandshakeCompletedListener l) {
        listeners.remove(l);
    }

    @Override
    public void setUseClientMode(boolean mode) {
        engine.setUseClientMode(mode);
    }

    @Override
    public boolean getUseClientMode() {
        return engine.getUseClientMode();
    }

    @Override
    public void setNeedClientAuth(boolean need) {
        engine.setNeedClientAuth(need);
    }

    @Override
    public boolean getNeedClientAuth() {
        return engine.getNeedClientAuth();
    }

    @Override
    public void setWantClientAuth(boolean want) {
        engine.setWantClientAuth(want);
    }

    @Override
    public boolean getWantClientAuth() {
        return engine.getWantClientAuth();
    }

    @Override
    public void setEnableSessionCreation(boolean flag) {
        engine.setEnableSessionCreation(flag);
    }

    @Override
    public boolean getEnableSessionCreation() {
        return engine.getEnableSessionCreation();
    }

    // ---- the socket underneath ----

    @Override
    public void connect(SocketAddress endpoint, int timeout) throws IOException {
        throw new SocketException("a layered socket is connected already");
    }

    @Override
    public void bind(SocketAddress bindpoint) throws IOException {
        throw new SocketException("a layered socket is bound already");
    }

    @Override
    public InetAddress getInetAddress() {
        return s.getInetAddress();
    }

    @Override
    public InetAddress getLocalAddress() {
        return s.getLocalAddress();
    }

    @Override
    public int getPort() {
        return s.getPort();
    }

    @Override
    public int getLocalPort() {
        return s.getLocalPort();
    }

    @Override
    public SocketAddress getRemoteSocketAddress() {
        return s.getRemoteSocketAddress();
    }

    @Override
    public SocketAddress getLocalSocketAddress() {
        return s.getLocalSocketAddress();
    }

    @Override
    public boolean isConnected() {
        return s.isConnected();
    }

    @Override
    public boolean isBound() {
        return s.isBound();
    }

    @Override
    public boolean isClosed() {
        return closed || s.isClosed();
    }

    @Override
    public void setSoTimeout(int timeout) throws SocketException {
        s.setSoTimeout(timeout);
    }

    @Override
    public int getSoTimeout() throws SocketException {
        return s.getSoTimeout();
    }

    @Override
    public void setTcpNoDelay(boolean on) throws SocketException {
        s.setTcpNoDelay(on);
    }

    @Override
    public boolean getTcpNoDelay() throws SocketException {
        return s.getTcpNoDelay();
    }

    @Override
    public void setKeepAlive(boolean on) throws SocketException {
        s.setKeepAlive(on);
    }

    @Override
    public boolean getKeepAlive() throws SocketException {
        return s.getKeepAlive();
    }

    @Override
    public void shutdownInput() throws IOException {
        throw new UnsupportedOperationException("TLS sockets close as a whole");
    }

    @Override
    public void shutdownOutput() throws IOException {
        throw new UnsupportedOperationException("TLS sockets close as a whole");
    }

    @Override
    public boolean isInputShutdown() {
        return s.isInputShutdown();
    }

    @Override
    public boolean isOutputShutdown() {
        return s.isOutputShutdown();
    }

    @Override
    public String toString() {
        return "TLS client socket over " + s;
    }
}
