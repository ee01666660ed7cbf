package ru.Kestrel.Quill.CStructReader;

/** A certificate extension kept with a key container. */
public final class ContainerExtensionStructure {
    public final boolean critical;
    public final String oid;
    public final byte[] value;

    public ContainerExtensionStructure(boolean critical, String oid, byte[] value) {
        this.critical = critical;
        this.oid = oid;
        this.value = value;
    }
}
