package bench;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.KeyFactory;
import java.security.KeyPair;
import java.security.KeyPairGenerator;
import java.security.KeyStore;
import java.security.PrivateKey;
import java.security.PublicKey;
import java.security.Signature;
import java.security.cert.Certificate;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.security.interfaces.RSAPrivateCrtKey;
import java.security.spec.ECGenParameterSpec;
import java.security.spec.PKCS8EncodedKeySpec;
import java.util.ArrayList;
import java.util.List;

import ru.Kestrel.Quill.KeyStore.MSStore;
import ru.Kestrel.Quill.KeyStore.PFXStore;
import ru.Kestrel.Quill.KeyStore.StoreCallbacks;
import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * The store and PFX rows of the Java benchmark: walking a system store
 * ({@code MSStore.readStore}) against the JDK's PKCS12 {@code KeyStore.load}
 * of the same certificates, importing a PFX ({@code PFXStore.importPfx})
 * against the JDK's load of the same file and OpenSSL's own read of it
 * ({@code PKCS12_parse}, the limit column), adding one certificate to a
 * system store of 10 and of 10,000 ({@code MSStore.storeCertificate}) and
 * taking it out again ({@code MSStore.removeCertificate}), and
 * importing an RSA-2048 PRIVATEKEYBLOB against the JDK's KeyFactory.
 *
 * The certificates are made here: a self-signed ECDSA P-256 root (put into
 * the user's ROOT store) and end-entity certificates it issued, all with one
 * key. A store of N is written as its file in one go (what N calls of
 * storeCertificate would leave), so that filling it is not what is timed.
 */
final class Stores {
    private Stores() {}

    static final int CRYPT_EXPORTABLE = 1;
    static final int PROV_RSA_AES = 24;
    static final int CRYPT_DELETEKEYSET = 0x10;
    static final char[] PASSWORD = "bench".toCharArray();

    // ------------------------------------------------------ certificates

    static byte[] tlv(int tag, byte[]... parts) {
        ByteArrayOutputStream body = new ByteArrayOutputStream();
        for (byte[] p : parts) body.writeBytes(p);
        byte[] b = body.toByteArray();
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        out.write(tag);
        int n = b.length;
        if (n < 0x80) {
            out.write(n);
        } else {
            int bytes = n < 0x100 ? 1 : n < 0x10000 ? 2 : 3;
            out.write(0x80 | bytes);
            for (int i = bytes - 1; i >= 0; i--) out.write(n >>> (8 * i));
        }
        out.writeBytes(b);
        return out.toByteArray();
    }

    static final byte[] ECDSA_SHA256 = tlv(0x30, new byte[] {6, 8, 0x2A, (byte) 0x86, 0x48, (byte) 0xCE, 0x3D, 4, 3, 2});

    static byte[] name(String cn) {
        byte[] attr = tlv(0x30, new byte[] {6, 3, 0x55, 4, 3}, tlv(0x0C, cn.getBytes(StandardCharsets.UTF_8)));
        return tlv(0x30, tlv(0x31, attr));
    }

    /** A v3 certificate of `subject` with `key`, signed by `issuerKey` with ECDSA P-256 / SHA-256. */
    static byte[] certificate(long serial, String subject, String issuer, PublicKey key, PrivateKey issuerKey,
            boolean ca) throws Exception {
        byte[] validity = tlv(0x30, tlv(0x17, "250101000000Z".getBytes(StandardCharsets.US_ASCII)),
                tlv(0x17, "450101000000Z".getBytes(StandardCharsets.US_ASCII)));
        List<byte[]> tbs = new ArrayList<>();
        tbs.add(tlv(0xA0, tlv(2, new byte[] {2})));
        tbs.add(tlv(2, BigInteger.valueOf(serial).toByteArray()));
        tbs.add(ECDSA_SHA256);
        tbs.add(name(issuer));
        tbs.add(validity);
        tbs.add(name(subject));
        tbs.add(key.getEncoded());
        if (ca) {
            byte[] basic = tlv(0x30, new byte[] {6, 3, 0x55, 0x1D, 0x13}, new byte[] {1, 1, (byte) 0xFF},
                    tlv(4, tlv(0x30, new byte[] {1, 1, (byte) 0xFF})));
            tbs.add(tlv(0xA3, tlv(0x30, basic)));
        }
        byte[] tbsDer = tlv(0x30, tbs.toArray(new byte[0][]));
        Signature s = Signature.getInstance("SHA256withECDSA");
        s.initSign(issuerKey);
        s.update(tbsDer);
        byte[] sig = s.sign();
        byte[] bits = new byte[sig.length + 1];
        System.arraycopy(sig, 0, bits, 1, sig.length);
        return tlv(0x30, tbsDer, ECDSA_SHA256, tlv(3, bits));
    }

    static X509Certificate parse(byte[] der) throws Exception {
        return (X509Certificate) CertificateFactory.getInstance("X.509")
                .generateCertificate(new ByteArrayInputStream(der));
    }

    // ------------------------------------------------------ store files

    static void putLe32(ByteArrayOutputStream out, int v) {
        for (int i = 0; i < 4; i++) out.write(v >>> (8 * i));
    }

    /** The user's store file of `name` holding `certs`, as the platform writes it. */
    static void writeStore(Path dir, String name, List<byte[]> certs) throws Exception {
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        out.writeBytes("QCSPST01".getBytes(StandardCharsets.US_ASCII));
        for (byte[] der : certs) {
            putLe32(out, der.length + 8);
            putLe32(out, 1);
            putLe32(out, der.length);
            out.writeBytes(der);
        }
        Path file = dir.resolve(name + ".sst");
        Path tmp = dir.resolve(name + ".sst.bench");
        Files.write(tmp, out.toByteArray());
        Files.setPosixFilePermissions(tmp, PosixFilePermissions.fromString("rw-------"));
        Files.move(tmp, file, java.nio.file.StandardCopyOption.REPLACE_EXISTING,
                java.nio.file.StandardCopyOption.ATOMIC_MOVE);
    }

    static Path userStores() throws Exception {
        String root = System.getenv("QUILL_CSP_ROOT");
        if (root == null || root.isEmpty()) throw new IllegalStateException("QUILL_CSP_ROOT is not set");
        Path probe = Files.createTempFile(Path.of(root), "uid", "");
        int uid = (Integer) Files.getAttribute(probe, "unix:uid");
        Files.delete(probe);
        Path dir = Path.of(root, "users", Integer.toString(uid), "stores");
        Files.createDirectories(dir);
        return dir;
    }

    static byte[] jdkPkcs12(List<byte[]> certs, PrivateKey key, List<byte[]> keyChain) throws Exception {
        KeyStore ks = KeyStore.getInstance("PKCS12");
        ks.load(null, null);
        if (key != null) {
            Certificate[] chain = new Certificate[keyChain.size()];
            for (int i = 0; i < chain.length; i++) chain[i] = parse(keyChain.get(i));
            ks.setKeyEntry("key", key, PASSWORD, chain);
        }
        for (int i = 0; i < certs.size(); i++) ks.setCertificateEntry("cert" + i, parse(certs.get(i)));
        ByteArrayOutputStream out = new ByteArrayOutputStream();
        ks.store(out, PASSWORD);
        return out.toByteArray();
    }

    static long jdkLoad(byte[] p12) throws Exception {
        KeyStore ks = KeyStore.getInstance("PKCS12");
        ks.load(new ByteArrayInputStream(p12), PASSWORD);
        return ks.size();
    }

    // ------------------------------------------------------ the bridge side

    static long readStore(String name, int expected) {
        MSStore walk = new MSStore();
        Bench.check(walk.readStore(name, false), "readStore " + name);
        if (walk.entries.size() != expected) {
            throw new AssertionError(name + ": " + walk.entries.size() + " entries, " + expected + " expected");
        }
        return walk.entries.size();
    }

    static List<StoreCallbacks.Entry> lastImport = new ArrayList<>();

    static long importPfx(byte[] pfx) {
        PFXStore walk = new PFXStore();
        int rc = walk.importPfx(pfx, pfx.length, new String(PASSWORD), CRYPT_EXPORTABLE);
        lastImport = walk.entries;
        Bench.check(rc, "importPfx");
        return walk.entries.size();
    }

    /** The limit of an import: OpenSSL reading the same PFX, its certificates. */
    static long limitImport(byte[] pfx) {
        int n = Limit.importPfx(pfx, pfx.length, new String(PASSWORD));
        if (n < 0) throw new IllegalStateException("OpenSSL's read of the PFX failed: " + n);
        return n;
    }

    /** What an import left: key handles and the containers made for them. */
    static void dropImport() {
        for (StoreCallbacks.Entry e : lastImport) {
            if (!e.hasKey) continue;
            CAPI.cryptDestroyKey(e.hKey);
            if (e.keyUsage == 1) CAPI.cryptReleaseContext(e.hProv, 0);
            long[] h = {0};
            CAPI.cryptAcquireContext(h, e.sourceContainer, null, PROV_RSA_AES, CRYPT_DELETEKEYSET);
        }
        lastImport = new ArrayList<>();
    }

    // ------------------------------------------------------ the rows

    static void run(boolean quick, RSAPrivateCrtKey rsaPriv, PublicKey rsaPub, long verifyProv,
            byte[] rsaBlob) throws Exception {
        KeyPairGenerator g = KeyPairGenerator.getInstance("EC");
        g.initialize(new ECGenParameterSpec("secp256r1"));
        KeyPair rootPair = g.generateKeyPair();
        KeyPair leafPair = g.generateKeyPair();
        byte[] root = certificate(1, "Bench Root", "Bench Root", rootPair.getPublic(), rootPair.getPrivate(), true);
        MSStore ms = new MSStore();
        Bench.check(ms.storeCertificate("ROOT", "Bench Root", root, root.length, 0, 0, 0), "ROOT");

        int[] sizes = quick ? new int[] {10, 100} : new int[] {10, 100, 1000, 10000};
        int most = sizes[sizes.length - 1];
        List<byte[]> leaves = new ArrayList<>();
        for (int i = 0; i < most + 64; i++) {
            leaves.add(certificate(1000 + i, "Bench Leaf " + i, "Bench Root", leafPair.getPublic(),
                    rootPair.getPrivate(), false));
        }
        Path stores = userStores();
        for (int n : sizes) {
            if (!Bench.wanted("readStore")) break;
            String store = "BENCH" + n;
            List<byte[]> certs = leaves.subList(0, n);
            writeStore(stores, store, certs);
            byte[] p12 = jdkPkcs12(certs, null, null);
            agree(readStore(store, n) == jdkLoad(p12), "certificates of a store of " + n);
            Bench.rowScaled(String.format("readStore, store of %,d", n), "certs/s", n,
                    () -> readStore(store, n), () -> jdkLoad(p12));
        }

        // PFX: a key whose certificate the root issued, alone and with 100 CA certificates.
        byte[] keyCert = certificate(7, "Bench Key", "Bench Root", rsaPub, rootPair.getPrivate(), false);
        List<byte[]> cas = new ArrayList<>();
        for (int i = 0; i < 99; i++) {
            KeyPair ca = i < 8 ? g.generateKeyPair() : leafPair; // a few keys are enough
            cas.add(certificate(5000 + i, "Bench CA " + i, "Bench CA " + i, ca.getPublic(), ca.getPrivate(), true));
        }
        byte[] pfxOne = jdkPkcs12(List.of(), rsaPriv, List.of(keyCert));
        byte[] pfxCas = jdkPkcs12(cas, rsaPriv, List.of(keyCert, root));
        agree(importPfx(pfxOne) == 1 && jdkLoad(pfxOne) == 1, "a PFX of one key");
        dropImport();
        agree(importPfx(pfxCas) == 100 && jdkLoad(pfxCas) == 100, "a PFX of one key and 100 CA certificates");
        dropImport();
        agree(limitImport(pfxOne) == 1 && limitImport(pfxCas) == 101, "OpenSSL's read of the PFX files");
        Bench.rowWithReset("importPfx, 1 key", () -> importPfx(pfxOne), Stores::dropImport,
                () -> limitImport(pfxOne), () -> jdkLoad(pfxOne));
        Bench.rowWithReset("importPfx, 1 key + 100 CA", () -> importPfx(pfxCas), Stores::dropImport,
                () -> limitImport(pfxCas), () -> jdkLoad(pfxCas));

        // One more certificate into a store of 10 and of the largest size, taken out again untimed;
        // then the other way round.
        for (int n : new int[] {10, most}) {
            if (!Bench.wanted("storeCertificate") && !Bench.wanted("removeCertificate")) break;
            String store = "ADD" + n;
            writeStore(stores, store, leaves.subList(0, n));
            byte[] extra = leaves.get(most + 1);
            readStore(store, n);
            Bench.rowWithReset(String.format("storeCertificate, store of %,d", n),
                    () -> {
                        Bench.check(ms.storeCertificate(store, "extra", extra, extra.length, 0, 0, 0), "store");
                        return 1;
                    },
                    () -> Bench.check(ms.removeCertificate(store, "extra", extra, extra.length), "remove"),
                    null, null);
            Bench.check(ms.storeCertificate(store, "extra", extra, extra.length, 0, 0, 0), "store");
            Bench.rowWithReset(String.format("removeCertificate, store of %,d", n),
                    () -> {
                        Bench.check(ms.removeCertificate(store, "extra", extra, extra.length), "remove");
                        return 1;
                    },
                    () -> Bench.check(ms.storeCertificate(store, "extra", extra, extra.length, 0, 0, 0), "store"),
                    null, null);
            Bench.check(ms.removeCertificate(store, "extra", extra, extra.length), "remove");
            readStore(store, n);
        }

        // RSA-2048 PRIVATEKEYBLOB into a context without a container, against KeyFactory of PKCS #8.
        byte[] pkcs8 = rsaPriv.getEncoded();
        KeyFactory kf = KeyFactory.getInstance("RSA");
        Bench.row("RSA-2048 PRIVATEKEYBLOB import", 0, () -> {
            long k = Bench.importKey(verifyProv, rsaBlob, 0);
            CAPI.cryptDestroyKey(k);
            return k;
        }, null, () -> kf.generatePrivate(new PKCS8EncodedKeySpec(pkcs8)).hashCode());
    }

    static void agree(boolean ok, String what) {
        Bench.agree(ok, what);
    }
}
