package quill.jca;

import java.security.InvalidAlgorithmParameterException;
import java.security.InvalidParameterException;
import java.security.KeyPair;
import java.security.KeyPairGeneratorSpi;
import java.security.SecureRandom;
import java.security.spec.AlgorithmParameterSpec;
import java.security.spec.RSAKeyGenParameterSpec;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * Key pairs made by the CSP in a new key container: RSA (PROV_RSA_AES) and
 * GOST R 34.10-2012 (256 or 512 bits). The pair is the container's exchange
 * key, which signs as well. The container is temporary until the key is
 * stored in a system store.
 */
abstract class CspKeyPairGenerator extends KeyPairGeneratorSpi {
    private final boolean gost;
    private int bits;

    CspKeyPairGenerator(boolean gost, int bits) {
        this.gost = gost;
        this.bits = bits;
    }

    @Override
    public void initialize(int keysize, SecureRandom random) {
        if (gost ? keysize != 256 && keysize != 512 : keysize < 512 || keysize > 16384 || keysize % 8 != 0) {
            throw new InvalidParameterException("unsupported key size " + keysize);
        }
        bits = keysize;
    }

    @Override
    public void initialize(AlgorithmParameterSpec params, SecureRandom random) throws InvalidAlgorithmParameterException {
        if (!gost && params instanceof RSAKeyGenParameterSpec
                && RSAKeyGenParameterSpec.F4.equals(((RSAKeyGenParameterSpec) params).getPublicExponent())) {
            initialize(((RSAKeyGenParameterSpec) params).getKeysize(), random);
            return;
        }
        throw new InvalidAlgorithmParameterException("only a key size (RSA: exponent 65537)");
    }

    @Override
    public KeyPair generateKeyPair() {
        int type = !gost ? Native.PROV_RSA_AES : bits == 256 ? Native.PROV_GOST_2012_256 : Native.PROV_GOST_2012_512;
        long[] h = {0};
        Container container = Container.create(type, h);
        long[] k = {0};
        int rc = CAPI.cryptGenKey(h[0], Native.AT_KEYEXCHANGE, gost ? 0 : bits << 16, k);
        if (rc != 0) {
            CAPI.cryptReleaseContext(h[0], 0);
            container.delete();
            throw Native.failure("key generation", rc);
        }
        CspPrivateKey key = CspPrivateKey.of(h[0], k[0], Native.AT_KEYEXCHANGE, container);
        return new KeyPair(key.getPublicKey(), key);
    }

    static final class Rsa extends CspKeyPairGenerator {
        public Rsa() {
            super(false, 2048);
        }
    }

    static final class Gost extends CspKeyPairGenerator {
        public Gost() {
            super(true, 256);
        }
    }
}
