package quill.jca;

import java.io.IOException;
import java.net.InetAddress;
import java.net.Socket;
import java.net.SocketException;

import javax.net.ssl.SSLSocketFactory;

/** TLS client sockets of a {@link TlsContext}, layered over plain connected sockets. */
final class TlsSocketFactory extends SSLSocketFactory {
    private final TlsContext tls;

    TlsSocketFactory(TlsContext tls) {
        this.tls = tls;
    }

    @Override
    public String[] getDefaultCipherSuites() {
        return tls.engineGetDefaultSSLParameters().getCipherSuites();
    }

    @Override
    public String[] getSupportedCipherSuites() {
        return TlsContext.SUITES.clone();
    }

    /** Unconnected sockets are not made: callers fall back to layering (as HttpsURLConnection does). */
    @Override
    public Socket createSocket() throws IOException {
        SocketException e = new SocketException("unconnected TLS sockets are not made");
        e.initCause(new UnsupportedOperationException());
        throw e;
    }

    @Override
    public Socket createSocket(Socket s, String host, int port, boolean autoClose) {
        return new TlsSocket(tls, s, host, port, autoClose);
    }

    @Override
    public Socket createSocket(String host, int port) throws IOException {
        return new TlsSocket(tls, new Socket(host, port), host, port, true);
    }

    @Override
    public Socket createSocket(String host, int port, InetAddress localHost, int localPort) throws IOException {
        return new TlsSocket(tls, new Socket(host, port, localHost, localPort), host, port, true);
    }

    @Override
    public Socket createSocket(InetAddress host, int port) throws IOException {
        return new TlsSocket(tls, new Socket(host, port), host.getHostName(), port, true);
    }

    @Override
    public Socket createSocket(InetAddress address, int port, InetAddress localAddress, int localPort)
            throws IOException {
        return new TlsSocket(tls, new Socket(address, port, localAddress, localPort), address.getHostName(), port,
                true);
    }
}
