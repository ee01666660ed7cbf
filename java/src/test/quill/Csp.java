package quill;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.nio.charset.StandardCharsets;
import java.util.UUID;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/** Constants of the CryptoAPI and small helpers the bridge tests share. */
public final class Csp {
    private Csp() {}

    public static final int PROV_RSA_AES = 24;
    public static final int CRYPT_VERIFYCONTEXT = 0xF0000000;
    public static final int CRYPT_NEWKEYSET = 0x8;
    public static final int CRYPT_DELETEKEYSET = 0x10;
    public static final int CRYPT_MACHINE_KEYSET = 0x20;
    public static final int CRYPT_SILENT = 0x40;

    public static final int PP_ENUMCONTAINERS = 2;
    public static final int PP_NAME = 4;
    public static final int PP_VERSION = 5;
    public static final int PP_CONTAINER = 6;
    public static final int PP_PROVTYPE = 16;
    public static final int PP_UNIQUE_CONTAINER = 36;
    public static final int CRYPT_FIRST = 1;

    public static final int ERROR_INVALID_PARAMETER = 87;
    public static final int ERROR_MORE_DATA = 234;
    public static final int ERROR_NO_MORE_ITEMS = 259;
    public static final int ERROR_UNHANDLED_EXCEPTION = 574;
    public static final int ERROR_NO_UNICODE_TRANSLATION = 1113;
    public static final int NTE_BAD_UID = 0x80090001;
    public static final int NTE_BAD_FLAGS = 0x80090009;
    public static final int NTE_EXISTS = 0x8009000F;
    public static final int NTE_BAD_KEYSET = 0x80090016;
    public static final int NTE_FAIL = 0x80090020;

    // Algorithms, key specifications, blob types and parameters.
    public static final int CALG_MD5 = 0x8003;
    public static final int CALG_SHA1 = 0x8004;
    public static final int CALG_HMAC = 0x8009;
    public static final int CALG_SHA_256 = 0x800c;
    public static final int CALG_SHA_384 = 0x800d;
    public static final int CALG_SHA_512 = 0x800e;
    public static final int CALG_RSA_SIGN = 0x2400;
    public static final int CALG_RSA_KEYX = 0xa400;
    public static final int CALG_RC2 = 0x6602;
    public static final int CALG_3DES = 0x6603;
    public static final int CALG_AES_128 = 0x660e;
    public static final int CALG_AES_192 = 0x660f;
    public static final int CALG_AES_256 = 0x6610;
    public static final int AT_KEYEXCHANGE = 1;
    public static final int AT_SIGNATURE = 2;
    public static final int CRYPT_EXPORTABLE = 0x1;
    public static final int CRYPT_OAEP = 0x40;
    public static final int CRYPT_IPSEC_HMAC_KEY = 0x100;
    public static final int SIMPLEBLOB = 1;
    public static final int PUBLICKEYBLOB = 6;
    public static final int PRIVATEKEYBLOB = 7;
    public static final int PLAINTEXTKEYBLOB = 8;
    public static final int HP_ALGID = 1;
    public static final int HP_HASHVAL = 2;
    public static final int HP_HASHSIZE = 4;
    public static final int HP_HMAC_INFO = 5;
    public static final int KP_IV = 1;
    public static final int KP_PADDING = 3;
    public static final int KP_MODE = 4;
    public static final int KP_ALGID = 7;
    public static final int KP_BLOCKLEN = 8;
    public static final int KP_KEYLEN = 9;
    public static final int CRYPT_MODE_CBC = 1;
    public static final int CRYPT_MODE_ECB = 2;
    public static final int PP_ENUMALGS = 1;
    public static final int PP_KEYEXCHANGE_PIN = 32;
    public static final int PP_SIGNATURE_PIN = 33;
    public static final int NTE_BAD_HASH = 0x80090002;
    public static final int NTE_BAD_KEY = 0x80090003;
    public static final int NTE_BAD_LEN = 0x80090004;
    public static final int NTE_BAD_DATA = 0x80090005;
    public static final int NTE_BAD_SIGNATURE = 0x80090006;
    public static final int NTE_BAD_ALGID = 0x80090008;
    public static final int NTE_BAD_TYPE = 0x8009000A;
    public static final int NTE_BAD_KEY_STATE = 0x8009000B;
    public static final int NTE_NO_KEY = 0x8009000D;

    /** Key-generation flags asking for an RSA modulus of {@code bits}. */
    public static int keyBits(int bits, int flags) {
        return (bits << 16) | flags;
    }

    public static long newHash(long hProv, int alg, long hKey) {
        long[] h = {0};
        ok(CAPI.cryptCreateHash(hProv, alg, hKey, 0, h), "create hash " + hex(alg));
        return h[0];
    }

    /** The value of a hash object by the two-call convention. */
    public static byte[] hashValue(long hHash) {
        int[] len = {0};
        ok(CAPI.cryptGetHashParam(hHash, HP_HASHVAL, null, len, 0), "hash size");
        byte[] value = new byte[len[0]];
        ok(CAPI.cryptGetHashParam(hHash, HP_HASHVAL, value, len, 0), "hash value");
        return java.util.Arrays.copyOf(value, len[0]);
    }

    /** A hash object of {@code alg} over {@code data}. */
    public static long hashOf(long hProv, int alg, byte[] data) {
        long h = newHash(hProv, alg, 0);
        ok(CAPI.cryptHashData(h, data, 0, data.length, 0), "hash data");
        return h;
    }

    /** An HMAC_INFO naming the inner hash, laid out for this build's pointer width. */
    public static byte[] hmacInfo(int alg) {
        byte[] info = new byte[CAPI.getSizeOfHandle() == 4 ? 20 : 40];
        Blobs.putLe32(info, 0, alg);
        return info;
    }

    public static long genKey(long hProv, int alg, int flags) {
        long[] k = {0};
        ok(CAPI.cryptGenKey(hProv, alg, flags, k), "generate key " + hex(alg));
        return k[0];
    }

    public static long importKey(long hProv, byte[] blob, long hImpKey, int flags) {
        long[] k = {0};
        ok(CAPI.cryptImportKey(hProv, blob, blob.length, hImpKey, flags, k, false), "import key");
        return k[0];
    }

    /** A key blob by the two-call convention. */
    public static byte[] exportKey(long hKey, long hExpKey, int type) {
        int[] len = {0};
        ok(CAPI.cryptExportKey(hKey, hExpKey, type, 0, null, len, false), "blob size");
        byte[] blob = new byte[len[0]];
        ok(CAPI.cryptExportKey(hKey, hExpKey, type, 0, blob, len, false), "export");
        return java.util.Arrays.copyOf(blob, len[0]);
    }

    public static String hex(int code) {
        return "0x" + Integer.toHexString(code);
    }

    /** Asserts an error code, printing both sides in hex. */
    public static void assertCode(int expected, int actual, String what) {
        assertEquals(hex(expected), hex(actual), what);
    }

    public static void ok(int code, String what) {
        assertCode(0, code, what);
    }

    public static String uniqueName(String prefix) {
        return prefix + "-" + UUID.randomUUID();
    }

    public static long verifyContext() {
        long[] h = {0};
        ok(CAPI.cryptAcquireContext(h, null, null, PROV_RSA_AES, CRYPT_VERIFYCONTEXT), "verify context");
        return h[0];
    }

    /** A new container; the caller deletes it with {@link #deleteContainer}. */
    public static long newContainer(String name) {
        long[] h = {0};
        ok(CAPI.cryptAcquireContext(h, name, null, PROV_RSA_AES, CRYPT_NEWKEYSET), "new container " + name);
        return h[0];
    }

    public static void deleteContainer(String name) {
        long[] h = {0};
        ok(CAPI.cryptAcquireContext(h, name, null, PROV_RSA_AES, CRYPT_DELETEKEYSET), "delete container " + name);
    }

    /** The containers PP_ENUMCONTAINERS lists on `hProv`, the machine's with CRYPT_MACHINE_KEYSET. */
    public static java.util.List<String> containers(long hProv, int flags) {
        java.util.List<String> seen = new java.util.ArrayList<>();
        int[] len = {0};
        int rc = CAPI.cryptGetProvParam(hProv, PP_ENUMCONTAINERS, null, len, CRYPT_FIRST | flags);
        if (rc == ERROR_NO_MORE_ITEMS) return seen;
        ok(rc, "size query");
        byte[] buf = new byte[len[0]];
        for (int first = CRYPT_FIRST;; first = 0) {
            len[0] = buf.length;
            rc = CAPI.cryptGetProvParam(hProv, PP_ENUMCONTAINERS, buf, len, first | flags);
            if (rc == ERROR_NO_MORE_ITEMS) return seen;
            ok(rc, "enumeration");
            seen.add(new String(buf, 0, len[0] - 1, StandardCharsets.UTF_8));
        }
    }

    /** A provider parameter by the two-call convention, as raw bytes. */
    public static byte[] provParam(long hProv, int param, int flags) {
        int[] len = {0};
        ok(CAPI.cryptGetProvParam(hProv, param, null, len, flags), "size of parameter " + param);
        byte[] data = new byte[len[0]];
        ok(CAPI.cryptGetProvParam(hProv, param, data, len, flags), "parameter " + param);
        return java.util.Arrays.copyOf(data, len[0]);
    }

    /** A null-terminated string parameter, decoded as UTF-8. */
    public static String provString(long hProv, int param) {
        byte[] raw = provParam(hProv, param, 0);
        int n = 0;
        while (n < raw.length && raw[n] != 0) n++;
        return new String(raw, 0, n, StandardCharsets.UTF_8);
    }

    public static boolean is32Bit() {
        return CAPI.getSizeOfHandle() == 4;
    }
}
