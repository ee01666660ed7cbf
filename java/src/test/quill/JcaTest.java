package quill;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.math.BigInteger;
import java.security.KeyFactory;
import java.security.KeyPair;
import java.security.KeyPairGenerator;
import java.security.MessageDigest;
import java.security.PrivateKey;
import java.security.Provider;
import java.security.PublicKey;
import java.security.SecureRandom;
import java.security.cert.X509Certificate;
import java.security.Signature;
import java.security.interfaces.RSAPublicKey;
import java.security.spec.ECGenParameterSpec;
import java.security.spec.X509EncodedKeySpec;
import java.util.Arrays;
import java.util.Map;
import java.util.Random;

import javax.crypto.BadPaddingException;
import javax.crypto.Cipher;
import javax.crypto.Mac;
import javax.crypto.spec.IvParameterSpec;
import javax.crypto.spec.SecretKeySpec;
import javax.security.auth.Destroyable;

import org.bouncycastle.jce.provider.BouncyCastleProvider;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;

import quill.jca.QuillProvider;

/**
 * The provider's algorithms through the JCA, proved against SunRsaSign,
 * SunJCE, SUN, BouncyCastle and the Wycheproof vectors.
 */
class JcaTest {
    static final Provider Q = new QuillProvider();
    static final Provider BC = new BouncyCastleProvider();
    static final Provider SUN_RSA = java.security.Security.getProvider("SunRsaSign");
    static final byte[] MESSAGE = "a message for the JCA".getBytes();

    /** A software key of the test PKI (openssl's PKCS #8 PEM), and its certificate's public key. */
    static KeyPair pkiPair(String name, String alg, Provider p) throws Exception {
        PrivateKey priv = KeyFactory.getInstance(alg, p)
                .generatePrivate(new java.security.spec.PKCS8EncodedKeySpec(Tls.pem(PfxTest.PKI.resolve(name + ".key"))));
        PublicKey pub = KeyFactory.getInstance(alg, p)
                .generatePublic(new X509EncodedKeySpec(PfxTest.cert(name + ".der").getPublicKey().getEncoded()));
        return new KeyPair(pub, priv);
    }

    static byte[] sign(String alg, Provider p, PrivateKey k, byte[] data) throws Exception {
        Signature s = Signature.getInstance(alg, p);
        s.initSign(k);
        s.update(data, 0, 3);
        s.update(data, 3, data.length - 3);
        return s.sign();
    }

    static boolean verify(String alg, Provider p, PublicKey k, byte[] data, byte[] sig) throws Exception {
        Signature s = Signature.getInstance(alg, p);
        s.initVerify(k);
        for (byte b : data) s.update(b);
        return s.verify(sig);
    }

    /**
     * RSA and GOST R 34.10-2012 pairs made in containers sign for the peers
     * (SunRsaSign, BouncyCastle), and the provider verifies the peers' own
     * signatures with their standard public keys; a changed byte is refused.
     */
    @Tag("one-width")
    @Test
    void signaturesVerifyBothWaysWithTheJdkAndBouncyCastle() throws Exception {
        KeyPairGenerator g = KeyPairGenerator.getInstance("RSA", Q);
        g.initialize(1024);
        KeyPair ours = g.generateKeyPair();
        assertEquals(null, ours.getPrivate().getEncoded(), "the key stays in its container");
        KeyPair theirs = pkiPair("leaf", "RSA", SUN_RSA);
        for (String alg : new String[] {"SHA1withRSA", "SHA256withRSA", "SHA384withRSA", "SHA512withRSA"}) {
            byte[] sig = sign(alg, Q, ours.getPrivate(), MESSAGE);
            assertTrue(verify(alg, SUN_RSA, ours.getPublic(), MESSAGE, sig), alg + " by SunRsaSign");
        }
        byte[] jsig = sign("SHA256withRSA", SUN_RSA, theirs.getPrivate(), MESSAGE);
        assertTrue(verify("SHA256withRSA", Q, theirs.getPublic(), MESSAGE, jsig), "SunRsaSign's signature");
        jsig[7] ^= 1;
        assertFalse(verify("SHA256withRSA", Q, theirs.getPublic(), MESSAGE, jsig), "a changed signature");
        // GOST: the provider's pairs of both sizes for BouncyCastle, openssl's 256-bit key back.
        KeyPair openssl = pkiPair("gost", "ECGOST3410-2012", BC);
        for (int bits : new int[] {256, 512}) {
            String alg = "GOST3411-2012-" + bits + "withECGOST3410-2012-" + bits;
            g = KeyPairGenerator.getInstance("ECGOST3410-2012", Q);
            g.initialize(bits);
            ours = g.generateKeyPair();
            PublicKey bcPublic = KeyFactory.getInstance("ECGOST3410-2012", BC)
                    .generatePublic(new X509EncodedKeySpec(ours.getPublic().getEncoded()));
            assertTrue(verify(alg, BC, bcPublic, MESSAGE, sign(alg, Q, ours.getPrivate(), MESSAGE)), alg + " by BC");
            PrivateKey gone = ours.getPrivate();
            ((Destroyable) gone).destroy();
            assertThrows(java.security.InvalidKeyException.class, () -> sign(alg, Q, gone, MESSAGE), "destroyed");
        }
        String alg = "GOST3411-2012-256withECGOST3410-2012-256";
        byte[] bsig = sign(alg, BC, openssl.getPrivate(), MESSAGE);
        assertTrue(verify(alg, Q, openssl.getPublic(), MESSAGE, bsig), alg + " of BC");
        bsig[3] ^= 1;
        assertFalse(verify(alg, Q, openssl.getPublic(), MESSAGE, bsig), alg + " changed");
    }

    /** Three pairs, the last used from four threads; returns their containers' names and keeps nothing. */
    static String[] signFromThreads() throws Exception {
        KeyPairGenerator g = KeyPairGenerator.getInstance("RSA", Q);
        g.initialize(1024);
        String[] names = new String[3];
        KeyPair shared = null;
        for (int i = 0; i < names.length; i++) {
            shared = g.generateKeyPair();
            names[i] = ((quill.jca.CspPrivateKey) shared.getPrivate()).getContainerName();
        }
        KeyPair pair = shared;
        java.util.concurrent.ExecutorService pool = java.util.concurrent.Executors.newFixedThreadPool(4);
        try {
            java.util.List<java.util.concurrent.Future<Boolean>> jobs = new java.util.ArrayList<>();
            for (int t = 0; t < 4; t++) {
                jobs.add(pool.submit(() -> {
                    boolean all = true;
                    for (int i = 0; i < 5; i++) {
                        all &= verify("SHA256withRSA", SUN_RSA, pair.getPublic(), MESSAGE,
                                sign("SHA256withRSA", Q, pair.getPrivate(), MESSAGE));
                    }
                    return all;
                }));
            }
            for (java.util.concurrent.Future<Boolean> j : jobs) assertTrue(j.get(), "signed and verified");
        } finally {
            pool.shutdown();
            pool.awaitTermination(30, java.util.concurrent.TimeUnit.SECONDS);
        }
        return names;
    }

    /**
     * One container key signs from four threads at once; the temporary
     * containers of pairs nobody stored are deleted once their key objects
     * are unreachable, after the cleaner gave their handles back.
     */
    @Test
    void keysSignFromThreadsAndUnreachableOnesGiveBackTheirContainers() throws Exception {
        String[] names = signFromThreads();
        int left = names.length;
        for (int round = 0; round < 100 && left > 0; round++) {
            System.gc();
            Thread.sleep(50);
            left = 0;
            for (String n : names) {
                long[] h = {0};
                int rc = ru.Kestrel.Quill.MSCAPI.CAPI.cryptAcquireContext(h, n, null, Csp.PROV_RSA_AES, 0);
                if (rc == 0) {
                    ru.Kestrel.Quill.MSCAPI.CAPI.cryptReleaseContext(h[0], 0);
                    left++;
                } else {
                    Csp.assertCode(Csp.NTE_BAD_KEYSET, rc, n);
                }
            }
        }
        assertEquals(0, left, "containers left");
    }

    /** Every rsa_signature_2048_sha256 vector through Signature: valid ones verify, invalid ones do not. */
    @Tag("one-width")
    @Test
    void wycheproofRsaSignaturesThroughTheJca() throws Exception {
        int checked = 0;
        for (Map<String, Object> group : Json.groups(Json.file("rsa_signature_2048_sha256_test.json"))) {
            RSAPublicKey key = SignatureTest.wycheproofPublicKey(group);
            for (Map<String, Object> t : Json.tests(group)) {
                boolean ok;
                try {
                    ok = verify("SHA256withRSA", Q, key, Json.hex(t.get("msg")), Json.hex(t.get("sig")));
                } catch (java.security.SignatureException e) {
                    ok = false;
                }
                String what = "tcId " + t.get("tcId") + " (" + t.get("comment") + ")";
                if ("valid".equals(t.get("result"))) assertTrue(ok, what);
                if ("invalid".equals(t.get("result"))) assertFalse(ok, what);
                checked++;
            }
        }
        assertEquals(259, checked);
    }

    static String hex(byte[] b) {
        StringBuilder s = new StringBuilder();
        for (byte x : b) s.append(String.format("%02x", x & 0xff));
        return s.toString();
    }

    static byte[] crypt(Cipher c, byte[] data) throws Exception {
        // In pieces, so that the buffering across update calls is exercised.
        java.io.ByteArrayOutputStream out = new java.io.ByteArrayOutputStream();
        int half = data.length / 2;
        byte[] a = c.update(data, 0, half);
        if (a != null) out.write(a);
        out.write(c.doFinal(data, half, data.length - half));
        return out.toByteArray();
    }

    /**
     * AES and DESede in CBC against SunJCE, Kuznyechik in CBC and counter mode
     * against BouncyCastle, both ways, at lengths around the block size; the
     * Wycheproof AES-CBC vectors; a bad padding is refused.
     */
    @Test
    void blockCiphersMatchSunJceAndBouncyCastle() throws Exception {
        Random rnd = new Random(3);
        Object[][] cases = {{"AES/CBC/PKCS5Padding", "AES", 16, 16, "SunJCE"}, {"AES/CBC/PKCS5Padding", "AES", 32, 16,
            "SunJCE"}, {"DESede/CBC/PKCS5Padding", "DESede", 24, 8, "SunJCE"},
            {"GOST3412-2015/CBC/PKCS5Padding", "GOST3412-2015", 32, 16, BC},
            {"GOST3412-2015/CTR/NoPadding", "GOST3412-2015", 32, 8, BC}};
        for (Object[] c : cases) {
            String alg = (String) c[0];
            byte[] key = new byte[(Integer) c[2]], iv = new byte[(Integer) c[3]];
            rnd.nextBytes(key);
            rnd.nextBytes(iv);
            SecretKeySpec k = new SecretKeySpec(key, (String) c[1]);
            IvParameterSpec p = new IvParameterSpec(iv);
            for (int len : new int[] {0, 1, 15, 16, 17, 100}) {
                byte[] data = new byte[len];
                rnd.nextBytes(data);
                Cipher ours = Cipher.getInstance(alg, Q);
                Cipher peer = c[4] instanceof Provider ? Cipher.getInstance(alg, (Provider) c[4])
                        : Cipher.getInstance(alg, (String) c[4]);
                ours.init(Cipher.ENCRYPT_MODE, k, p);
                peer.init(Cipher.DECRYPT_MODE, k, p);
                byte[] ct = crypt(ours, data);
                assertArrayEquals(data, peer.doFinal(ct), alg + " " + len + " decrypted by the peer");
                assertArrayEquals(ct, crypt(ours, data), alg + " again after doFinal");
                ours.init(Cipher.DECRYPT_MODE, k, p);
                peer.init(Cipher.ENCRYPT_MODE, k, p);
                assertArrayEquals(data, crypt(ours, peer.doFinal(data)), alg + " " + len + " of the peer");
            }
        }
        // Magma against openssl's GOST engine: BouncyCastle has no Magma cipher.
        Object[][] magma = {{"Magma/CBC/PKCS5Padding", "-magma-cbc", 8}, {"Magma/CTR/NoPadding", "-magma-ctr", 4}};
        for (Object[] m : magma) {
            byte[] key = new byte[32], iv = new byte[(Integer) m[2]], data = new byte[21];
            rnd.nextBytes(key);
            rnd.nextBytes(iv);
            rnd.nextBytes(data);
            Cipher ours = Cipher.getInstance((String) m[0], Q);
            ours.init(Cipher.ENCRYPT_MODE, new SecretKeySpec(key, "Magma"), new IvParameterSpec(iv));
            java.nio.file.Path in = java.nio.file.Files.createTempFile("magma", ".bin");
            java.nio.file.Files.write(in, data);
            Process p = new ProcessBuilder("openssl", "enc", "-engine", "gost", (String) m[1], "-K", hex(key), "-iv",
                    hex(iv), "-in", in.toString()).start();
            byte[] theirs = p.getInputStream().readAllBytes();
            assertEquals(0, p.waitFor(), "openssl enc " + m[1]);
            java.nio.file.Files.delete(in);
            assertArrayEquals(theirs, crypt(ours, data), (String) m[0] + " as openssl encrypts");
        }
        Cipher aes = Cipher.getInstance("AES/CBC/PKCS5Padding", Q);
        aes.init(Cipher.DECRYPT_MODE, new SecretKeySpec(new byte[16], "AES"), new IvParameterSpec(new byte[16]));
        assertThrows(BadPaddingException.class, () -> aes.doFinal(new byte[16]), "zero block: no padding");
        int checked = 0;
        for (Map<String, Object> group : Json.groups(Json.file("aes_cbc_pkcs5_test.json"))) {
            for (Map<String, Object> t : Json.tests(group)) {
                Cipher c = Cipher.getInstance("AES/CBC/PKCS5Padding", Q);
                c.init(Cipher.DECRYPT_MODE, new SecretKeySpec(Json.hex(t.get("key")), "AES"),
                        new IvParameterSpec(Json.hex(t.get("iv"))));
                decryptsAsTheVectorSays(c, t);
                checked++;
            }
        }
        assertEquals(216, checked);
    }

    /**
     * RSA/ECB/PKCS1Padding with the key of openssl's PFX: SunJCE
     * decrypts what the provider encrypts to the certificate's key, and the
     * provider decrypts with the container's key what SunJCE encrypted; the
     * Wycheproof PKCS #1 decryption vectors.
     */
    @Tag("one-width")
    @Test
    void rsaEncryptionMatchesSunJce() throws Exception {
        java.security.KeyStore pfx = JcaStoreTest.load("PFX", "leaf.p12", JcaStoreTest.SECRET);
        PublicKey pub = pfx.getCertificate("leaf").getPublicKey();
        PrivateKey soft = pkiPair("leaf", "RSA", SUN_RSA).getPrivate();
        Cipher ours = Cipher.getInstance("RSA", Q);
        Cipher sun = Cipher.getInstance("RSA/ECB/PKCS1Padding", "SunJCE");
        ours.init(Cipher.ENCRYPT_MODE, pub);
        sun.init(Cipher.DECRYPT_MODE, soft);
        assertArrayEquals(MESSAGE, sun.doFinal(ours.doFinal(MESSAGE)));
        sun.init(Cipher.ENCRYPT_MODE, pub);
        ours.init(Cipher.DECRYPT_MODE, pfx.getKey("leaf", null));
        byte[] ct = sun.doFinal(MESSAGE);
        assertArrayEquals(MESSAGE, ours.doFinal(ct));
        ct[ct.length - 1] ^= 1;
        assertThrows(BadPaddingException.class, () -> ours.doFinal(ct));

        // The Wycheproof PKCS #1 decryption vectors, each group's key moved into
        // a container by the PFX key store (with a certificate BouncyCastle makes for it).
        int checked = 0;
        for (Map<String, Object> group : Json.groups(Json.file("rsa_pkcs1_2048_test.json"))) {
            java.security.interfaces.RSAPrivateCrtKey key = CipherTest.wycheproofKey(group);
            java.security.KeyStore ks = java.security.KeyStore.getInstance("PFX", Q);
            ks.load(null, null);
            ks.setKeyEntry("k", key, null, new java.security.cert.Certificate[] {selfSigned(key)});
            Cipher c = Cipher.getInstance("RSA/ECB/PKCS1Padding", Q);
            c.init(Cipher.DECRYPT_MODE, ks.getKey("k", null));
            for (Map<String, Object> t : Json.tests(group)) {
                decryptsAsTheVectorSays(c, t);
                checked++;
            }
        }
        assertEquals(67, checked);
    }

    /** A valid vector's ciphertext decrypts to its message; an invalid one's is refused. */
    static void decryptsAsTheVectorSays(Cipher c, Map<String, Object> t) throws Exception {
        byte[] plain;
        try {
            plain = c.doFinal(Json.hex(t.get("ct")));
        } catch (BadPaddingException | javax.crypto.IllegalBlockSizeException e) {
            plain = null;
        }
        String what = "tcId " + t.get("tcId") + " (" + t.get("comment") + ")";
        if ("valid".equals(t.get("result"))) assertArrayEquals(Json.hex(t.get("msg")), plain, what);
        else assertEquals(null, plain, what);
    }

    /** A self-signed certificate for an RSA key, made by BouncyCastle. */
    static X509Certificate selfSigned(java.security.interfaces.RSAPrivateCrtKey key) throws Exception {
        PublicKey pub = KeyFactory.getInstance("RSA").generatePublic(
                new java.security.spec.RSAPublicKeySpec(key.getModulus(), key.getPublicExponent()));
        org.bouncycastle.asn1.x500.X500Name name = new org.bouncycastle.asn1.x500.X500Name("CN=Wycheproof");
        java.util.Date now = new java.util.Date();
        org.bouncycastle.cert.X509v3CertificateBuilder b = new org.bouncycastle.cert.jcajce.JcaX509v3CertificateBuilder(
                name, BigInteger.ONE, now, new java.util.Date(now.getTime() + 86400000L), name, pub);
        return new org.bouncycastle.cert.jcajce.JcaX509CertificateConverter().getCertificate(
                b.build(new org.bouncycastle.operator.jcajce.JcaContentSignerBuilder("SHA256withRSA").build(key)));
    }

    /**
     * Digests (one clone half-way) and HMACs against SUN, SunJCE and
     * BouncyCastle for Streebog; the Wycheproof HMAC-SHA-1 and -256 vectors; random
     * bytes come out different each time.
     */
    @Test
    void digestsMacsAndRandomMatchThePeers() throws Exception {
        byte[] data = new byte[3000];
        new Random(5).nextBytes(data);
        String[][] digests = {{"MD5", "SUN"}, {"SHA-1", "SUN"}, {"SHA-256", "SUN"}, {"SHA-384", "SUN"},
            {"SHA-512", "SUN"}, {"GOST3411-2012-256", "BC"}, {"GOST3411-2012-512", "BC"}};
        for (String[] d : digests) {
            MessageDigest ours = MessageDigest.getInstance(d[0], Q);
            MessageDigest peer = d[1].equals("BC") ? MessageDigest.getInstance(d[0], BC)
                    : MessageDigest.getInstance(d[0], d[1]);
            ours.update(data, 0, 1000);
            MessageDigest copy = (MessageDigest) ours.clone();
            ours.update(data, 1000, 2000);
            assertArrayEquals(peer.digest(data), ours.digest(), d[0]);
            assertArrayEquals(peer.digest(Arrays.copyOf(data, 1000)), copy.digest(), d[0] + " clone");
            assertArrayEquals(peer.digest(new byte[0]), ours.digest(), d[0] + " of nothing");
        }
        String[][] macs = {{"HmacSHA1", "SunJCE"}, {"HmacSHA256", "SunJCE"}, {"HmacSHA512", "SunJCE"},
            {"HMAC-GOST3411-2012-256", "BC"}, {"HMAC-GOST3411-2012-512", "BC"}};
        for (String[] m : macs) {
            for (int keyLen : new int[] {16, 32, 100}) {
                SecretKeySpec key = new SecretKeySpec(Arrays.copyOf(data, keyLen), "HMAC");
                Mac ours = Mac.getInstance(m[0], Q);
                Mac peer = m[1].equals("BC") ? Mac.getInstance(m[0].replace("-GOST", "GOST"), BC)
                        : Mac.getInstance(m[0], m[1]);
                ours.init(key);
                peer.init(key);
                ours.update(data, 0, 10);
                ours.update(data, 10, data.length - 10);
                assertArrayEquals(peer.doFinal(data), ours.doFinal(), m[0] + " key " + keyLen);
                assertArrayEquals(peer.doFinal(MESSAGE), ours.doFinal(MESSAGE), m[0] + " after reset");
            }
        }
        String[][] files = {{"hmac_sha256_test.json", "HmacSHA256", "174"}, {"hmac_sha1_test.json", "HmacSHA1", "170"}};
        for (String[] f : files) {
            int checked = 0;
            for (Map<String, Object> group : Json.groups(Json.file(f[0]))) {
                int tagBytes = ((Number) group.get("tagSize")).intValue() / 8;
                for (Map<String, Object> t : Json.tests(group)) {
                    Mac ours = Mac.getInstance(f[1], Q);
                    ours.init(new SecretKeySpec(Json.hex(t.get("key")), f[1]));
                    byte[] tag = Arrays.copyOf(ours.doFinal(Json.hex(t.get("msg"))), tagBytes);
                    boolean match = Arrays.equals(tag, Json.hex(t.get("tag")));
                    assertEquals("valid".equals(t.get("result")), match, f[0] + " tcId " + t.get("tcId"));
                    checked++;
                }
            }
            assertEquals(Integer.parseInt(f[2]), checked, f[0]);
        }
        SecureRandom r = SecureRandom.getInstance("CSP", Q);
        byte[] a = new byte[32], b = new byte[32];
        r.nextBytes(a);
        r.nextBytes(b);
        assertNotEquals(Arrays.toString(a), Arrays.toString(b));
        assertEquals(Q, r.getProvider());
    }
}
