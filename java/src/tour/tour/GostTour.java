package tour;

import java.io.ByteArrayOutputStream;
import java.nio.charset.StandardCharsets;
import java.security.KeyFactory;
import java.security.PublicKey;
import java.security.Signature;
import java.security.spec.X509EncodedKeySpec;
import java.util.Arrays;

import org.bouncycastle.jce.provider.BouncyCastleProvider;

import ru.Kestrel.Quill.KeyStore.PFXStore;
import ru.Kestrel.Quill.KeyStore.StoreCallbacks;
import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * The GOST steps of the tour: a GOST R 34.10-2012 256 key made in a container
 * signs, and so does one imported from a PFX file made by openssl's GOST
 * engine; BouncyCastle verifies both.
 */
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
        byte[] sig = sign(hProv[0], Tour.AT_SIGNATURE, message);
        Tour.say("signed it with Streebog-256: %d bytes, %s...", sig.length, Tour.hex(sig, 16));

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

    /** Signs with Streebog-256 under the context's key `spec`; the signature as the CSP gives it. */
    static byte[] sign(long hProv, int spec, byte[] message) {
        long[] hash = {0};
        Tour.check(CAPI.cryptCreateHash(hProv, CALG_GR3411_2012_256, 0, 0, hash), "creating a Streebog hash");
        Tour.check(CAPI.cryptHashData(hash[0], message, 0, message.length, 0), "hashing");
        int[] sigLen = {64};
        byte[] sig = new byte[64];
        Tour.check(CAPI.cryptSignHash(hash[0], spec, null, 0, sig, sigLen), "signing");
        Tour.check(CAPI.cryptDestroyHash(hash[0]), "destroying the hash");
        return sig;
    }

    /**
     * gost.p12 (a self-signed GOST certificate and its key, from openssl's
     * GOST engine) through the PFX natives: the key lands in a container of
     * the GOST provider type, its public key is the certificate's, and its
     * signature verifies with BouncyCastle.
     */
    static void pfx(java.nio.file.Path pki) throws Exception {
        if (!java.nio.file.Files.exists(pki.resolve("gost.p12"))) {
            Tour.say("no gost.p12: the openssl command has no GOST engine here");
            return;
        }
        byte[] pfx = java.nio.file.Files.readAllBytes(pki.resolve("gost.p12"));
        PFXStore imported = new PFXStore();
        int rc = imported.importPfx(pfx, pfx.length, "secret", 0);
        if (rc != 0) {
            Tour.say("the GOST PFX does not import here (0x%x): the GOST engine is not installed", rc);
            return;
        }
        StoreCallbacks.Entry e = imported.entries.get(0);
        int[] len = {0};
        Tour.check(CAPI.cryptExportKey(e.hKey, 0, Tour.PUBLICKEYBLOB, 0, null, len, false), "public key size");
        byte[] blob = new byte[len[0]];
        Tour.check(CAPI.cryptExportKey(e.hKey, 0, Tour.PUBLICKEYBLOB, 0, blob, len, false), "exporting it");
        // The certificate's point is the end of its SubjectPublicKeyInfo: X and Y, little-endian.
        byte[] spki = e.chain.get(0).getPublicKey().getEncoded();
        boolean same = Arrays.equals(Arrays.copyOfRange(spki, spki.length - 64, spki.length),
                Arrays.copyOfRange(blob, blob.length - 64, blob.length));
        Tour.say("imported gost.p12 (made by openssl -engine gost): \"%s\" in container \"%s\" of \"%s\" (type %d); "
                + "its public key is the certificate's: %s", e.chain.get(0).getSubjectX500Principal().getName(),
                e.sourceContainer, e.provider, e.provType, same);
        byte[] message = "Signed with a GOST key from a PFX".getBytes(StandardCharsets.UTF_8);
        byte[] sig = sign(e.hProv, e.keyFlags, message);
        Signature bc = Signature.getInstance("GOST3411-2012-256withECGOST3410-2012-256", new BouncyCastleProvider());
        bc.initVerify(publicKeyOf(blob));
        bc.update(message);
        boolean verified = same && bc.verify(Tour.reversed(sig));
        Tour.say("signed with it; BouncyCastle verifies: %s", verified);
        if (!verified) throw new IllegalStateException("BouncyCastle refused the imported GOST key's signature");
        Tour.check(CAPI.cryptDestroyKey(e.hKey), "destroying the key");
        if (e.keyUsage == 1) Tour.check(CAPI.cryptReleaseContext(e.hProv, 0), "releasing the context");
        long[] gone = {0};
        Tour.check(CAPI.cryptAcquireContext(gone, e.sourceContainer, null, e.provType, Tour.CRYPT_DELETEKEYSET),
                "deleting the imported container");
    }
}
