package bench;

/**
 * The limit rows' natives (libquillbenchlimit): each makes the JNI calls the
 * bridge's native of the same name makes, on the same arrays, then calls
 * OpenSSL directly. Handles are the library's own objects.
 */
final class Limit {
    static {
        System.loadLibrary("quillbenchlimit");
    }

    private Limit() {}

    static native long aesKey(byte[] key, byte[] iv);
    static native long macKey(byte[] key);
    static native long rsaKey(byte[] der, boolean isPrivate);
    static native void freeKey(long key);

    static native int createHash(long macKey, long[] hash);
    static native int setHmacInfo(long hash, byte[] info);
    static native int hashData(long hash, byte[] data, int off, int len);
    static native int hashValue(long hash, byte[] out, int[] len);
    static native int destroyHash(long hash);
    static native int encrypt(long key, byte[] data, int[] len, int bufLen);
    static native int signHash(long hash, long key, byte[] sig, int[] len);
    static native int verifySignature(long hash, byte[] sig, int len, long key);
    /** OpenSSL's own read of the PFX (no walk): its certificates, or a negative code. */
    static native int importPfx(byte[] pfx, int len, String password);
}
