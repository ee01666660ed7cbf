package quill.jca;

import java.io.ByteArrayInputStream;
import java.lang.ref.Cleaner;
import java.nio.ByteBuffer;
import java.security.PrivateKey;
import java.security.cert.CertificateException;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.util.Arrays;
import java.util.List;
import java.util.Map;

import javax.net.ssl.SNIHostName;
import javax.net.ssl.SNIServerName;
import javax.net.ssl.SSLEngine;
import javax.net.ssl.SSLEngineResult;
import javax.net.ssl.SSLEngineResult.HandshakeStatus;
import javax.net.ssl.SSLEngineResult.Status;
import javax.net.ssl.SSLException;
import javax.net.ssl.SSLHandshakeException;
import javax.net.ssl.SSLParameters;
import javax.net.ssl.SSLSession;
import javax.net.ssl.X509ExtendedKeyManager;
import javax.net.ssl.X509ExtendedTrustManager;
import javax.net.ssl.X509KeyManager;
import javax.net.ssl.X509TrustManager;
import javax.security.auth.x500.X500Principal;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * A TLS client engine over the SSPI natives: the handshake is a series of
 * initializeSecurityContext calls whose tokens wrap() hands out, records go
 * through encryptMessage and decryptMessage one at a time. The engine keeps
 * no received bytes of its own: what the package did not take stays in the
 * caller's buffer. All methods are serialised on the engine.
 */
final class TlsEngine extends SSLEngine {
    static final int SEC_E_OK = 0;
    static final int SEC_I_CONTINUE_NEEDED = 0x00090312;
    static final int SEC_I_INCOMPLETE_CREDENTIALS = 0x00090320;
    static final int SEC_I_RENEGOTIATE = 0x00090321;
    static final int SEC_E_INCOMPLETE_MESSAGE = 0x80090318;
    /** A value the package never writes: decryptMessage leaves it at close-notify. */
    private static final long UNTOUCHED = 0x7fff_0000_0000L;
    private static final String[] CLIENT_KEY_TYPES = {"RSA", "EC", GostPublicKey.ALGORITHM};
    private static final int MAX_PLAINTEXT = 16384;
    /** Room for a record's header and trailer beyond its data (the package reports a 128-byte trailer). */
    private static final int RECORD_OVERHEAD = 5 + 128;

    private static final Map<Integer, String> STATUS = Map.ofEntries(
            Map.entry(0x80090300, "SEC_E_INSUFFICIENT_MEMORY"), Map.entry(0x80090301, "SEC_E_INVALID_HANDLE"),
            Map.entry(0x80090304, "SEC_E_INTERNAL_ERROR"), Map.entry(0x80090308, "SEC_E_INVALID_TOKEN"),
            Map.entry(0x8009030D, "SEC_E_UNKNOWN_CREDENTIALS"), Map.entry(0x8009030E, "SEC_E_NO_CREDENTIALS"),
            Map.entry(0x8009030F, "SEC_E_MESSAGE_ALTERED"), Map.entry(0x80090310, "SEC_E_OUT_OF_SEQUENCE"),
            Map.entry(0x80090317, "SEC_E_CONTEXT_EXPIRED"), Map.entry(0x80090318, "SEC_E_INCOMPLETE_MESSAGE"),
            Map.entry(0x80090322, "SEC_E_WRONG_PRINCIPAL"), Map.entry(0x80090325, "SEC_E_UNTRUSTED_ROOT"),
            Map.entry(0x80090326, "SEC_E_ILLEGAL_MESSAGE"), Map.entry(0x80090327, "SEC_E_CERT_UNKNOWN"),
            Map.entry(0x80090328, "SEC_E_CERT_EXPIRED"), Map.entry(0x80090329, "SEC_E_ENCRYPT_FAILURE"),
            Map.entry(0x80090330, "SEC_E_DECRYPT_FAILURE"), Map.entry(0x80090331, "SEC_E_ALGORITHM_MISMATCH"),
            Map.entry(0x8009035D, "SEC_E_INVALID_PARAMETER"), Map.entry(0x00090317, "SEC_I_CONTEXT_EXPIRED"));

    static String statusName(int st) {
        return Native.hex(st) + (STATUS.containsKey(st) ? " " + STATUS.get(st) : "");
    }

    private enum State { NEW, HANDSHAKING, OPEN, CLOSED }

    private final TlsContext tls;
    private SSLParameters params;
    private TlsContext.Credential cred;
    private final long[] context = new long[2];
    private Cleaner.Cleanable contextHandle;
    private State state = State.NEW;
    private boolean useSuppliedCreds, certificateChosen;
    private byte[] out = new byte[0];
    private int outOff;
    private boolean inboundDone, outboundDone, closeRequested, finishedPending;
    private TlsSession session;

    TlsEngine(TlsContext tls, String host, int port) {
        super(host, port);
        this.tls = tls;
        this.params = tls.engineGetDefaultSSLParameters();
        this.session = new TlsSession(host, port);
    }

    // ---- configuration ----

    @Override
    public String[] getSupportedCipherSuites() {
        return TlsContext.SUITES.clone();
    }

    @Override
    public String[] getEnabledCipherSuites() {
        return params.getCipherSuites();
    }

    @Override
    public synchronized void setEnabledCipherSuites(String[] suites) {
        params.setCipherSuites(suites.clone());
    }

    @Override
    public String[] getSupportedProtocols() {
        return TlsContext.PROTOCOLS.clone();
    }

    @Override
    public String[] getEnabledProtocols() {
        return params.getProtocols();
    }

    @Override
    public synchronized void setEnabledProtocols(String[] protocols) {
        params.setProtocols(protocols.clone());
    }

    @Override
    public synchronized SSLParameters getSSLParameters() {
        return copy(params);
    }

    /** Protocols, suites, the endpoint check and the server name; application protocols are not negotiated. */
    @Override
    public synchronized void setSSLParameters(SSLParameters p) {
        SSLParameters mine = copy(p);
        if (p.getCipherSuites() == null) mine.setCipherSuites(params.getCipherSuites());
        if (p.getProtocols() == null) mine.setProtocols(params.getProtocols());
        params = mine;
    }

    private static SSLParameters copy(SSLParameters p) {
        SSLParameters c = new SSLParameters(p.getCipherSuites(), p.getProtocols());
        c.setEndpointIdentificationAlgorithm(p.getEndpointIdentificationAlgorithm());
        c.setAlgorithmConstraints(p.getAlgorithmConstraints());
        if (p.getServerNames() != null) c.setServerNames(p.getServerNames());
        c.setApplicationProtocols(p.getApplicationProtocols());
        return c;
    }

    @Override
    public void setUseClientMode(boolean mode) {
        if (!mode) throw new IllegalArgumentException("the package serves the client side only");
    }

    @Override
    public boolean getUseClientMode() {
        return true;
    }

    @Override
    public void setNeedClientAuth(boolean need) {}

    @Override
    public boolean getNeedClientAuth() {
        return false;
    }

    @Override
    public void setWantClientAuth(boolean want) {}

    @Override
    public boolean getWantClientAuth() {
        return false;
    }

    @Override
    public void setEnableSessionCreation(boolean flag) {}

    @Override
    public boolean getEnableSessionCreation() {
        return true;
    }

    @Override
    public synchronized SSLSession getSession() {
        return state == State.OPEN || (state == State.CLOSED && session.peer != null) ? session
                : new TlsSession(getPeerHost(), getPeerPort());
    }

    @Override
    public synchronized SSLSession getHandshakeSession() {
        return state == State.HANDSHAKING ? session : null;
    }

    @Override
    public synchronized String getApplicationProtocol() {
        return state == State.OPEN ? "" : null;
    }

    @Override
    public String getHandshakeApplicationProtocol() {
        return null;
    }

    @Override
    public Runnable getDelegatedTask() {
        return null;
    }

    // ---- state ----

    /** The name the package checks the certificate against and caches sessions by. */
    private String target() {
        List<SNIServerName> names = params.getServerNames();
        if (names != null) {
            for (SNIServerName n : names) if (n instanceof SNIHostName) return ((SNIHostName) n).getAsciiName();
        }
        return getPeerHost();
    }

    private boolean hasPending() {
        return outOff < out.length;
    }

    private void queue(byte[] token) {
        if (token == null || token.length == 0) return;
        if (!hasPending()) {
            out = token;
            outOff = 0;
            return;
        }
        byte[] joined = Arrays.copyOf(Arrays.copyOfRange(out, outOff, out.length), out.length - outOff + token.length);
        System.arraycopy(token, 0, joined, out.length - outOff, token.length);
        out = joined;
        outOff = 0;
    }

    @Override
    public synchronized HandshakeStatus getHandshakeStatus() {
        if (hasPending() || (closeRequested && !outboundDone)) return HandshakeStatus.NEED_WRAP;
        if (state == State.HANDSHAKING) return HandshakeStatus.NEED_UNWRAP;
        return HandshakeStatus.NOT_HANDSHAKING;
    }

    /** FINISHED once, when the handshake's last bytes have gone out. */
    private HandshakeStatus statusAfter() {
        if (finishedPending && !hasPending()) {
            finishedPending = false;
            return HandshakeStatus.FINISHED;
        }
        return getHandshakeStatus();
    }

    private SSLEngineResult result(Status s, int consumed, int produced) {
        return new SSLEngineResult(s, statusAfter(), consumed, produced);
    }

    /** Ends the connection after a failure: nothing more goes in or out. */
    private SSLException fail(SSLException e) {
        state = State.CLOSED;
        inboundDone = outboundDone = true;
        out = new byte[0];
        outOff = 0;
        deleteContext();
        return e;
    }

    private void deleteContext() {
        if (contextHandle != null) contextHandle.clean();
    }

    private SSLException statusFailure(String what, int st) {
        String m = what + " failed (SSPI status " + statusName(st) + ")";
        return st == SEC_E_OK || state == State.OPEN ? new SSLException(m) : new SSLHandshakeException(m);
    }

    @Override
    public synchronized void beginHandshake() throws SSLException {
        if (state == State.NEW) start();
        else if (state == State.CLOSED) throw new SSLException("the engine is closed");
    }

    private void start() throws SSLException {
        if (outboundDone) throw new SSLException("the engine is closed");
        cred = tls.credential(params.getProtocols(), params.getCipherSuites(), null, null);
        long[] result = {0};
        int[] inLen = {0};
        byte[] token = CAPI.initializeSecurityContext(cred.handle, context, target(), false, false, null, inLen, result);
        if (context[0] != 0 || context[1] != 0) {
            long[] h = context.clone();
            contextHandle = Native.CLEANER.register(this, () -> CAPI.deleteSecurityContext(h));
        }
        int st = (int) result[0];
        if (st != SEC_I_CONTINUE_NEEDED) throw fail(statusFailure("the first handshake step", st));
        state = State.HANDSHAKING;
        queue(token);
    }

    /** One handshake step over {@code n} received bytes; returns how many the package took. */
    private int step(byte[] in, int n) throws SSLException {
        byte[] received = in.clone();
        for (int round = 0;; round++) {
            long[] result = {0};
            int[] inLen = {n};
            byte[] token = CAPI.initializeSecurityContext(cred.handle, context, target(), false, useSuppliedCreds, in,
                    inLen, result);
            int st = (int) result[0];
            queue(token);
            if (st == SEC_I_INCOMPLETE_CREDENTIALS && round < 2) {
                // The server asks for a certificate the credential lacks; the
                // same bytes go again with one, or with the promise to go on without.
                chooseClientCredential();
                System.arraycopy(received, 0, in, 0, n);
                continue;
            }
            int consumed = n - inLen[0];
            if (st == SEC_I_CONTINUE_NEEDED) return consumed;
            if (st == SEC_E_INCOMPLETE_MESSAGE) return 0;
            if (st == SEC_E_OK) {
                established();
                return consumed;
            }
            throw fail(statusFailure("the handshake", st));
        }
    }

    private void chooseClientCredential() throws SSLException {
        if (certificateChosen) {
            useSuppliedCreds = true;
            return;
        }
        certificateChosen = true;
        long[] result = {0};
        byte[][] names = CAPI.getIssuers(context, result);
        X500Principal[] issuers = new X500Principal[names == null ? 0 : names.length];
        for (int i = 0; i < issuers.length; i++) issuers[i] = new X500Principal(names[i]);
        X509KeyManager km = tls.keyManager();
        String alias = km instanceof X509ExtendedKeyManager
                ? ((X509ExtendedKeyManager) km).chooseEngineClientAlias(CLIENT_KEY_TYPES, issuers, this)
                : km.chooseClientAlias(CLIENT_KEY_TYPES, issuers, null);
        PrivateKey key = alias == null ? null : km.getPrivateKey(alias);
        X509Certificate[] chain = alias == null ? null : km.getCertificateChain(alias);
        if (key == null || chain == null || chain.length == 0) {
            useSuppliedCreds = true;
            return;
        }
        try {
            CspPrivateKey k = tls.clientKey(key, chain);
            cred = tls.credential(params.getProtocols(), params.getCipherSuites(), k, chain[0]);
            session.local = chain.clone();
        } catch (java.security.KeyStoreException e) {
            throw fail(new SSLHandshakeException("the client key cannot be used: " + e.getMessage()));
        }
    }

    /** The handshake is complete: the session's facts, then the caller's trust manager, if any. */
    private void established() throws SSLException {
        int[] protocol = {0};
        int[] suite = {0};
        int st = CAPI.getCipherInfo(context, protocol, suite);
        if (st != 0) throw fail(statusFailure("the cipher query", st));
        TlsSession s = session;
        s.protocol = protocol[0] == TlsContext.SP_PROT_TLS1_3_CLIENT ? "TLSv1.3" : "TLSv1.2";
        int i = 0;
        while (i < TlsContext.SUITE_IDS.length && TlsContext.SUITE_IDS[i] != suite[0]) i++;
        s.cipherSuite = i < TlsContext.SUITES.length ? TlsContext.SUITES[i] : String.format("0x%04X", suite[0]);
        long[] result = {0};
        int[] reconnect = {0};
        byte[] id = CAPI.getSessionInfo(context, reconnect, result);
        if (result[0] == 0 && id != null) {
            s.id = id;
            s.resumed = reconnect[0] == 1;
        }
        byte[][] chain = CAPI.getRemoteCertificates(context, result);
        try {
            CertificateFactory cf = CertificateFactory.getInstance("X.509");
            X509Certificate[] peer = new X509Certificate[chain == null ? 0 : chain.length];
            for (int k = 0; k < peer.length; k++) {
                peer[k] = (X509Certificate) cf.generateCertificate(new ByteArrayInputStream(chain[k]));
            }
            s.peer = peer;
            X509TrustManager tm = tls.trustManager();
            if (tm != null) {
                if (peer.length == 0) throw new CertificateException("the server sent no certificate");
                String authType = authType(s, peer[0]);
                if (tm instanceof X509ExtendedTrustManager) {
                    ((X509ExtendedTrustManager) tm).checkServerTrusted(peer, authType, this);
                } else {
                    tm.checkServerTrusted(peer, authType);
                }
            }
        } catch (CertificateException e) {
            SSLHandshakeException h = new SSLHandshakeException("the server is not trusted: " + e.getMessage());
            h.initCause(e);
            throw fail(h);
        }
        state = State.OPEN;
        finishedPending = true;
    }

    private static String authType(TlsSession s, X509Certificate leaf) {
        String suite = s.cipherSuite;
        if (suite.startsWith("TLS_ECDHE_RSA")) return "ECDHE_RSA";
        if (suite.startsWith("TLS_ECDHE_ECDSA")) return "ECDHE_ECDSA";
        if (suite.startsWith("TLS_DHE_RSA")) return "DHE_RSA";
        return "EC".equals(leaf.getPublicKey().getAlgorithm()) ? "ECDHE_ECDSA" : "ECDHE_RSA";
    }

    // ---- wrap and unwrap ----

    private int drain(ByteBuffer dst) {
        int n = Math.min(dst.remaining(), out.length - outOff);
        dst.put(out, outOff, n);
        outOff += n;
        return n;
    }

    @Override
    public synchronized SSLEngineResult wrap(ByteBuffer[] srcs, int offset, int length, ByteBuffer dst)
            throws SSLException {
        if (dst.isReadOnly()) throw new java.nio.ReadOnlyBufferException();
        if (state == State.NEW && !outboundDone) start();
        if (!hasPending() && closeRequested && !outboundDone) {
            if (state == State.OPEN || state == State.HANDSHAKING) {
                long[] result = {0};
                int[] none = {0};
                queue(CAPI.initializeSecurityContext(cred.handle, context, target(), true, false, null, none, result));
            }
            outboundDone = true;
        }
        if (hasPending()) {
            int n = drain(dst);
            if (n == 0) return result(Status.BUFFER_OVERFLOW, 0, 0);
            return result(outboundDone && !hasPending() ? Status.CLOSED : Status.OK, 0, n);
        }
        if (outboundDone || state == State.CLOSED) return result(Status.CLOSED, 0, 0);
        if (state != State.OPEN) return result(Status.OK, 0, 0);
        int avail = 0;
        for (int i = offset; i < offset + length; i++) avail += srcs[i].remaining();
        if (avail == 0) return result(Status.OK, 0, 0);
        int n = Math.min(avail, MAX_PLAINTEXT);
        if (dst.remaining() < n + RECORD_OVERHEAD) return result(Status.BUFFER_OVERFLOW, 0, 0);
        byte[] data = new byte[n];
        for (int i = offset, got = 0; got < n; i++) {
            int k = Math.min(srcs[i].remaining(), n - got);
            srcs[i].get(data, got, k);
            got += k;
        }
        int[] off = {0};
        int[] left = {n};
        long[] result = {0};
        byte[] record = CAPI.encryptMessage(context, data, off, left, result);
        Native.wipe(data);
        int st = (int) result[0];
        if (st != SEC_E_OK || record == null) throw fail(statusFailure("encryption", st));
        dst.put(record);
        return result(Status.OK, n, record.length);
    }

    @Override
    public synchronized SSLEngineResult unwrap(ByteBuffer src, ByteBuffer[] dsts, int offset, int length)
            throws SSLException {
        if (inboundDone) return result(Status.CLOSED, 0, 0);
        if (state == State.NEW) {
            start();
            return result(Status.OK, 0, 0);
        }
        if (state == State.CLOSED) return result(Status.CLOSED, 0, 0);
        if (hasPending()) return result(Status.OK, 0, 0);
        int p = src.position();
        if (state == State.HANDSHAKING) {
            int n = src.remaining();
            if (n == 0) return result(Status.BUFFER_UNDERFLOW, 0, 0);
            byte[] in = new byte[n];
            src.duplicate().get(in);
            int consumed = step(in, n);
            src.position(p + consumed);
            if (consumed == 0 && state == State.HANDSHAKING && !hasPending()) {
                return result(Status.BUFFER_UNDERFLOW, 0, 0);
            }
            return result(Status.OK, consumed, 0);
        }
        // One record at a time.
        if (src.remaining() < 5) return result(Status.BUFFER_UNDERFLOW, 0, 0);
        int recLen = 5 + ((src.get(p + 3) & 0xff) << 8 | (src.get(p + 4) & 0xff));
        if (recLen > TlsSession.PACKET_SIZE) throw fail(new SSLException("a record of " + recLen + " bytes"));
        if (src.remaining() < recLen) return result(Status.BUFFER_UNDERFLOW, 0, 0);
        int room = 0;
        for (int i = offset; i < offset + length; i++) room += dsts[i].remaining();
        if (room < recLen - 5) return result(Status.BUFFER_OVERFLOW, 0, 0);
        byte[] rec = new byte[recLen];
        src.duplicate().get(rec);
        int[] inLen = {recLen};
        long[] result = {UNTOUCHED};
        byte[] plain = CAPI.decryptMessage(context, rec, inLen, result);
        if (result[0] == UNTOUCHED) {
            // The server's close-notify: answer with ours.
            src.position(p + recLen);
            inboundDone = true;
            closeRequested = true;
            return result(Status.CLOSED, recLen, 0);
        }
        int st = (int) result[0];
        if (st == SEC_E_INCOMPLETE_MESSAGE) return result(Status.BUFFER_UNDERFLOW, 0, 0);
        if (st != SEC_E_OK && st != SEC_I_RENEGOTIATE) throw fail(statusFailure("decryption", st));
        int consumed = recLen - inLen[0];
        src.position(p + consumed);
        int produced = 0;
        if (plain != null) {
            for (int i = offset; i < offset + length && produced < plain.length; i++) {
                int k = Math.min(dsts[i].remaining(), plain.length - produced);
                dsts[i].put(plain, produced, k);
                produced += k;
            }
            Native.wipe(plain);
        }
        if (st == SEC_I_RENEGOTIATE) {
            // The server asked for a new handshake; it continues from nothing received.
            state = State.HANDSHAKING;
            certificateChosen = false;
            step(new byte[0], 0);
        }
        return result(Status.OK, consumed, produced);
    }

    // ---- closing ----

    @Override
    public synchronized void closeInbound() {
        inboundDone = true;
        if (!outboundDone) closeOutbound();
    }

    @Override
    public synchronized boolean isInboundDone() {
        return inboundDone;
    }

    @Override
    public synchronized void closeOutbound() {
        closeRequested = true;
        if (state == State.NEW) {
            outboundDone = true;
            state = State.CLOSED;
        }
    }

    @Override
    public synchronized boolean isOutboundDone() {
        return outboundDone && !hasPending();
    }

    /** Gives the security context back now (also done once the engine is unreachable). */
    synchronized void dispose() {
        deleteContext();
    }
}
