package ru.Kestrel.Quill.MSCAPI;

/**
 * The native CryptoAPI and SSPI entry points of the provider. Every method
 * maps its arguments onto one platform call and returns 0 or an error code
 * (or, for the TLS record and query methods, a Java object with the status in
 * a one-element array). Handles travel as longs; one-element arrays carry
 * handles and lengths back.
 */
public final class CAPI {
    static {
        System.loadLibrary("quillnative");
    }

    private CAPI() {}

    public static native int getSizeOfHandle();

    // Provider contexts
    public static native int cryptAcquireContext(long[] jphProv, String jContainer, String jProvider,
            int jdwProvType, int jdwFlags);
    public static native int cryptReleaseContext(long jhProv, int jdwFlags);
    public static native int cryptContextAddRef(long jhProv, int jdwFlags);

    // Provider parameters and enumeration
    public static native int cryptGetProvParam(long jhProv, int jdwParam, byte[] jpbData, int[] jpdwDataLen,
            int jdwFlags);
    public static native int cryptSetProvParam(long jhProv, int jdwParam, byte[] jpbData, int jdwFlags);
    public static native int cryptEnumProviders(int jdwIndex, int jdwFlags, int[] jpdwProvType, byte[] jszProvName,
            int[] jpcbProvName);
    public static native int setCertExtension(long jhProv, String jOid, boolean jCritical, byte[] jValue,
            int jValueLength, int jdwFlags);
    public static native long getStrengthenedKeyUsageControl();

    // PIN and random numbers
    public static native int changePin(long jhProv, int jdwParam, byte jPinType, byte[] jPin, int jdwFlags);
    public static native int cryptGenRandom(long jhProv, int jdwLen, byte[] jpbBuffer);

    // Keys
    public static native int cryptGenKey(long handle, int algId, int flags, long[] jhKey);
    public static native int cryptGetUserKey(long jhProv, int jkeySpec, long[] jhKey);
    public static native int cryptDuplicateKey(long handle, int[] jReserved, int flags, long[] jhKey);
    public static native int cryptDeriveKey(long jhProv, int jalgId, long hBaseDate, int flags, long[] phKey);
    public static native int cryptDestroyKey(long handle);
    public static native int cryptGetKeyParam(long jhKey, int jparam, byte[] jData, int[] jDataLen, int flags);
    public static native int cryptSetKeyParam(long jhKey, int jdwParam, byte[] jpbData, int flags);
    public static native int cryptExportKey(long jhKey, long jhExpKey, int jdwBlobType, int jdwFlags, byte[] jData,
            int[] jDataLen, boolean jForeign);
    public static native int cryptImportKey(long jhProv, byte[] jData, int jDataLen, long jhImpKey, int flags,
            long[] jphKey, boolean jForeign);

    // Hashes
    public static native int cryptCreateHash(long hProv, int algId, long key, int flags, long[] jhHash);
    public static native int cryptHashData(long hHash, byte[] jArray, int offset, int len, int flags);
    public static native int cryptGetHashParam(long jHash, int jcmd, byte[] jData, int[] jDataLen, int jFlags);
    public static native int cryptSetHashParam(long handle, int param, byte[] jData, int flags);
    public static native int cryptDuplicateHash(long handle, int[] jReserved, int flags, long[] jArray);
    public static native int cryptDestroyHash(long hHash);
    public static native int cryptHashSessionKey(long hHash, long hKey, int flags);

    // Ciphers
    public static native int cryptEncrypt(long jhKey, long jhHash, boolean jisFinal, int jflags, byte[] jData,
            int[] jDataLen, int jBufLen);
    public static native int cryptDecrypt(long jhKey, long jhHash, boolean jisFinal, int jflags, byte[] jData,
            int[] jDataLen);

    // Signatures
    public static native int cryptSignHash(long hHash, int keySpec, String jsDescription, int flags, byte[] jData,
            int[] jDataLen);
    public static native int cryptVerifySignature(long hHash, byte[] jData, int jDataLen, long jhPubKey,
            String jsDescription, int flags);

    // TLS through SSPI
    public static native int acquireCredentialsHandle(boolean jclient, int maxProtocol, int[] jciphersArr,
            int jciphersLen, byte[] jencodedCert, int jcertLen, long jhProv, int jkeySpec, long[] jCred,
            boolean jisAutoCred);
    public static native int freeCredentialsHandle(long[] jCred);
    public static native byte[] initializeSecurityContext(long[] jCred, long[] jContext, String jServName,
            boolean isDisconnect, boolean isUseCreds, byte[] jInBuf, int[] jInLen, long[] jResult);
    public static native int deleteSecurityContext(long[] jContext);
    public static native byte[] encryptMessage(long[] jContext, byte[] jInBuf, int[] jInOff, int[] jInLen,
            long[] jResult);
    public static native byte[] decryptMessage(long[] jContext, byte[] jInBuf, int[] jInLen, long[] jResult);
    public static native byte[][] getRemoteCertificates(long[] jContext, long[] jResult);
    public static native byte[][] getIssuers(long[] jContext, long[] jResult);
    public static native int getCipherInfo(long[] jContext, int[] jProtocol, int[] jCipherSuite);
    public static native byte[] getSessionInfo(long[] jContext, int[] jReconnect, long[] jResult);
}
