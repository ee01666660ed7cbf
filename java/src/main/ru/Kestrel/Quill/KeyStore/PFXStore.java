package ru.Kestrel.Quill.KeyStore;

/** A key store over PFX (PKCS #12) files and memory stores. */
public class PFXStore extends StoreCallbacks {
    static {
        System.loadLibrary("quillnative");
    }

    public native int verifyPfx(byte[] jPfx, int jPfxLen, String jPassword, int jFlags);
    public native int importPfx(byte[] jPfx, int jPfxLen, String jPassword, int jFlags);
    public native int exportPfx(long jCertStore, String jPassword, int jFlags, byte[] jPfx, int[] jPfxLen);
    public native int createMemoryStore(long[] jCertStore, int jFlags);
    public native int closeMemoryStore(long jCertStore);
}
