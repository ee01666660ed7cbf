package quill.jca;

import java.io.NotSerializableException;
import java.io.ObjectOutputStream;
import java.lang.ref.Cleaner;
import java.lang.ref.Reference;
import java.math.BigInteger;
import java.security.PrivateKey;
import java.security.PublicKey;
import java.security.interfaces.RSAKey;
import java.security.interfaces.RSAPublicKey;

import javax.security.auth.Destroyable;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * A private key held by the CSP in a key container. The key never leaves
 * the container through this object: it has no encoding. It holds a key
 * handle and a provider context reference of its own, released by
 * {@link #destroy()} or once the object is unreachable.
 */
public class CspPrivateKey implements PrivateKey, Destroyable {
    private static final long serialVersionUID = 1L;

    final transient long hProv;
    final transient long hKey;
    final transient int keySpec;
    final transient Container container;
    final transient PublicKey publicKey;
    private final transient Cleaner.Cleanable cleanable;
    private transient volatile boolean destroyed;

    CspPrivateKey(long hProv, long hKey, int keySpec, Container container, PublicKey publicKey) {
        this.hProv = hProv;
        this.hKey = hKey;
        this.keySpec = keySpec;
        this.container = container;
        this.publicKey = publicKey;
        // The action keeps the container object reachable until the handles are gone.
        Runnable release = Native.keyRelease(hKey, hProv);
        this.cleanable = Native.CLEANER.register(this, () -> {
            release.run();
            Reference.reachabilityFence(container);
        });
    }

    /**
     * The key of a handle pair the caller owns (one context reference and
     * the key): the pair becomes this object's. On failure both are released.
     */
    static CspPrivateKey of(long hProv, long hKey, int keySpec, Container container) {
        PublicKey pub;
        try {
            pub = Keys.publicKeyOf(Native.exportKey(hKey, Native.PUBLICKEYBLOB));
        } catch (RuntimeException e) {
            Native.keyRelease(hKey, hProv).run();
            throw e;
        }
        return pub instanceof RSAPublicKey ? new Rsa(hProv, hKey, keySpec, container, pub)
                : new CspPrivateKey(hProv, hKey, keySpec, container, pub);
    }

    /** An RSA key of the CSP; its modulus comes from the container's public key. */
    static final class Rsa extends CspPrivateKey implements RSAKey {
        private static final long serialVersionUID = 1L;

        Rsa(long hProv, long hKey, int keySpec, Container container, PublicKey pub) {
            super(hProv, hKey, keySpec, container, pub);
        }

        @Override
        public BigInteger getModulus() {
            return ((RSAPublicKey) publicKey).getModulus();
        }
    }

    @Override
    public String getAlgorithm() {
        return publicKey.getAlgorithm();
    }

    /** None: the key stays in its container. */
    @Override
    public String getFormat() {
        return null;
    }

    @Override
    public byte[] getEncoded() {
        return null;
    }

    /** The public half, as the container reports it. */
    public PublicKey getPublicKey() {
        return publicKey;
    }

    /** The name of the key container. */
    public String getContainerName() {
        return container.name;
    }

    /** The CSP provider type of the container (24 RSA, 80 and 81 GOST). */
    public int getProviderType() {
        return container.provType;
    }

    int bits() {
        return publicKey instanceof RSAPublicKey ? ((RSAPublicKey) publicKey).getModulus().bitLength()
                : ((GostPublicKey) publicKey).bits;
    }

    /** A new context reference on this key's context; the caller releases it. */
    long addContextRef() {
        try {
            Native.check(CAPI.cryptContextAddRef(hProv, 0), "context reference");
            return hProv;
        } finally {
            Reference.reachabilityFence(this);
        }
    }

    /** Gives the handles back now; the key cannot be used afterwards. */
    @Override
    public void destroy() {
        destroyed = true;
        cleanable.clean();
    }

    @Override
    public boolean isDestroyed() {
        return destroyed;
    }

    @Override
    public String toString() {
        return "CSP " + getAlgorithm() + " private key in container " + container.name;
    }

    private void writeObject(ObjectOutputStream out) throws NotSerializableException {
        throw new NotSerializableException("a CSP key stays in its container");
    }
}
