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
