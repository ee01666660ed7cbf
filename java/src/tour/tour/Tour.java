package tour;

import java.nio.charset.StandardCharsets;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * Drives every working subsystem of the bridge against the CSP, as a user of
 * the Java provider would, and prints what each step did.
 */
public final class Tour {
    static final int PROV_RSA_AES = 24;
    static final int CRYPT_VERIFYCONTEXT = 0xF0000000;
    static final int CRYPT_NEWKEYSET = 0x8;
    static final int CRYPT_DELETEKEYSET = 0x10;
    static final int PP_NAME = 4;
    static final int PP_CONTAINER = 6;
    static final int PP_UNIQUE_CONTAINER = 36;

    private static int step = 0;

    static void say(String what, Object... args) {
        System.out.printf("[%2d] %s%n", ++step, String.format(what, args));
    }

    static void check(int code, String what) {
        if (code != 0) {
            throw new IllegalStateException(what + " failed with 0x" + Integer.toHexString(code));
        }
    }

    static String cString(byte[] data, int len) {
        int n = 0;
        while (n < len && data[n] != 0) n++;
        return new String(data, 0, n, StandardCharsets.UTF_8);
    }

    static String provParam(long hProv, int param) {
        int[] len = {0};
        check(CAPI.cryptGetProvParam(hProv, param, null, len, 0), "size query of parameter " + param);
        byte[] data = new byte[len[0]];
        check(CAPI.cryptGetProvParam(hProv, param, data, len, 0), "parameter " + param);
        return cString(data, len[0]);
    }

    public static void main(String[] args) {
        System.out.println("Quill bridge tour on " + System.getProperty("os.arch") + ", Java "
                + System.getProperty("java.version"));
        say("loaded quillnative; native handles are %d bytes wide", CAPI.getSizeOfHandle());

        for (int i = 0;; i++) {
            int[] type = {0};
            int[] len = {0};
            int rc = CAPI.cryptEnumProviders(i, 0, type, null, len);
            if (rc == 259) break;
            check(rc, "provider enumeration");
            byte[] name = new byte[len[0]];
            check(CAPI.cryptEnumProviders(i, 0, type, name, len), "provider enumeration");
            say("provider %d: \"%s\" (type %d)", i, cString(name, len[0]), type[0]);
        }

        String container = "tour-" + ProcessHandle.current().pid();
        long[] hProv = {0};
        check(CAPI.cryptAcquireContext(hProv, container, null, PROV_RSA_AES, CRYPT_NEWKEYSET),
                "creating container");
        say("created key container \"%s\" (handle 0x%x)", container, hProv[0]);
        say("the CSP reports container \"%s\", unique name %s", provParam(hProv[0], PP_CONTAINER),
                provParam(hProv[0], PP_UNIQUE_CONTAINER));
        check(CAPI.cryptReleaseContext(hProv[0], 0), "releasing the context");
        check(CAPI.cryptAcquireContext(hProv, container, null, PROV_RSA_AES, CRYPT_DELETEKEYSET),
                "deleting container");
        int again = CAPI.cryptAcquireContext(hProv, container, null, PROV_RSA_AES, 0);
        say("deleted the container; opening it again gives 0x%x (NTE_BAD_KEYSET)", again);

        System.out.println("Tour complete.");
    }
}
