package quill.jca;

import java.security.KeyStore;
import java.security.Provider;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.function.Supplier;

/**
 * The JCA provider "Quill" over the CSP: key stores of the system
 * certificate stores and of PFX files, signatures, ciphers, digests, MACs,
 * random numbers and key pairs of the CSP, and a TLS client over its SSPI.
 *
 * <pre>
 *   Security.addProvider(new quill.jca.QuillProvider());
 *   KeyStore my = KeyStore.getInstance("MY", "Quill");
 *   my.load(null, null);
 * </pre>
 */
public final class QuillProvider extends Provider {
    private static final long serialVersionUID = 1L;

    public static final String NAME = "Quill";

    /** The parameter that names the system store to load into a "SystemStore" key store. */
    public static KeyStore.LoadStoreParameter systemStore(String name) {
        return new CspKeyStore.SystemStore.Name(name);
    }

    /** A service whose engine is made directly, without reflection. */
    private static final class Svc extends Service {
        private final Supplier<Object> make;

        Svc(Provider p, String type, String alg, Class<?> spi, Supplier<Object> make, String[] aliases,
                Map<String, String> attrs) {
            super(p, type, alg, spi.getName(), Arrays.asList(aliases), attrs);
            this.make = make;
        }

        @Override
        public Object newInstance(Object constructorParameter) {
            return make.get();
        }
    }

    private void add(String type, String alg, Class<?> spi, Supplier<Object> make, String... aliases) {
        putService(new Svc(this, type, alg, spi, make, aliases, null));
    }

    private static String[] oid(String oid, String... more) {
        String[] a = Arrays.copyOf(more, more.length + 2);
        a[more.length] = oid;
        a[more.length + 1] = "OID." + oid;
        return a;
    }

    public QuillProvider() {
        super(NAME, "1.0", "Quill CSP: system stores, PFX, RSA and GOST keys and algorithms, TLS client");

        add("KeyStore", "MY", CspKeyStore.My.class, CspKeyStore.My::new);
        add("KeyStore", "ROOT", CspKeyStore.Root.class, CspKeyStore.Root::new);
        add("KeyStore", "CA", CspKeyStore.Ca.class, CspKeyStore.Ca::new);
        add("KeyStore", "SystemStore", CspKeyStore.Named.class, CspKeyStore.Named::new);
        add("KeyStore", "PFX", CspKeyStore.Pfx.class, CspKeyStore.Pfx::new);

        add("Signature", "SHA1withRSA", CspSignature.Sha1Rsa.class, CspSignature.Sha1Rsa::new);
        add("Signature", "SHA256withRSA", CspSignature.Sha256Rsa.class, CspSignature.Sha256Rsa::new);
        add("Signature", "SHA384withRSA", CspSignature.Sha384Rsa.class, CspSignature.Sha384Rsa::new);
        add("Signature", "SHA512withRSA", CspSignature.Sha512Rsa.class, CspSignature.Sha512Rsa::new);
        add("Signature", "GOST3411-2012-256withECGOST3410-2012-256", CspSignature.Gost256.class,
                CspSignature.Gost256::new, oid("1.2.643.7.1.1.3.2"));
        add("Signature", "GOST3411-2012-512withECGOST3410-2012-512", CspSignature.Gost512.class,
                CspSignature.Gost512::new, oid("1.2.643.7.1.1.3.3"));

        add("MessageDigest", "MD5", CspDigest.Md5.class, CspDigest.Md5::new);
        add("MessageDigest", "SHA-1", CspDigest.Sha1.class, CspDigest.Sha1::new, "SHA", "SHA1");
        add("MessageDigest", "SHA-256", CspDigest.Sha256.class, CspDigest.Sha256::new, "SHA256");
        add("MessageDigest", "SHA-384", CspDigest.Sha384.class, CspDigest.Sha384::new, "SHA384");
        add("MessageDigest", "SHA-512", CspDigest.Sha512.class, CspDigest.Sha512::new, "SHA512");
        add("MessageDigest", "GOST3411-2012-256", CspDigest.Streebog256.class, CspDigest.Streebog256::new,
                oid("1.2.643.7.1.1.2.2", "Streebog-256"));
        add("MessageDigest", "GOST3411-2012-512", CspDigest.Streebog512.class, CspDigest.Streebog512::new,
                oid("1.2.643.7.1.1.2.3", "Streebog-512"));

        add("Mac", "HmacSHA1", CspMac.Sha1.class, CspMac.Sha1::new);
        add("Mac", "HmacSHA256", CspMac.Sha256.class, CspMac.Sha256::new);
        add("Mac", "HmacSHA384", CspMac.Sha384.class, CspMac.Sha384::new);
        add("Mac", "HmacSHA512", CspMac.Sha512.class, CspMac.Sha512::new);
        add("Mac", "HMAC-GOST3411-2012-256", CspMac.Streebog256.class, CspMac.Streebog256::new,
                oid("1.2.643.7.1.1.4.1", "HMACGOST3411-2012-256"));
        add("Mac", "HMAC-GOST3411-2012-512", CspMac.Streebog512.class, CspMac.Streebog512::new,
                oid("1.2.643.7.1.1.4.2", "HMACGOST3411-2012-512"));

        add("Cipher", "RSA/ECB/PKCS1Padding", CspCipher.Rsa.class, CspCipher.Rsa::new, "RSA");
        add("Cipher", "AES/CBC/PKCS5Padding", CspCipher.AesCbc.class, CspCipher.AesCbc::new);
        add("Cipher", "DESede/CBC/PKCS5Padding", CspCipher.DesEdeCbc.class, CspCipher.DesEdeCbc::new);
        add("Cipher", "GOST3412-2015/CBC/PKCS5Padding", CspCipher.KuznyechikCbc.class,
                CspCipher.KuznyechikCbc::new, "Kuznyechik/CBC/PKCS5Padding");
        add("Cipher", "GOST3412-2015/CTR/NoPadding", CspCipher.KuznyechikCtr.class, CspCipher.KuznyechikCtr::new,
                "Kuznyechik/CTR/NoPadding");
        add("Cipher", "Magma/CBC/PKCS5Padding", CspCipher.MagmaCbc.class, CspCipher.MagmaCbc::new);
        add("Cipher", "Magma/CTR/NoPadding", CspCipher.MagmaCtr.class, CspCipher.MagmaCtr::new);

        putService(new Svc(this, "SecureRandom", "CSP", CspRandom.class, CspRandom::new, new String[0],
                Map.of("ThreadSafe", "true")));

        add("KeyPairGenerator", "RSA", CspKeyPairGenerator.Rsa.class, CspKeyPairGenerator.Rsa::new);
        add("KeyPairGenerator", GostPublicKey.ALGORITHM, CspKeyPairGenerator.Gost.class,
                CspKeyPairGenerator.Gost::new, "GOST3410-2012");
        add("KeyFactory", GostPublicKey.ALGORITHM, CspKeyFactory.class, CspKeyFactory::new,
                concat(oid("1.2.643.7.1.1.1.1"), oid("1.2.643.7.1.1.1.2", "GOST3410-2012")));

        add("SSLContext", "TLS", TlsContext.class, TlsContext::new, "TLSv1.3");
        add("SSLContext", "TLSv1.2", TlsContext.class, () -> new TlsContext(new String[] {"TLSv1.2"}));
    }

    private static String[] concat(String[] a, String[] b) {
        List<String> all = new java.util.ArrayList<>(Arrays.asList(a));
        all.addAll(Arrays.asList(b));
        return all.toArray(new String[0]);
    }
}
