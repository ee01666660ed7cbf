import java.nio.charset.StandardCharsets;
import java.security.Signature;
import java.security.cert.X509Certificate;

import ru.Kestrel.Quill.KeyStore.MSStore;
import ru.Kestrel.Quill.KeyStore.StoreCallbacks;
import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * The install test's keys, through the installed bridge (run as a source
 * file with the installed classes):
 *   machine NAME          makes a machine container NAME with a signature key
 *   check TOUR MACHINE    signs with the key of the tour's kept container
 *                         TOUR, with the key of its "MY" entry TOUR (the JDK
 *                         verifies with the entry's certificate) and with
 *                         the machine container's key
 */
public final class KeptKeys {
    static final int PROV_RSA_AES = 24;
    static final int CRYPT_NEWKEYSET = 0x8;
    static final int CRYPT_MACHINE_KEYSET = 0x20;
    static final int AT_SIGNATURE = 2;
    static final int CALG_SHA_256 = 0x800c;
    static final byte[] MESSAGE = "kept across the upgrade".getBytes(StandardCharsets.UTF_8);

    static void check(int code, String what) {
        if (code != 0) throw new IllegalStateException(what + " failed with 0x" + Integer.toHexString(code));
    }

    /** The signature of MESSAGE under the context's key `spec`, most significant byte first. */
    static byte[] sign(long hProv, int spec, String what) {
        long[] hash = {0};
        check(CAPI.cryptCreateHash(hProv, CALG_SHA_256, 0, 0, hash), what + ": creating a hash");
        check(CAPI.cryptHashData(hash[0], MESSAGE, 0, MESSAGE.length, 0), what + ": hashing");
        byte[] sig = new byte[512];
        int[] len = {sig.length};
        check(CAPI.cryptSignHash(hash[0], spec, null, 0, sig, len), what + ": signing");
        CAPI.cryptDestroyHash(hash[0]);
        byte[] out = new byte[len[0]];
        for (int i = 0; i < len[0]; i++) out[i] = sig[len[0] - 1 - i];
        return out;
    }

    static void signWithContainer(String name, int flags, String what) {
        long[] hProv = {0};
        check(CAPI.cryptAcquireContext(hProv, name, null, PROV_RSA_AES, flags), what + ": opening " + name);
        sign(hProv[0], AT_SIGNATURE, what);
        check(CAPI.cryptReleaseContext(hProv[0], 0), what + ": releasing");
        System.out.println(what + " \"" + name + "\" signs");
    }

    public static void main(String[] args) throws Exception {
        if (args[0].equals("machine")) {
            long[] hProv = {0};
            check(CAPI.cryptAcquireContext(hProv, args[1], null, PROV_RSA_AES,
                    CRYPT_NEWKEYSET | CRYPT_MACHINE_KEYSET), "making machine container " + args[1]);
            long[] key = {0};
            check(CAPI.cryptGenKey(hProv[0], AT_SIGNATURE, 2048 << 16, key), "generating its key");
            CAPI.cryptDestroyKey(key[0]);
            check(CAPI.cryptReleaseContext(hProv[0], 0), "releasing it");
            signWithContainer(args[1], CRYPT_MACHINE_KEYSET, "machine container");
            return;
        }
        signWithContainer(args[1], 0, "the tour's container");
        signWithContainer(args[2], CRYPT_MACHINE_KEYSET, "machine container");
        MSStore my = new MSStore();
        check(my.readStore("MY", false), "reading MY");
        for (StoreCallbacks.Entry e : my.entries) {
            if (!e.alias.equals(args[1])) continue;
            if (!e.hasKey) throw new IllegalStateException("\"MY\" entry " + e.alias + " lost its key");
            X509Certificate cert = e.chain.get(0);
            Signature jdk = Signature.getInstance("SHA256withRSA");
            jdk.initVerify(cert.getPublicKey());
            jdk.update(MESSAGE);
            if (!jdk.verify(sign(e.hProv, e.keyFlags, "the MY entry")))
                throw new IllegalStateException("the JDK refused the signature of the MY entry's key");
            System.out.println("\"MY\" entry \"" + e.alias + "\" signs; the JDK verifies");
            return;
        }
        throw new IllegalStateException("\"MY\" has no entry " + args[1]);
    }
}
