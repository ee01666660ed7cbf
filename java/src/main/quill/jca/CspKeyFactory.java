package quill.jca;

import java.security.InvalidKeyException;
import java.security.Key;
import java.security.KeyFactorySpi;
import java.security.PrivateKey;
import java.security.PublicKey;
import java.security.spec.InvalidKeySpecException;
import java.security.spec.KeySpec;
import java.security.spec.X509EncodedKeySpec;

/**
 * GOST R 34.10-2012 public keys from their X.509 encoding, so that
 * certificates of these keys give a usable public key. Private keys stay in
 * their containers and have no specification.
 */
public final class CspKeyFactory extends KeyFactorySpi {
    public CspKeyFactory() {}

    @Override
    protected PublicKey engineGeneratePublic(KeySpec spec) throws InvalidKeySpecException {
        if (!(spec instanceof X509EncodedKeySpec)) throw new InvalidKeySpecException("only X509EncodedKeySpec");
        byte[] spki = ((X509EncodedKeySpec) spec).getEncoded();
        int bits = Keys.gostBits(spki);
        if (bits == 0) throw new InvalidKeySpecException("not a GOST R 34.10-2012 public key");
        GostPublicKey sized = new GostPublicKey(spki, bits);
        try {
            Keys.gostBlob(sized, 0);
        } catch (InvalidKeyException | RuntimeException e) {
            throw new InvalidKeySpecException("malformed GOST R 34.10-2012 public key", e);
        }
        return sized;
    }

    @Override
    protected PrivateKey engineGeneratePrivate(KeySpec spec) throws InvalidKeySpecException {
        throw new InvalidKeySpecException("private keys are made in containers (KeyPairGenerator, KeyStore)");
    }

    @Override
    protected <T extends KeySpec> T engineGetKeySpec(Key key, Class<T> spec) throws InvalidKeySpecException {
        if (key instanceof PublicKey && spec.isAssignableFrom(X509EncodedKeySpec.class) && Keys.gostBits((PublicKey) key) != 0) {
            return spec.cast(new X509EncodedKeySpec(key.getEncoded()));
        }
        throw new InvalidKeySpecException("only the X.509 encoding of a GOST public key");
    }

    @Override
    protected Key engineTranslateKey(Key key) throws InvalidKeyException {
        if (key instanceof GostPublicKey || key instanceof CspPrivateKey) return key;
        if (key instanceof PublicKey) {
            try {
                return engineGeneratePublic(new X509EncodedKeySpec(key.getEncoded()));
            } catch (InvalidKeySpecException e) {
                throw new InvalidKeyException(e.getMessage(), e);
            }
        }
        throw new InvalidKeyException("cannot translate " + key);
    }
}
