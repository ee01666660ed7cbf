package tour;

import java.io.ByteArrayOutputStream;
import java.nio.charset.StandardCharsets;
import java.security.KeyFactory;
import java.security.PublicKey;
import java.security.Signature;
import java.security.spec.X509EncodedKeySpec;
import java.util.Arrays;

import org.bouncycastle.jce.provider.BouncyCastleProvider;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/** The GOST step of the tour: a GOST R 34.10-2012 256 key signs, BouncyCastle verifies. */
final class GostTour {
    static final int PROV_GOST_2012_256 = 80;
    static final int CALG_GR3411_2012_256 = 0x8021;

    private GostTour() {}

    static byte[] der(int tag, byte[]... parts) {
        ByteArrayOutputStream content = new ByteArrayOutputStream();
        for (byte[] p : parts) content.writeBytes(p);
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        out.write(tag);
        if (content.size() >= 0x80) out.write(0x81);
        out.write(content.size());
        out.writeBytes(content.toByteArray());
        return out.toByteArray();
    }

    /**
     * BouncyCastle's key for a GOST PUBLICKEYBLOB of 256 bits: header (16 bytes), the
     * parameter set OID in a SEQUENCE, then X and Y little-endian, as in SubjectPublicKeyInfo.
     */
    static PublicKey publicKeyOf(byte[] blob) throws Exception {
        int paramsLen = 2 + (blob[17] & 0xff);
        byte[] curve = Arrays.copyOfRange(blob, 18, 18 + (blob[19] & 0xff) + 2);
        byte[] digest = {6, 8, 0x2a, (byte) 0x85, 3, 7, 1, 1, 2, 2};  // Streebog-256
        byte[] point = Arrays.copyOfRange(blob, 16 + paramsLen, blob.length);
        byte[] oid = {6, 8, 0x2a, (byte) 0x85, 3, 7, 1, 1, 1, 1};
        byte[] spki = der(0x30, der(0x30, oid, der(0x30, curve, digest)), der(0x03, new byte[] {0}, der(0x04, point)));
        return KeyFactory.getInstance("ECGOST3410-2012", new BouncyCastleProvider())
                .generatePublic(new X509EncodedKeySpec(spki));
    }

    static void run() throws Exception {
        String container = "tour-gost-" + ProcessHandle.current().pid();
        long[] hProv = {0};
        int rc = CAPI.cryptAcquireContext(hProv, container, null, PROV_GOST_2012_256, Tour.CRYPT_NEWKEYSET);
        if (rc != 0) {
            Tour.say("no GOST provider here (0x%x): the GOST engine is not installed", rc);
            return;
        }
        long[] key = {0};
        Tour.check(CAPI.cryptGenKey(hProv[0], Tour.AT_SIGNATURE, 0, key), "generating a GOST key");
        int[] len = {0};
        Tour.check(CAPI.cryptExportKey(key[0], 0, Tour.PUBLICKEYBLOB, 0, null, len, false), "public key size");
        byte[] blob = new byte[len[0]];
        Tour.check(CAPI.cryptExportKey(key[0], 0, Tour.PUBLICKEYBLOB, 0, blob, len, false), "exporting it");
        Tour.say("generated a GOST R 34.10-2012 256 signature key in container \"%s\" (%d-byte PUBLICKEYBLOB)",
                container, len[0]);

        byte[] message = "Hello from the Quill bridge, in GOST".getBytes(StandardCharsets.UTF_8);
        long[] hash = {0};
        Tour.check(CAPI.cryptCreateHash(hProv[0], CALG_GR3411_2012_256, 0, 0, hash), "creating a Streebog hash");
        Tour.check(CAPI.cryptHashData(hash[0], message, 0, message.length, 0), "hashing");
        int[] sigLen = {0};
        Tour.check(CAPI.cryptSignHash(hash[0], Tour.AT_SIGNATURE, null, 0, null, sigLen), "signature size");
        byte[] sig = new byte[sigLen[0]];
        Tour.check(CAPI.cryptSignHash(hash[0], Tour.AT_SIGNATURE, null, 0, sig, sigLen), "signing");
        Tour.check(CAPI.cryptDestroyHash(hash[0]), "destroying the hash");
        Tour.say("signed it with Streebog-256: %d bytes, %s...", sigLen[0], Tour.hex(sig, 16));

        Signature bc = Signature.getInstance("GOST3411-2012-256withECGOST3410-2012-256", new BouncyCastleProvider());
        bc.initVerify(publicKeyOf(blob));
        bc.update(message);
        boolean verified = bc.verify(Tour.reversed(sig));
        Tour.say("BouncyCastle's GOST3411-2012-256withECGOST3410-2012-256 verifies it: %s", verified);
        if (!verified) throw new IllegalStateException("BouncyCastle refused the GOST signature");
        Tour.check(CAPI.cryptDestroyKey(key[0]), "destroying the key");
        Tour.check(CAPI.cryptReleaseContext(hProv[0], 0), "releasing the context");
        Tour.check(CAPI.cryptAcquireContext(hProv, container, null, PROV_GOST_2012_256, Tour.CRYPT_DELETEKEYSET),
                "deleting the GOST container");
    }
}
