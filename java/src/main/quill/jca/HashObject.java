package quill.jca;

import java.lang.ref.Cleaner;
import java.security.ProviderException;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * A CSP hash object on behalf of a digest, MAC or signature: made on first
 * use, destroyed when its value is taken, on reset, or once its owner is
 * unreachable.
 */
final class HashObject {
    private final long hProv, hKey;
    private final int alg, hmacInner;
    private long hHash;
    private Cleaner.Cleanable handle;

    /** A hash of {@code alg} in {@code hProv}; an HMAC when {@code hmacInner} names the inner hash. */
    HashObject(long hProv, int alg, long hKey, int hmacInner) {
        this.hProv = hProv;
        this.alg = alg;
        this.hKey = hKey;
        this.hmacInner = hmacInner;
    }

    private void adopt(long h) {
        hHash = h;
        handle = Native.CLEANER.register(this, () -> CAPI.cryptDestroyHash(h));
    }

    long handle() {
        if (hHash == 0) {
            adopt(Native.createHash(hProv, alg, hKey));
            if (hmacInner != 0) {
                byte[] info = new byte[CAPI.getSizeOfHandle() == 4 ? 20 : 40];
                Native.putLe32(info, 0, hmacInner);
                Native.check(CAPI.cryptSetHashParam(hHash, Native.HP_HMAC_INFO, info, 0), "HMAC_INFO");
            }
        }
        return hHash;
    }

    void update(byte[] b, int off, int len) {
        if (len > 0) Native.check(CAPI.cryptHashData(handle(), b, off, len, 0), "hashing");
    }

    /** The value; the hash object goes with it. */
    byte[] value() {
        try {
            return Native.hashValue(handle());
        } finally {
            reset();
        }
    }

    void reset() {
        if (handle != null) handle.clean();
        handle = null;
        hHash = 0;
    }

    /** An independent copy holding the state reached so far. */
    HashObject duplicate() {
        HashObject c = new HashObject(hProv, alg, hKey, hmacInner);
        if (hHash != 0) {
            long[] dup = {0};
            int rc = CAPI.cryptDuplicateHash(hHash, null, 0, dup);
            if (rc != 0) throw new ProviderException("hash duplication failed: " + Native.hex(rc));
            c.adopt(dup[0]);
        }
        return c;
    }
}
