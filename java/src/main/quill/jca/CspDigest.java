package quill.jca;

import java.lang.ref.Cleaner;
import java.security.DigestException;
import java.security.MessageDigestSpi;
import java.security.ProviderException;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * Message digests and HMACs as CSP hash objects in a context without a
 * container. A clone duplicates the hash object.
 */
class CspDigest extends MessageDigestSpi implements Cloneable {
    /** One context without a container for the process's digests, MACs and random numbers. */
    static final class Shared {
        static final long CONTEXT = Native.verifyContext(Native.PROV_RSA_AES);
    }

    private final int alg;
    private final int length;
    private long hHash;
    private Cleaner.Cleanable handle;

    CspDigest(int alg, int length) {
        this.alg = alg;
        this.length = length;
    }

    private long hash() {
        if (hHash == 0) adopt(Native.createHash(Shared.CONTEXT, alg, 0));
        return hHash;
    }

    private void adopt(long h) {
        hHash = h;
        handle = Native.CLEANER.register(this, () -> CAPI.cryptDestroyHash(h));
    }

    @Override
    protected int engineGetDigestLength() {
        return length;
    }

    @Override
    protected void engineUpdate(byte input) {
        engineUpdate(new byte[] {input}, 0, 1);
    }

    @Override
    protected void engineUpdate(byte[] input, int offset, int len) {
        if (len == 0) return;
        Native.check(CAPI.cryptHashData(hash(), input, offset, len, 0), "hashing");
    }

    @Override
    protected byte[] engineDigest() {
        try {
            return Native.hashValue(hash());
        } finally {
            engineReset();
        }
    }

    @Override
    protected int engineDigest(byte[] buf, int offset, int len) throws DigestException {
        if (len < length) throw new DigestException("need " + length + " bytes");
        byte[] d = engineDigest();
        System.arraycopy(d, 0, buf, offset, d.length);
        return d.length;
    }

    @Override
    protected void engineReset() {
        if (handle != null) handle.clean();
        handle = null;
        hHash = 0;
    }

    @Override
    public Object clone() throws CloneNotSupportedException {
        CspDigest c = (CspDigest) super.clone();
        c.hHash = 0;
        c.handle = null;
        if (hHash != 0) {
            long[] dup = {0};
            int rc = CAPI.cryptDuplicateHash(hHash, null, 0, dup);
            if (rc != 0) throw new ProviderException("hash duplication failed: " + Native.hex(rc));
            c.adopt(dup[0]);
        }
        return c;
    }

    static final class Md5 extends CspDigest {
        public Md5() {
            super(Native.CALG_MD5, 16);
        }
    }

    static final class Sha1 extends CspDigest {
        public Sha1() {
            super(Native.CALG_SHA1, 20);
        }
    }

    static final class Sha256 extends CspDigest {
        public Sha256() {
            super(Native.CALG_SHA_256, 32);
        }
    }

    static final class Sha384 extends CspDigest {
        public Sha384() {
            super(Native.CALG_SHA_384, 48);
        }
    }

    static final class Sha512 extends CspDigest {
        public Sha512() {
            super(Native.CALG_SHA_512, 64);
        }
    }

    static final class Streebog256 extends CspDigest {
        public Streebog256() {
            super(Native.CALG_STREEBOG_256, 32);
        }
    }

    static final class Streebog512 extends CspDigest {
        public Streebog512() {
            super(Native.CALG_STREEBOG_512, 64);
        }
    }
}
