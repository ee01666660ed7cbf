package quill.jca;

import java.lang.ref.Cleaner;
import java.lang.ref.Reference;
import java.security.KeyManagementException;
import java.security.KeyStore;
import java.security.KeyStoreException;
import java.security.PrivateKey;
import java.security.SecureRandom;
import java.security.cert.CertificateEncodingException;
import java.security.cert.X509Certificate;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.Enumeration;
import java.util.List;
import java.util.Map;
import java.util.WeakHashMap;
import java.util.concurrent.ConcurrentHashMap;

import javax.net.ssl.KeyManager;
import javax.net.ssl.KeyManagerFactory;
import javax.net.ssl.SSLContextSpi;
import javax.net.ssl.SSLEngine;
import javax.net.ssl.SSLException;
import javax.net.ssl.SSLParameters;
import javax.net.ssl.SSLServerSocketFactory;
import javax.net.ssl.SSLSession;
import javax.net.ssl.SSLSessionContext;
import javax.net.ssl.SSLSocketFactory;
import javax.net.ssl.TrustManager;
import javax.net.ssl.X509KeyManager;
import javax.net.ssl.X509TrustManager;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * The TLS client context over the CSP's SSPI. Without a trust manager the
 * package checks the server itself against the CSP's ROOT store and the
 * target name; with one, the package leaves the checks to it. Client
 * certificates come from the given key manager, or else from the "MY" key
 * store. Credentials are kept per protocol set, suites and client key, and
 * the package resumes sessions per credential and target name.
 */
public final class TlsContext extends SSLContextSpi {
    static final String[] PROTOCOLS = {"TLSv1.3", "TLSv1.2"};
    static final int SP_PROT_TLS1_2_CLIENT = 0x800;
    static final int SP_PROT_TLS1_3_CLIENT = 0x2000;

    /** The suites the package offers, by IANA number; the credential names one by its low byte. */
    static final int[] SUITE_IDS = {0x1301, 0x1302, 0x1303, 0xC02B, 0xC02C, 0xC02F, 0xC030, 0xCCA9, 0xCCA8, 0x009E,
        0x009F};
    static final String[] SUITES = {"TLS_AES_128_GCM_SHA256", "TLS_AES_256_GCM_SHA384",
        "TLS_CHACHA20_POLY1305_SHA256", "TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256",
        "TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384", "TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256",
        "TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384", "TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256",
        "TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256", "TLS_DHE_RSA_WITH_AES_128_GCM_SHA256",
        "TLS_DHE_RSA_WITH_AES_256_GCM_SHA384"};

    private final String[] defaultProtocols;
    private volatile boolean initialized;
    private volatile X509KeyManager keyManager;
    private volatile X509TrustManager trustManager;
    private final Map<String, Credential> credentials = new ConcurrentHashMap<>();
    /** Software client keys of the key manager, each moved into a container once. */
    private final Map<PrivateKey, CspPrivateKey> clientKeys = Collections.synchronizedMap(new WeakHashMap<>());

    public TlsContext() {
        this(PROTOCOLS);
    }

    TlsContext(String[] defaultProtocols) {
        this.defaultProtocols = defaultProtocols;
    }

    /** A client credential of the package, freed once nothing uses it. */
    static final class Credential {
        final long[] handle;
        final CspPrivateKey key;
        private final Cleaner.Cleanable cleanable;

        Credential(long[] handle, CspPrivateKey key) {
            this.handle = handle;
            this.key = key;
            long[] h = handle.clone();
            this.cleanable = Native.CLEANER.register(this, () -> CAPI.freeCredentialsHandle(h));
        }

        void free() {
            cleanable.clean();
        }
    }

    @Override
    protected void engineInit(KeyManager[] km, TrustManager[] tm, SecureRandom sr) throws KeyManagementException {
        keyManager = null;
        trustManager = null;
        for (KeyManager k : km == null ? new KeyManager[0] : km) {
            if (k instanceof X509KeyManager) {
                keyManager = (X509KeyManager) k;
                break;
            }
        }
        for (TrustManager t : tm == null ? new TrustManager[0] : tm) {
            if (t instanceof X509TrustManager) {
                trustManager = (X509TrustManager) t;
                break;
            }
        }
        // Engines made before keep theirs; the cleaner frees them after.
        credentials.clear();
        clientKeys.clear();
        initialized = true;
    }

    void checkInitialized() {
        if (!initialized) throw new IllegalStateException("SSLContext is not initialized");
    }

    X509TrustManager trustManager() {
        return trustManager;
    }

    /** The caller's key manager, else one over the CSP's "MY" store (made on first use). */
    X509KeyManager keyManager() throws SSLException {
        X509KeyManager km = keyManager;
        if (km != null) return km;
        try {
            KeyStore my = KeyStore.getInstance("MY", new QuillProvider());
            my.load(null, null);
            KeyManagerFactory kmf = KeyManagerFactory.getInstance("SunX509");
            kmf.init(my, new char[0]);
            km = (X509KeyManager) kmf.getKeyManagers()[0];
            keyManager = km;
            return km;
        } catch (java.security.GeneralSecurityException | java.io.IOException e) {
            throw new SSLException("cannot read the MY store for a client certificate", e);
        }
    }

    /** The CSP key for a key manager's client key: its own, or a software key's container. */
    CspPrivateKey clientKey(PrivateKey key, X509Certificate[] chain) throws KeyStoreException {
        if (key instanceof CspPrivateKey) return CspKeyStore.cspKey(key, chain, false);
        synchronized (clientKeys) {
            CspPrivateKey k = clientKeys.get(key);
            if (k == null || k.isDestroyed()) {
                k = CspKeyStore.cspKey(key, chain, false);
                clientKeys.put(key, k);
            }
            return k;
        }
    }

    static int protocolMask(String[] protocols) {
        int mask = 0;
        for (String p : protocols) {
            if (p.equals("TLSv1.2")) mask |= SP_PROT_TLS1_2_CLIENT;
            else if (p.equals("TLSv1.3")) mask |= SP_PROT_TLS1_3_CLIENT;
        }
        return mask;
    }

    /** The credential for these protocols and suites, with the client key and certificate when given. */
    Credential credential(String[] protocols, String[] suites, CspPrivateKey key, X509Certificate cert)
            throws SSLException {
        int mask = protocolMask(protocols);
        if (mask == 0) throw new SSLException("no protocol enabled (the package offers TLSv1.2 and TLSv1.3)");
        List<Integer> ids = new ArrayList<>();
        for (String s : suites) {
            int i = Arrays.asList(SUITES).indexOf(s);
            if (i >= 0) ids.add(SUITE_IDS[i] & 0xff);
        }
        if (ids.isEmpty()) throw new SSLException("no cipher suite enabled that the package offers");
        int[] list = ids.size() == SUITES.length ? null : ids.stream().mapToInt(Integer::intValue).toArray();
        byte[] der;
        try {
            der = cert == null ? null : cert.getEncoded();
        } catch (CertificateEncodingException e) {
            throw new SSLException(e);
        }
        boolean auto = trustManager == null;
        String id = mask + "|" + Arrays.toString(list) + "|" + auto + "|"
                + (der == null ? "" : Arrays.hashCode(der) + "@" + System.identityHashCode(key));
        Credential c = credentials.get(id);
        if (c != null) return c;
        long[] handle = new long[2];
        int st = CAPI.acquireCredentialsHandle(true, mask == (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT) ? 0 : mask,
                list, list == null ? 0 : list.length, der, der == null ? 0 : der.length, key == null ? 0 : key.hProv,
                key == null ? 0 : key.keySpec, handle, auto);
        Reference.reachabilityFence(key);
        if (st != 0) throw new SSLException("no TLS credential (SSPI status " + TlsEngine.statusName(st) + ")");
        c = new Credential(handle, key);
        Credential raced = credentials.putIfAbsent(id, c);
        if (raced != null) {
            c.free();
            return raced;
        }
        return c;
    }

    String[] defaultProtocols() {
        return defaultProtocols.clone();
    }

    @Override
    protected SSLSocketFactory engineGetSocketFactory() {
        checkInitialized();
        return new TlsSocketFactory(this);
    }

    @Override
    protected SSLServerSocketFactory engineGetServerSocketFactory() {
        throw new UnsupportedOperationException("the package serves the client side only");
    }

    @Override
    protected SSLEngine engineCreateSSLEngine() {
        return engineCreateSSLEngine(null, -1);
    }

    @Override
    protected SSLEngine engineCreateSSLEngine(String host, int port) {
        checkInitialized();
        return new TlsEngine(this, host, port);
    }

    /** Sessions are kept by the package per credential; nothing to list here. */
    private static final SSLSessionContext NO_SESSIONS = new SSLSessionContext() {
        @Override
        public SSLSession getSession(byte[] sessionId) {
            return null;
        }

        @Override
        public Enumeration<byte[]> getIds() {
            return Collections.emptyEnumeration();
        }

        @Override
        public void setSessionTimeout(int seconds) {}

        @Override
        public int getSessionTimeout() {
            return 0;
        }

        @Override
        public void setSessionCacheSize(int size) {}

        @Override
        public int getSessionCacheSize() {
            return 0;
        }
    };

    @Override
    protected SSLSessionContext engineGetServerSessionContext() {
        return NO_SESSIONS;
    }

    @Override
    protected SSLSessionContext engineGetClientSessionContext() {
        return NO_SESSIONS;
    }

    @Override
    protected SSLParameters engineGetDefaultSSLParameters() {
        return new SSLParameters(SUITES.clone(), defaultProtocols.clone());
    }

    @Override
    protected SSLParameters engineGetSupportedSSLParameters() {
        return new SSLParameters(SUITES.clone(), PROTOCOLS.clone());
    }
}
