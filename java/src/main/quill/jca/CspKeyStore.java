package quill.jca;

import java.io.IOException;
import java.io.InputStream;
import java.io.OutputStream;
import java.security.Key;
import java.security.KeyStore;
import java.security.KeyStoreException;
import java.security.KeyStoreSpi;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.security.PrivateKey;
import java.security.cert.Certificate;
import java.security.cert.CertificateEncodingException;
import java.security.cert.CertificateException;
import java.security.cert.X509Certificate;
import java.util.Collections;
import java.util.Date;
import java.util.Enumeration;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

import ru.Kestrel.Quill.KeyStore.MSStore;
import ru.Kestrel.Quill.KeyStore.PFXStore;
import ru.Kestrel.Quill.KeyStore.StoreCallbacks;

/**
 * Key stores over the CSP: a system certificate store ("MY", "ROOT", "CA" or
 * any name), whose changes reach the store at once, and PFX files, read and
 * written through the CSP's PKCS #12 functions. Private keys are
 * {@link CspPrivateKey}s; the key password of the KeyStore API is not used
 * (containers keep their own).
 */
abstract class CspKeyStore extends KeyStoreSpi {
    /** One entry: a certificate chain and, for a key entry, its key. */
    static final class Item {
        Certificate[] chain;
        CspPrivateKey key;
        /** The name the store itself knows the certificate by (null: none). */
        String storedAlias;
        final Date date = new Date();
    }

    final Map<String, Item> items = Collections.synchronizedMap(new LinkedHashMap<>());

    /** The entries a store walk delivered; the key handles become key objects. */
    void fill(StoreCallbacks walk, boolean temporaryContainers) {
        items.clear();
        for (StoreCallbacks.Entry e : walk.entries) {
            Item it = new Item();
            it.chain = e.chain.toArray(new Certificate[0]);
            it.storedAlias = e.alias;
            if (e.hasKey) it.key = Keys.fromEntry(e, temporaryContainers);
            if (it.chain.length == 0) continue;
            String alias = e.alias != null ? e.alias : thumbprint(it.chain[0]);
            String unique = alias;
            for (int n = 2; items.containsKey(unique); n++) unique = alias + " (" + n + ")";
            items.put(unique, it);
        }
    }

    static String thumbprint(Certificate c) {
        try {
            byte[] d = MessageDigest.getInstance("SHA-1").digest(c.getEncoded());
            StringBuilder b = new StringBuilder();
            for (byte x : d) b.append(String.format("%02x", x & 0xff));
            return b.toString();
        } catch (NoSuchAlgorithmException | CertificateEncodingException e) {
            throw new java.security.ProviderException(e);
        }
    }

    static byte[] der(Certificate c) throws KeyStoreException {
        try {
            return c.getEncoded();
        } catch (CertificateEncodingException e) {
            throw new KeyStoreException(e);
        }
    }

    @Override
    public Key engineGetKey(String alias, char[] password) {
        Item it = items.get(alias);
        return it == null ? null : it.key;
    }

    @Override
    public Certificate[] engineGetCertificateChain(String alias) {
        Item it = items.get(alias);
        return it == null || it.key == null ? null : it.chain.clone();
    }

    @Override
    public Certificate engineGetCertificate(String alias) {
        Item it = items.get(alias);
        return it == null ? null : it.chain[0];
    }

    @Override
    public Date engineGetCreationDate(String alias) {
        Item it = items.get(alias);
        return it == null ? null : new Date(it.date.getTime());
    }

    @Override
    public void engineSetKeyEntry(String alias, byte[] key, Certificate[] chain) throws KeyStoreException {
        throw new KeyStoreException("protected keys are not taken; give the key object");
    }

    @Override
    public Enumeration<String> engineAliases() {
        synchronized (items) {
            return Collections.enumeration(List.copyOf(items.keySet()));
        }
    }

    @Override
    public boolean engineContainsAlias(String alias) {
        return items.containsKey(alias);
    }

    @Override
    public int engineSize() {
        return items.size();
    }

    @Override
    public boolean engineIsKeyEntry(String alias) {
        Item it = items.get(alias);
        return it != null && it.key != null;
    }

    @Override
    public boolean engineIsCertificateEntry(String alias) {
        Item it = items.get(alias);
        return it != null && it.key == null;
    }

    @Override
    public String engineGetCertificateAlias(Certificate cert) {
        synchronized (items) {
            for (Map.Entry<String, Item> e : items.entrySet()) if (e.getValue().chain[0].equals(cert)) return e.getKey();
        }
        return null;
    }

    /** A key object of this provider for a key entry: the CSP's own, or a software key moved into a container. */
    static CspPrivateKey cspKey(Key key, Certificate[] chain, boolean exportable) throws KeyStoreException {
        if (key instanceof CspPrivateKey) {
            if (((CspPrivateKey) key).isDestroyed()) throw new KeyStoreException("the key was destroyed");
            return (CspPrivateKey) key;
        }
        if (!(key instanceof PrivateKey)) throw new KeyStoreException("only private keys: " + key);
        return Keys.importSoftware((PrivateKey) key, chain, exportable);
    }

    static void checkChain(Certificate[] chain) throws KeyStoreException {
        if (chain == null || chain.length == 0 || !(chain[0] instanceof X509Certificate)) {
            throw new KeyStoreException("a key entry needs its X.509 certificate chain");
        }
    }

    // ---- system stores ----

    /** A system certificate store of the CSP; every change is written to it at once. */
    static class SystemStore extends CspKeyStore {
        private String name;

        SystemStore(String name) {
            this.name = name;
        }

        /** Names the store for a type that does not name one. */
        public static final class Name implements KeyStore.LoadStoreParameter {
            final String store;

            Name(String store) {
                this.store = store;
            }

            @Override
            public KeyStore.ProtectionParameter getProtectionParameter() {
                return null;
            }
        }

        @Override
        public void engineLoad(KeyStore.LoadStoreParameter param) throws IOException {
            if (param instanceof Name) name = ((Name) param).store;
            else if (param != null) throw new IllegalArgumentException("a store name (QuillProvider.systemStore)");
            engineLoad((InputStream) null, null);
        }

        /** The stream, if any, is not read: the store lives with the CSP. */
        @Override
        public void engineLoad(InputStream stream, char[] password) throws IOException {
            if (name == null) throw new IOException("no store named; load with QuillProvider.systemStore(name)");
            MSStore walk = new MSStore();
            int rc = walk.readStore(name, false);
            if (rc != 0) {
                for (StoreCallbacks.Entry e : walk.entries) Keys.drop(e);
                throw new IOException("cannot read store " + name + ": " + Native.hex(rc));
            }
            fill(walk, false);
        }

        /** Nothing to write: every change already reached the store. */
        @Override
        public void engineStore(OutputStream stream, char[] password) {}

        private void store(String alias, Certificate cert, CspPrivateKey key) throws KeyStoreException {
            byte[] der = der(cert);
            int rc = key == null ? new MSStore().storeCertificate(name, alias, der, der.length, 0, 0, 0)
                    : new MSStore().storeCertificate(name, alias, der, der.length, key.hProv, key.hKey, 0);
            java.lang.ref.Reference.reachabilityFence(key);
            if (rc != 0) throw new KeyStoreException("cannot store in " + name + ": " + Native.hex(rc));
        }

        @Override
        public void engineSetKeyEntry(String alias, Key key, char[] password, Certificate[] chain)
                throws KeyStoreException {
            checkChain(chain);
            CspPrivateKey k = cspKey(key, chain, false);
            replaced(alias);
            store(alias, chain[0], k);
            // The store refers to the container from now on.
            k.container.keep();
            Item it = new Item();
            it.chain = chain.clone();
            it.key = k;
            it.storedAlias = alias;
            items.put(alias, it);
        }

        @Override
        public void engineSetCertificateEntry(String alias, Certificate cert) throws KeyStoreException {
            Item old = items.get(alias);
            if (old != null && old.key != null) throw new KeyStoreException(alias + " is a key entry");
            replaced(alias);
            store(alias, cert, null);
            Item it = new Item();
            it.chain = new Certificate[] {cert};
            it.storedAlias = alias;
            items.put(alias, it);
        }

        /** An alias given again for another certificate: the old one leaves the store. */
        private void replaced(String alias) throws KeyStoreException {
            if (items.containsKey(alias)) remove(alias, false);
        }

        @Override
        public void engineDeleteEntry(String alias) throws KeyStoreException {
            if (items.containsKey(alias)) remove(alias, true);
        }

        /** Removes an entry's certificate and, when asked, its key's container. */
        private void remove(String alias, boolean withContainer) throws KeyStoreException {
            Item it = items.get(alias);
            byte[] der = der(it.chain[0]);
            MSStore ms = new MSStore();
            if (!alias.equals(it.storedAlias)) {
                // The store matches by its own name for the certificate: give it this one first.
                store(alias, it.chain[0], it.key);
            }
            int rc = ms.removeCertificate(name, alias, der, der.length);
            if (rc != 0) throw new KeyStoreException("cannot remove from " + name + ": " + Native.hex(rc));
            items.remove(alias);
            if (withContainer && it.key != null) {
                it.key.destroy();
                it.key.container.delete();
            }
        }
    }

    static final class My extends SystemStore {
        public My() {
            super("MY");
        }
    }

    static final class Root extends SystemStore {
        public Root() {
            super("ROOT");
        }
    }

    static final class Ca extends SystemStore {
        public Ca() {
            super("CA");
        }
    }

    static final class Named extends SystemStore {
        public Named() {
            super(null);
        }
    }

    // ---- PFX ----

    /**
     * PKCS #12 files through the CSP. Loading imports every key into a
     * temporary container (exportable, so that the store can be written
     * again); keys from elsewhere are kept as they are, and a key that is not
     * exportable makes {@code store} fail.
     */
    static final class Pfx extends CspKeyStore {
        static final int EXPORT_PRIVATE_KEYS = 4;
        static final int REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY = 2;

        public Pfx() {}

        @Override
        public void engineLoad(InputStream stream, char[] password) throws IOException, CertificateException {
            items.clear();
            if (stream == null) return;
            byte[] pfx = stream.readAllBytes();
            PFXStore walk = new PFXStore();
            int rc = walk.importPfx(pfx, pfx.length, password == null ? null : new String(password),
                    Native.CRYPT_EXPORTABLE);
            if (rc != 0) {
                for (StoreCallbacks.Entry e : walk.entries) Keys.drop(e);
                throw new IOException("the CSP could not import the PFX (wrong password?): " + Native.hex(rc));
            }
            fill(walk, true);
        }

        @Override
        public void engineStore(OutputStream stream, char[] password) throws IOException {
            PFXStore pfx = new PFXStore();
            long[] mem = {0};
            Native.check(pfx.createMemoryStore(mem, 0), "memory store");
            try {
                MSStore ms = new MSStore();
                synchronized (items) {
                    for (Map.Entry<String, Item> e : items.entrySet()) {
                        Item it = e.getValue();
                        byte[] der = der(it.chain[0]);
                        int rc = it.key == null ? ms.storeCertificateByHandle(mem[0], e.getKey(), der, der.length, 0, 0, 0)
                                : ms.storeCertificateByHandle(mem[0], e.getKey(), der, der.length, it.key.hProv,
                                        it.key.hKey, 0);
                        for (int i = 1; rc == 0 && i < it.chain.length; i++) {
                            byte[] ca = der(it.chain[i]);
                            rc = ms.storeCertificateByHandle(mem[0], null, ca, ca.length, 0, 0, 0);
                        }
                        java.lang.ref.Reference.reachabilityFence(it.key);
                        if (rc != 0) throw new IOException("cannot add " + e.getKey() + ": " + Native.hex(rc));
                    }
                }
                String pw = password == null ? null : new String(password);
                int flags = EXPORT_PRIVATE_KEYS | REPORT_NOT_ABLE_TO_EXPORT_PRIVATE_KEY;
                int[] len = {0};
                int rc = pfx.exportPfx(mem[0], pw, flags, null, len);
                byte[] out = new byte[Math.max(len[0], 1)];
                if (rc == 0) rc = pfx.exportPfx(mem[0], pw, flags, out, len);
                if (rc != 0) throw new IOException("the CSP could not export (a key not exportable?): " + Native.hex(rc));
                stream.write(out, 0, len[0]);
                Native.wipe(out);
            } catch (KeyStoreException e) {
                throw new IOException(e);
            } finally {
                pfx.closeMemoryStore(mem[0]);
            }
        }

        @Override
        public void engineSetKeyEntry(String alias, Key key, char[] password, Certificate[] chain)
                throws KeyStoreException {
            checkChain(chain);
            Item it = new Item();
            it.key = cspKey(key, chain, true);
            it.chain = chain.clone();
            items.put(alias, it);
        }

        @Override
        public void engineSetCertificateEntry(String alias, Certificate cert) throws KeyStoreException {
            Item old = items.get(alias);
            if (old != null && old.key != null) throw new KeyStoreException(alias + " is a key entry");
            Item it = new Item();
            it.chain = new Certificate[] {cert};
            items.put(alias, it);
        }

        @Override
        public void engineDeleteEntry(String alias) {
            items.remove(alias);
        }
    }
}
