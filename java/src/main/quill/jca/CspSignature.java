package quill.jca;

import java.lang.ref.Cleaner;
import java.lang.ref.Reference;
import java.security.InvalidKeyException;
import java.security.InvalidParameterException;
import java.security.PrivateKey;
import java.security.PublicKey;
import java.security.SignatureException;
import java.security.SignatureSpi;
import java.security.interfaces.RSAPublicKey;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * Signatures with CSP-held private keys, and verification with standard
 * public keys imported into a context of their own. The CSP's signatures are
 * little-endian; this class speaks the standard big-endian form (PKCS #1 for
 * RSA, s || r for GOST R 34.10-2012, as BouncyCastle does).
 */
abstract class CspSignature extends SignatureSpi {
    private final int hashAlg;
    private final boolean gost;
    private final int gostBits;

    private CspPrivateKey signKey;
    private long verifyProv, verifyKey;
    private Cleaner.Cleanable verifyHandles;
    private HashObject hash;
    private final byte[] pending = new byte[4096];
    private int pendingLen;

    CspSignature(int hashAlg, int gostBits) {
        this.hashAlg = hashAlg;
        this.gost = gostBits != 0;
        this.gostBits = gostBits;
    }

    @Override
    protected void engineInitSign(PrivateKey key) throws InvalidKeyException {
        if (!(key instanceof CspPrivateKey) || ((CspPrivateKey) key).isDestroyed()) {
            throw new InvalidKeyException("not a key of this provider's CSP: " + (key == null ? null : key.getClass()));
        }
        CspPrivateKey k = (CspPrivateKey) key;
        boolean isGost = k.publicKey instanceof GostPublicKey;
        if (isGost != gost || (gost && k.bits() != gostBits)) {
            throw new InvalidKeyException(k.getAlgorithm() + " " + k.bits() + "-bit key for " + getClass().getSimpleName());
        }
        reset();
        releaseVerifyKey();
        signKey = k;
    }

    @Override
    protected void engineInitVerify(PublicKey key) throws InvalidKeyException {
        if (key == null) throw new InvalidKeyException("no key");
        boolean isGost = !(key instanceof RSAPublicKey);
        if (isGost != gost || (gost && Keys.gostBits(key) != gostBits)) {
            throw new InvalidKeyException(key.getAlgorithm() + " key for " + getClass().getSimpleName());
        }
        long[] pk = Keys.importPublic(key, false);
        reset();
        releaseVerifyKey();
        signKey = null;
        verifyProv = pk[0];
        verifyKey = pk[1];
        verifyHandles = Native.CLEANER.register(this, Native.keyRelease(pk[1], pk[0]));
    }

    private void releaseVerifyKey() {
        if (verifyHandles != null) verifyHandles.clean();
        verifyHandles = null;
        verifyProv = verifyKey = 0;
    }

    private void reset() {
        if (hash != null) hash.reset();
        hash = null;
        pendingLen = 0;
    }

    /** The hash in the key's context (signing) or the verification key's. */
    private HashObject hash() throws SignatureException {
        if (hash == null) {
            long hProv = signKey != null ? signKey.hProv : verifyProv;
            if (hProv == 0) throw new SignatureException("not initialised");
            hash = new HashObject(hProv, hashAlg, 0, 0);
        }
        return hash;
    }

    private long flush() throws SignatureException {
        try {
            HashObject h = hash();
            h.update(pending, 0, pendingLen);
            pendingLen = 0;
            return h.handle();
        } catch (java.security.ProviderException e) {
            throw new SignatureException(e.getMessage(), e);
        } finally {
            Reference.reachabilityFence(signKey);
        }
    }

    @Override
    protected void engineUpdate(byte b) throws SignatureException {
        if (pendingLen == pending.length) flush();
        pending[pendingLen++] = b;
    }

    @Override
    protected void engineUpdate(byte[] b, int off, int len) throws SignatureException {
        if (len <= pending.length - pendingLen) {
            System.arraycopy(b, off, pending, pendingLen, len);
            pendingLen += len;
            return;
        }
        flush();
        try {
            hash.update(b, off, len);
        } catch (java.security.ProviderException e) {
            throw new SignatureException(e.getMessage(), e);
        }
    }

    @Override
    protected byte[] engineSign() throws SignatureException {
        if (signKey == null) throw new SignatureException("not initialised for signing");
        try {
            long h = flush();
            int[] len = {0};
            int rc = CAPI.cryptSignHash(h, signKey.keySpec, null, 0, null, len);
            byte[] sig = new byte[Math.max(len[0], 1)];
            if (rc == 0) rc = CAPI.cryptSignHash(h, signKey.keySpec, null, 0, sig, len);
            if (rc != 0) throw new SignatureException("the CSP did not sign: " + Native.hex(rc));
            return Native.reversed(sig, len[0]);
        } finally {
            Reference.reachabilityFence(signKey);
            reset();
        }
    }

    @Override
    protected boolean engineVerify(byte[] sigBytes) throws SignatureException {
        if (verifyKey == 0) throw new SignatureException("not initialised for verification");
        try {
            long h = flush();
            byte[] sig = Native.reversed(sigBytes, sigBytes.length);
            int rc = CAPI.cryptVerifySignature(h, sig, sig.length, verifyKey, null, 0);
            if (rc == 0) return true;
            if (rc == Native.NTE_BAD_SIGNATURE || rc == 0x80090004 /* NTE_BAD_LEN */) return false;
            throw new SignatureException("the CSP could not verify: " + Native.hex(rc));
        } finally {
            reset();
        }
    }

    @Override
    @Deprecated
    protected void engineSetParameter(String param, Object value) {
        throw new InvalidParameterException("no parameters");
    }

    @Override
    @Deprecated
    protected Object engineGetParameter(String param) {
        throw new InvalidParameterException("no parameters");
    }

    static final class Sha1Rsa extends CspSignature {
        public Sha1Rsa() {
            super(Native.CALG_SHA1, 0);
        }
    }

    static final class Sha256Rsa extends CspSignature {
        public Sha256Rsa() {
            super(Native.CALG_SHA_256, 0);
        }
    }

    static final class Sha384Rsa extends CspSignature {
        public Sha384Rsa() {
            super(Native.CALG_SHA_384, 0);
        }
    }

    static final class Sha512Rsa extends CspSignature {
        public Sha512Rsa() {
            super(Native.CALG_SHA_512, 0);
        }
    }

    static final class Gost256 extends CspSignature {
        public Gost256() {
            super(Native.CALG_STREEBOG_256, 256);
        }
    }

    static final class Gost512 extends CspSignature {
        public Gost512() {
            super(Native.CALG_STREEBOG_512, 512);
        }
    }
}
