package ru.Kestrel.Quill.KeyStore;

/** A key store over the platform's system certificate stores. */
public class MSStore extends StoreCallbacks {
    static {
        System.loadLibrary("quillnative");
    }

    public native int readStore(String jCertStoreName, boolean jFileStore);
    public native int storeCertificate(String jCertStoreName, String jAlias, byte[] jCertEncoded,
            int jCertEncodedLength, long jProv, long jKey, int jFlags);
    public native int storeCertificateByHandle(long jCertStore, String jAlias, byte[] jCertEncoded,
            int jCertEncodedLength, long jProv, long jKey, int jFlags);
    public native int removeCertificate(String jCertStoreName, String jAlias, byte[] jCertEncoded,
            int jCertEncodedLength);
}
