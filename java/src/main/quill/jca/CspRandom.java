package quill.jca;

import java.security.SecureRandomSpi;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/** Random bytes from the CSP's generator. */
public final class CspRandom extends SecureRandomSpi {
    private static final long serialVersionUID = 1L;

    public CspRandom() {}

    /** The CSP seeds itself; a caller's seed adds nothing to it. */
    @Override
    protected void engineSetSeed(byte[] seed) {}

    @Override
    protected void engineNextBytes(byte[] bytes) {
        if (bytes.length == 0) return;
        Native.check(CAPI.cryptGenRandom(CspDigest.Shared.CONTEXT, bytes.length, bytes), "random bytes");
    }

    @Override
    protected byte[] engineGenerateSeed(int numBytes) {
        byte[] b = new byte[numBytes];
        engineNextBytes(b);
        return b;
    }
}
