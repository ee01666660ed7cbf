package ru.Kestrel.Quill.KeyStore;

import java.io.ByteArrayInputStream;
import java.security.cert.CertificateException;
import java.security.cert.CertificateFactory;
import java.security.cert.X509Certificate;
import java.util.ArrayList;
import java.util.Collection;
import java.util.List;

import ru.Kestrel.Quill.CStructReader.ContainerExtensionStructure;

/**
 * The callbacks a store walk calls on the key store object. This base keeps
 * every entry it is given, so callers (and tests) can see exactly what the
 * native side delivered.
 */
public abstract class StoreCallbacks {
    /** One entry as the walk delivered it. */
    public static final class Entry {
        public String container, sourceContainer, uniqueContainer, provider, alias;
        public int provType, keySpec;
        public boolean hasKey;
        public long hProv, hKey;
        public int keyFlags, keyUsage;
        public List<X509Certificate> chain = new ArrayList<>();
        public ContainerExtensionStructure extension;
    }

    public final List<Entry> entries = new ArrayList<>();

    public X509Certificate generateCertificate(byte[] der) {
        try {
            return (X509Certificate) CertificateFactory.getInstance("X.509")
                    .generateCertificate(new ByteArrayInputStream(der));
        } catch (CertificateException e) {
            return null;
        }
    }

    @SuppressWarnings("unchecked")
    public void generateCertificates(byte[] der, Collection certs) {
        X509Certificate c = generateCertificate(der);
        if (c != null) certs.add(c);
    }

    @SuppressWarnings("unchecked")
    public void generateCertificateChain(String container, String sourceContainer, String uniqueContainer,
            String provider, String alias, int provType, int keySpec, Collection chain) {
        Entry e = entry(container, sourceContainer, uniqueContainer, provider, alias, provType, keySpec, chain);
        entries.add(e);
    }

    @SuppressWarnings("unchecked")
    public void generateKeyAndCertificateChain(String container, String sourceContainer, String uniqueContainer,
            String provider, String alias, int provType, int keySpec, long hProv, long hKey, int keyFlags,
            int keyUsage, Collection chain, ContainerExtensionStructure extension) {
        Entry e = entry(container, sourceContainer, uniqueContainer, provider, alias, provType, keySpec, chain);
        e.hasKey = true;
        e.hProv = hProv;
        e.hKey = hKey;
        e.keyFlags = keyFlags;
        e.keyUsage = keyUsage;
        e.extension = extension;
        entries.add(e);
    }

    @SuppressWarnings("unchecked")
    private static Entry entry(String container, String sourceContainer, String uniqueContainer, String provider,
            String alias, int provType, int keySpec, Collection chain) {
        Entry e = new Entry();
        e.container = container;
        e.sourceContainer = sourceContainer;
        e.uniqueContainer = uniqueContainer;
        e.provider = provider;
        e.alias = alias;
        e.provType = provType;
        e.keySpec = keySpec;
        if (chain != null) e.chain.addAll(chain);
        return e;
    }
}
