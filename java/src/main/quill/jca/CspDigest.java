package quill.jca;

import java.security.DigestException;
import java.security.MessageDigestSpi;

/**
 * Message digests and HMACs as CSP hash objects in a context without a
 * container. A clone duplicates the hash object.
 */
class CspDigest extends MessageDigestSpi implements Cloneable {
    /** One context without a container for the process's digests, MACs and random numbers. */
    static final class Shared {
        static final long CONTEXT = Native.verifyContext(Native.PROV_RSA_AES);
    }

    private final int length;
    private HashObject hash;

    CspDigest(int alg, int length) {
        this.length = length;
        this.hash = new HashObject(Shared.CONTEXT, alg, 0, 0);
    }

    @Override
    protected int engineGetDigestLength() {
        return length;
    }

    @Override
    protected void engineUpdate(byte input) {
        hash.update(new byte[] {input}, 0, 1);
    }

    @Override
    protected void engineUpdate(byte[] input, int offset, int len) {
        hash.update(input, offset, len);
    }

    @Override
    protected byte[] engineDigest() {
        return hash.value();
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
        hash.reset();
    }

    @Override
    public Object clone() throws CloneNotSupportedException {
        CspDigest c = (CspDigest) super.clone();
        c.hash = hash.duplicate();
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
