package quill;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayInputStream;
import java.io.ByteArrayOutputStream;
import java.io.File;
import java.io.InputStream;
import java.lang.management.ManagementFactory;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyStore;
import java.security.MessageDigest;
import java.security.PrivateKey;
import java.security.Provider;
import java.security.PublicKey;
import java.security.cert.Certificate;
import java.security.cert.X509Certificate;
import java.util.ArrayList;
import java.util.Base64;
import java.util.Collections;
import java.util.List;
import java.util.jar.JarEntry;
import java.util.jar.JarFile;
import java.util.jar.JarOutputStream;
import java.util.jar.Manifest;

import org.bouncycastle.cms.CMSProcessableByteArray;
import org.bouncycastle.cms.CMSSignedData;
import org.bouncycastle.cms.SignerInformation;
import org.bouncycastle.cms.jcajce.JcaSimpleSignerInfoVerifierBuilder;
import org.junit.jupiter.api.Tag;
import org.junit.jupiter.api.Test;

import quill.jca.CspPrivateKey;
import quill.jca.QuillProvider;

/**
 * The provider's key stores through the KeyStore API and through the JDK's
 * keytool and jarsigner, proved with the JDK's PKCS12 key store, its jar
 * verifier and BouncyCastle's CMS verifier.
 */
class JcaStoreTest {
    static final Provider Q = JcaTest.Q;
    static final char[] SECRET = "secret".toCharArray();

    static KeyStore load(String type, String file, char[] password) throws Exception {
        KeyStore ks = type.equals("PKCS12") ? KeyStore.getInstance(type) : KeyStore.getInstance(type, Q);
        try (InputStream in = Files.newInputStream(PfxTest.PKI.resolve(file))) {
            ks.load(in, password);
        }
        return ks;
    }

    static KeyStore system(String name) throws Exception {
        KeyStore ks = KeyStore.getInstance("SystemStore", Q);
        ks.load(QuillProvider.systemStore(name));
        return ks;
    }

    /** Whether the entry's key signs for its certificate's public key, as the peer checks it. */
    static boolean signs(KeyStore ks, String alias) throws Exception {
        X509Certificate c = (X509Certificate) ks.getCertificate(alias);
        PublicKey pub = c.getPublicKey();
        boolean gost = !pub.getAlgorithm().equals("RSA");
        String alg = gost ? "GOST3411-2012-256withECGOST3410-2012-256" : "SHA256withRSA";
        byte[] sig = JcaTest.sign(alg, Q, (PrivateKey) ks.getKey(alias, null), JcaTest.MESSAGE);
        if (gost) {
            pub = java.security.KeyFactory.getInstance("ECGOST3410-2012", JcaTest.BC)
                    .generatePublic(new java.security.spec.X509EncodedKeySpec(pub.getEncoded()));
        }
        return JcaTest.verify(alg, gost ? JcaTest.BC : JcaTest.SUN_RSA, pub, JcaTest.MESSAGE, sig);
    }

    /**
     * PFX files made by openssl (modern and legacy protection) and keytool,
     * and openssl's GOST file: key entries whose keys sign; written again, the
     * JDK's PKCS12 key store reads the RSA one and the provider reads both; a
     * wrong password is refused.
     */
    @Tag("one-width")
    @Test
    void pfxStoreReadsOpensslAndKeytoolFilesAndWritesThemAgain() throws Exception {
        for (String file : new String[] {"leaf.p12", "leaf-legacy.p12", "leaf-keytool.p12", "gost.p12"}) {
            KeyStore ks = load("PFX", file, SECRET);
            String alias = file.startsWith("gost") ? "gost" : "leaf";
            assertEquals(List.of(alias), Collections.list(ks.aliases()), file);
            assertTrue(ks.isKeyEntry(alias) && ks.getKey(alias, null) instanceof CspPrivateKey, file);
            assertTrue(signs(ks, alias), file + ": the imported key signs");
            ByteArrayOutputStream out = new ByteArrayOutputStream();
            ks.store(out, "again".toCharArray());
            KeyStore back = KeyStore.getInstance("PFX", Q);
            back.load(new ByteArrayInputStream(out.toByteArray()), "again".toCharArray());
            assertTrue(signs(back, alias), file + " written and read again");
            if (file.equals("leaf.p12")) {
                KeyStore jdk = KeyStore.getInstance("PKCS12");
                jdk.load(new ByteArrayInputStream(out.toByteArray()), "again".toCharArray());
                assertArrayEquals(ks.getCertificate(alias).getEncoded(), jdk.getCertificate(alias).getEncoded());
                assertEquals(2, jdk.getCertificateChain(alias).length, file + ": the chain travels");
                assertNotNull(jdk.getKey(alias, "again".toCharArray()), file + ": the JDK takes the key");
            }
        }
        assertThrows(java.io.IOException.class, () -> load("PFX", "leaf.p12", "wrong".toCharArray()));
    }

    /**
     * A system store takes a software key (moved into a new container) and a
     * CSP key from a PFX store (whose temporary container it keeps), and a
     * certificate; a new KeyStore over the store sees all three and the keys
     * sign; deleting removes them.
     */
    @Test
    void systemStoreKeepsKeysAcrossLoads() throws Exception {
        String store = Csp.uniqueName("JcaStore");
        KeyStore ks = system(store);
        assertEquals(0, ks.size());
        Certificate[] chain = {PfxTest.cert("leaf.der"), PfxTest.cert("ca.der")};
        ks.setKeyEntry("soft", JcaTest.pkiPair("leaf", "RSA", JcaTest.SUN_RSA).getPrivate(), SECRET, chain);
        KeyStore pfx = load("PFX", "gost.p12", SECRET);
        ks.setKeyEntry("gost", pfx.getKey("gost", null), null, pfx.getCertificateChain("gost"));
        ks.setCertificateEntry("ca", chain[1]);
        pfx = null;
        System.gc();
        Thread.sleep(200); // the PFX store's key object is collected; its container stays

        KeyStore again = system(store);
        assertEquals(List.of("ca", "gost", "soft"), sorted(again));
        assertTrue(again.isCertificateEntry("ca"));
        assertTrue(signs(again, "soft"), "the software key, from its container");
        assertTrue(signs(again, "gost"), "the GOST key, kept by the store");
        assertEquals(2, again.getCertificateChain("soft").length, "chain built from the store");
        for (String a : new String[] {"soft", "gost", "ca"}) again.deleteEntry(a);
        assertEquals(0, system(store).size());
    }

    static List<String> sorted(KeyStore ks) throws Exception {
        List<String> l = Collections.list(ks.aliases());
        Collections.sort(l);
        return l;
    }

    static String jarOf(Class<?> c) throws Exception {
        return new File(c.getProtectionDomain().getCodeSource().getLocation().toURI()).getPath();
    }

    /** Runs a JDK tool's main class in a JVM like this one, the provider on its class path. */
    static String tool(String module, String main, String... args) throws Exception {
        List<String> cmd = new ArrayList<>();
        cmd.add(System.getProperty("java.home") + "/bin/java");
        cmd.addAll(ManagementFactory.getRuntimeMXBean().getInputArguments());
        cmd.add("-cp");
        cmd.add(jarOf(QuillProvider.class));
        cmd.add("-m");
        cmd.add(module + "/" + main);
        cmd.addAll(List.of(args));
        Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertEquals(0, p.waitFor(), String.join(" ", args) + ":\n" + out);
        return out;
    }

    static String keytool(String... args) throws Exception {
        return tool("java.base", "sun.security.tools.keytool.Main", args);
    }

    static String jarsigner(String... args) throws Exception {
        return tool("jdk.jartool", "sun.security.tools.jarsigner.Main", args);
    }

    /**
     * keytool copies openssl's PFX into MY (the software key goes into a new
     * container) and lists MY's entries; jarsigner signs a jar with that key
     * and with a GOST key of MY. The JDK verifies the RSA jar (jarsigner
     * -verify and JarFile); BouncyCastle verifies the GOST signature block
     * over the signature file, which names the manifest's digest.
     */
    @Tag("one-width")
    @Test
    void keytoolAndJarsignerUseMy() throws Exception {
        String rsa = Csp.uniqueName("rsa"), gost = Csp.uniqueName("gost");
        String[] my = {"-keystore", "NONE", "-storetype", "MY", "-storepass", "changeit", "-addprovider", "Quill"};
        keytool(concat(new String[] {"-importkeystore", "-noprompt", "-srckeystore",
            PfxTest.PKI.resolve("leaf.p12").toString(), "-srcstoretype", "PKCS12", "-srcstorepass", "secret",
            "-srcalias", "leaf", "-destalias", rsa, "-destkeystore", "NONE", "-deststoretype", "MY",
            "-deststorepass", "changeit", "-destkeypass", "changeit", "-addprovider", "Quill"}));
        KeyStore ks = KeyStore.getInstance("MY", Q);
        ks.load(null, null);
        KeyStore pfx = load("PFX", "gost.p12", SECRET);
        ks.setKeyEntry(gost, pfx.getKey("gost", null), null, pfx.getCertificateChain("gost"));
        String list = keytool(concat(new String[] {"-list"}, my));
        assertTrue(list.contains(rsa + ", ") && list.contains("PrivateKeyEntry"), list);
        assertTrue(list.contains(gost + ", "), list);
        try {
            Path dir = Tls.tempDir("jar");
            for (String alias : new String[] {rsa, gost}) {
                Path jar = dir.resolve(alias + ".jar");
                Manifest mf = new Manifest();
                mf.getMainAttributes().putValue("Manifest-Version", "1.0");
                try (JarOutputStream j = new JarOutputStream(Files.newOutputStream(jar), mf)) {
                    j.putNextEntry(new JarEntry("hello.txt"));
                    j.write(JcaTest.MESSAGE);
                }
                String[] sigalg = alias.equals(gost)
                        ? new String[] {"-sigalg", "GOST3411-2012-256withECGOST3410-2012-256"} : new String[0];
                jarsigner(concat(concat(my, sigalg), jar.toString(), alias));
                if (alias.equals(rsa)) {
                    String v = jarsigner("-verify", jar.toString());
                    assertTrue(v.contains("jar verified."), v);
                    try (JarFile jf = new JarFile(jar.toFile(), true)) {
                        JarEntry e = jf.getJarEntry("hello.txt");
                        assertArrayEquals(JcaTest.MESSAGE, jf.getInputStream(e).readAllBytes());
                        assertNotNull(e.getCodeSigners(), "the JDK checked the signature");
                    }
                } else {
                    assertTrue(bouncyCastleVerifies(jar, (X509Certificate) ks.getCertificate(gost)));
                }
            }
        } finally {
            ks = KeyStore.getInstance("MY", Q);
            ks.load(null, null);
            ks.deleteEntry(rsa);
            ks.deleteEntry(gost);
        }
        ks.load(null, null);
        assertFalse(ks.containsAlias(rsa) || ks.containsAlias(gost), "deleted");
    }

    static String[] concat(String[] a, String... b) {
        String[] r = java.util.Arrays.copyOf(a, a.length + b.length);
        System.arraycopy(b, 0, r, a.length, b.length);
        return r;
    }

    /** The jar's signature block verified by BouncyCastle's CMS code, the .SF naming the manifest's digest. */
    static boolean bouncyCastleVerifies(Path jar, X509Certificate cert) throws Exception {
        try (JarFile jf = new JarFile(jar.toFile(), false)) {
            byte[] sf = null, block = null, manifest = null;
            for (JarEntry e : Collections.list(jf.entries())) {
                byte[] b = jf.getInputStream(e).readAllBytes();
                if (e.getName().equals("META-INF/MANIFEST.MF")) manifest = b;
                else if (e.getName().endsWith(".SF")) sf = b;
                else if (e.getName().startsWith("META-INF/") && !e.isDirectory()) block = b;
            }
            String digest = Base64.getEncoder().encodeToString(MessageDigest.getInstance("SHA-256").digest(manifest));
            assertTrue(new String(sf, StandardCharsets.UTF_8).contains("SHA-256-Digest-Manifest: " + digest));
            CMSSignedData cms = new CMSSignedData(new CMSProcessableByteArray(sf), block);
            SignerInformation signer = cms.getSignerInfos().getSigners().iterator().next();
            assertEquals("1.2.643.7.1.1.2.2", signer.getDigestAlgOID(), "Streebog-256");
            return signer.verify(new JcaSimpleSignerInfoVerifierBuilder().setProvider(JcaTest.BC).build(cert));
        }
    }
}
