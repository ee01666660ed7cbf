package quill.jca;

import java.security.Principal;
import java.security.cert.Certificate;
import java.security.cert.X509Certificate;
import java.util.Map;
import java.util.concurrent.ConcurrentHashMap;

import javax.net.ssl.SSLPeerUnverifiedException;
import javax.net.ssl.SSLSession;
import javax.net.ssl.SSLSessionBindingEvent;
import javax.net.ssl.SSLSessionBindingListener;
import javax.net.ssl.SSLSessionContext;

/** What the package reported about one connection's session. */
public final class TlsSession implements SSLSession {
    static final int PACKET_SIZE = 16384 + 2048 + 5;
    static final int APPLICATION_SIZE = 16384 + 2048;

    final String host;
    final int port;
    volatile byte[] id = new byte[0];
    volatile String protocol = "NONE";
    volatile String cipherSuite = "SSL_NULL_WITH_NULL_NULL";
    volatile X509Certificate[] peer;
    volatile X509Certificate[] local;
    volatile boolean resumed;
    private volatile boolean valid = true;
    private final long created = System.currentTimeMillis();
    private final Map<String, Object> values = new ConcurrentHashMap<>();

    TlsSession(String host, int port) {
        this.host = host;
        this.port = port;
    }

    /** Whether the package resumed an earlier session of the same credential and target. */
    public boolean isResumed() {
        return resumed;
    }

    @Override
    public byte[] getId() {
        return id.clone();
    }

    @Override
    public SSLSessionContext getSessionContext() {
        return null;
    }

    @Override
    public long getCreationTime() {
        return created;
    }

    @Override
    public long getLastAccessedTime() {
        return created;
    }

    @Override
    public void invalidate() {
        valid = false;
    }

    @Override
    public boolean isValid() {
        return valid && peer != null;
    }

    @Override
    public void putValue(String name, Object value) {
        Object old = values.put(name, value);
        if (old instanceof SSLSessionBindingListener) {
            ((SSLSessionBindingListener) old).valueUnbound(new SSLSessionBindingEvent(this, name));
        }
        if (value instanceof SSLSessionBindingListener) {
            ((SSLSessionBindingListener) value).valueBound(new SSLSessionBindingEvent(this, name));
        }
    }

    @Override
    public Object getValue(String name) {
        return values.get(name);
    }

    @Override
    public void removeValue(String name) {
        Object old = values.remove(name);
        if (old instanceof SSLSessionBindingListener) {
            ((SSLSessionBindingListener) old).valueUnbound(new SSLSessionBindingEvent(this, name));
        }
    }

    @Override
    public String[] getValueNames() {
        return values.keySet().toArray(new String[0]);
    }

    @Override
    public Certificate[] getPeerCertificates() throws SSLPeerUnverifiedException {
        X509Certificate[] p = peer;
        if (p == null || p.length == 0) throw new SSLPeerUnverifiedException("peer not authenticated");
        return p.clone();
    }

    @Override
    public Certificate[] getLocalCertificates() {
        X509Certificate[] l = local;
        return l == null ? null : l.clone();
    }

    @Override
    @SuppressWarnings("removal")
    public javax.security.cert.X509Certificate[] getPeerCertificateChain() {
        throw new UnsupportedOperationException("use getPeerCertificates");
    }

    @Override
    public Principal getPeerPrincipal() throws SSLPeerUnverifiedException {
        return ((X509Certificate) getPeerCertificates()[0]).getSubjectX500Principal();
    }

    @Override
    public Principal getLocalPrincipal() {
        X509Certificate[] l = local;
        return l == null || l.length == 0 ? null : l[0].getSubjectX500Principal();
    }

    @Override
    public String getCipherSuite() {
        return cipherSuite;
    }

    @Override
    public String getProtocol() {
        return protocol;
    }

    @Override
    public String getPeerHost() {
        return host;
    }

    @Override
    public int getPeerPort() {
        return port;
    }

    @Override
    public int getPacketBufferSize() {
        return PACKET_SIZE;
    }

    @Override
    public int getApplicationBufferSize() {
        return APPLICATION_SIZE;
    }
}
