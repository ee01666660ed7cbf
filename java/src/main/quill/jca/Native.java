package quill.jca;

import java.lang.ref.Cleaner;
import java.security.ProviderException;
import java.util.Arrays;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * The provider's side of the natives: CryptoAPI constants, calls that turn a
 * failed code into an exception, and the cleaner that gives native handles
 * back once their Java owners are gone.
 */
final class Native {
    private Native() {}

    /** Releases every handle whose owner became unreachable without being closed. */
    static final Cleaner CLEANER = Cleaner.create();

    static final int PROV_RSA_AES = 24;
    static final int PROV_GOST_2012_256 = 80;
    static final int PROV_GOST_2012_512 = 81;
    static final int CRYPT_VERIFYCONTEXT = 0xF0000000;
    static final int CRYPT_NEWKEYSET = 0x8;
    static final int CRYPT_DELETEKEYSET = 0x10;
    static final int CRYPT_SILENT = 0x40;
    static final int CRYPT_EXPORTABLE = 0x1;
    static final int CRYPT_IPSEC_HMAC_KEY = 0x100;
    static final int AT_KEYEXCHANGE = 1;
    static final int AT_SIGNATURE = 2;

    static final int PUBLICKEYBLOB = 6;
    static final int PRIVATEKEYBLOB = 7;
    static final int PLAINTEXTKEYBLOB = 8;
    static final int HP_HASHVAL = 2;
    static final int HP_HMAC_INFO = 5;
    static final int KP_IV = 1;
    static final int KP_MODE = 4;
    static final int PP_NAME = 4;

    static final int CALG_MD5 = 0x8003;
    static final int CALG_SHA1 = 0x8004;
    static final int CALG_HMAC = 0x8009;
    static final int CALG_SHA_256 = 0x800c;
    static final int CALG_SHA_384 = 0x800d;
    static final int CALG_SHA_512 = 0x800e;
    static final int CALG_STREEBOG_256 = 0x8021;
    static final int CALG_STREEBOG_512 = 0x8022;
    static final int CALG_RSA_SIGN = 0x2400;
    static final int CALG_RSA_KEYX = 0xa400;
    static final int CALG_GOST_SIGN_256 = 0x2e49;
    static final int CALG_GOST_SIGN_512 = 0x2e3d;
    static final int CALG_RC2 = 0x6602;

    static final int ERROR_MORE_DATA = 234;
    static final int NTE_BAD_SIGNATURE = 0x80090006;

    /** A failed call as a ProviderException naming the call and its code. */
    static ProviderException failure(String what, int code) {
        return new ProviderException(what + " failed: 0x" + Integer.toHexString(code));
    }

    static void check(int code, String what) {
        if (code != 0) throw failure(what, code);
    }

    static String hex(long code) {
        return "0x" + Long.toHexString(code & 0xFFFFFFFFL);
    }

    static byte[] reversed(byte[] b, int len) {
        byte[] r = new byte[len];
        for (int i = 0; i < len; i++) r[i] = b[len - 1 - i];
        return r;
    }

    static void putLe32(byte[] b, int off, int v) {
        b[off] = (byte) v;
        b[off + 1] = (byte) (v >>> 8);
        b[off + 2] = (byte) (v >>> 16);
        b[off + 3] = (byte) (v >>> 24);
    }

    static int le32(byte[] b, int off) {
        return (b[off] & 0xff) | (b[off + 1] & 0xff) << 8 | (b[off + 2] & 0xff) << 16 | (b[off + 3] & 0xff) << 24;
    }

    /** A blob header {type, version 2, reserved, alg}. */
    static byte[] blob(int type, int alg, int length) {
        byte[] b = new byte[length];
        b[0] = (byte) type;
        b[1] = 2;
        putLe32(b, 4, alg);
        return b;
    }

    /** A PLAINTEXTKEYBLOB of raw key bytes for {@code alg}. */
    static byte[] plainKeyBlob(int alg, byte[] key) {
        byte[] b = blob(PLAINTEXTKEYBLOB, alg, 12 + key.length);
        putLe32(b, 8, key.length);
        System.arraycopy(key, 0, b, 12, key.length);
        return b;
    }

    static void wipe(byte[] b) {
        if (b != null) Arrays.fill(b, (byte) 0);
    }

    // ---- handles ----

    /** A context without a container of {@code type}; the caller releases it. */
    static long verifyContext(int type) {
        long[] h = {0};
        check(CAPI.cryptAcquireContext(h, null, null, type, CRYPT_VERIFYCONTEXT | CRYPT_SILENT), "verify context");
        return h[0];
    }

    /** Releases a context reference and destroys a key, each when present. */
    static Runnable keyRelease(long hKey, long hProv) {
        return () -> {
            if (hKey != 0) CAPI.cryptDestroyKey(hKey);
            if (hProv != 0) CAPI.cryptReleaseContext(hProv, 0);
        };
    }

    static long importKey(long hProv, byte[] blob, int flags) {
        long[] k = {0};
        check(CAPI.cryptImportKey(hProv, blob, blob.length, 0, flags, k, false), "key import");
        return k[0];
    }

    static long createHash(long hProv, int alg, long hKey) {
        long[] h = {0};
        check(CAPI.cryptCreateHash(hProv, alg, hKey, 0, h), "hash creation");
        return h[0];
    }

    /** A hash object's value by the two-call convention. */
    static byte[] hashValue(long hHash) {
        int[] len = {0};
        check(CAPI.cryptGetHashParam(hHash, HP_HASHVAL, null, len, 0), "hash size");
        byte[] v = new byte[len[0]];
        check(CAPI.cryptGetHashParam(hHash, HP_HASHVAL, v, len, 0), "hash value");
        return len[0] == v.length ? v : Arrays.copyOf(v, len[0]);
    }

    /** A key blob by the two-call convention. */
    static byte[] exportKey(long hKey, int type) {
        int[] len = {0};
        check(CAPI.cryptExportKey(hKey, 0, type, 0, null, len, false), "blob size");
        byte[] b = new byte[len[0]];
        check(CAPI.cryptExportKey(hKey, 0, type, 0, b, len, false), "key export");
        return len[0] == b.length ? b : Arrays.copyOf(b, len[0]);
    }

    /** A null-terminated provider parameter as text. */
    static String provString(long hProv, int param) {
        int[] len = {0};
        check(CAPI.cryptGetProvParam(hProv, param, null, len, 0), "parameter size");
        byte[] b = new byte[len[0]];
        check(CAPI.cryptGetProvParam(hProv, param, b, len, 0), "parameter");
        int n = 0;
        while (n < len[0] && b[n] != 0) n++;
        return new String(b, 0, n, java.nio.charset.StandardCharsets.UTF_8);
    }
}
