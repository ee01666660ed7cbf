package quill.jca;

import java.lang.ref.Cleaner;
import java.security.InvalidAlgorithmParameterException;
import java.security.InvalidKeyException;
import java.security.Key;
import java.security.spec.AlgorithmParameterSpec;

import javax.crypto.MacSpi;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/** HMAC over a CSP hash: the key imported as an HMAC key, the inner hash named by HMAC_INFO. */
class CspMac extends MacSpi {
    private final int inner;
    private final int length;
    private long hKey;
    private Cleaner.Cleanable keyHandle;
    private HashObject hash;

    CspMac(int inner, int length) {
        this.inner = inner;
        this.length = length;
    }

    @Override
    protected int engineGetMacLength() {
        return length;
    }

    @Override
    protected void engineInit(Key key, AlgorithmParameterSpec params)
            throws InvalidKeyException, InvalidAlgorithmParameterException {
        if (params != null) throw new InvalidAlgorithmParameterException("HMAC takes no parameters");
        byte[] raw = key == null || !"RAW".equalsIgnoreCase(key.getFormat()) ? null : key.getEncoded();
        if (raw == null) throw new InvalidKeyException("HMAC needs a secret key with its raw bytes");
        byte[] blob = Native.plainKeyBlob(Native.CALG_RC2, raw);
        long[] k = {0};
        int rc = CAPI.cryptImportKey(CspDigest.Shared.CONTEXT, blob, blob.length, 0, Native.CRYPT_IPSEC_HMAC_KEY, k,
                false);
        Native.wipe(blob);
        Native.wipe(raw);
        if (rc != 0) throw new InvalidKeyException("the CSP refused the HMAC key: " + Native.hex(rc));
        if (hash != null) hash.reset();
        if (keyHandle != null) keyHandle.clean();
        hKey = k[0];
        keyHandle = Native.CLEANER.register(this, Native.keyRelease(k[0], 0));
        hash = new HashObject(CspDigest.Shared.CONTEXT, Native.CALG_HMAC, hKey, inner);
    }

    private HashObject hash() {
        if (hash == null) throw new IllegalStateException("not initialised");
        return hash;
    }

    @Override
    protected void engineUpdate(byte input) {
        hash().update(new byte[] {input}, 0, 1);
    }

    @Override
    protected void engineUpdate(byte[] input, int offset, int len) {
        hash().update(input, offset, len);
    }

    @Override
    protected byte[] engineDoFinal() {
        return hash().value();
    }

    @Override
    protected void engineReset() {
        if (hash != null) hash.reset();
    }

    static final class Sha1 extends CspMac {
        public Sha1() {
            super(Native.CALG_SHA1, 20);
        }
    }

    static final class Sha256 extends CspMac {
        public Sha256() {
            super(Native.CALG_SHA_256, 32);
        }
    }

    static final class Sha384 extends CspMac {
        public Sha384() {
            super(Native.CALG_SHA_384, 48);
        }
    }

    static final class Sha512 extends CspMac {
        public Sha512() {
            super(Native.CALG_SHA_512, 64);
        }
    }

    static final class Streebog256 extends CspMac {
        public Streebog256() {
            super(Native.CALG_STREEBOG_256, 32);
        }
    }

    static final class Streebog512 extends CspMac {
        public Streebog512() {
            super(Native.CALG_STREEBOG_512, 64);
        }
    }
}
