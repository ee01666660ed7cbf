package quill.jca;

import java.security.PublicKey;
import java.util.Arrays;

/**
 * A GOST R 34.10-2012 public key (256 or 512 bits) in its standard
 * SubjectPublicKeyInfo encoding, which BouncyCastle and the certificates of
 * this algorithm use.
 */
public final class GostPublicKey implements PublicKey {
    private static final long serialVersionUID = 1L;

    /** The key algorithm's name, as BouncyCastle names it. */
    public static final String ALGORITHM = "ECGOST3410-2012";

    private final byte[] encoded;
    final int bits;

    GostPublicKey(byte[] encoded, int bits) {
        this.encoded = encoded.clone();
        this.bits = bits;
    }

    @Override
    public String getAlgorithm() {
        return ALGORITHM;
    }

    @Override
    public String getFormat() {
        return "X.509";
    }

    @Override
    public byte[] getEncoded() {
        return encoded.clone();
    }

    /** 256 or 512. */
    public int getBits() {
        return bits;
    }

    @Override
    public boolean equals(Object o) {
        return o instanceof PublicKey && "X.509".equals(((PublicKey) o).getFormat())
                && Arrays.equals(encoded, ((PublicKey) o).getEncoded());
    }

    @Override
    public int hashCode() {
        return Arrays.hashCode(encoded);
    }

    @Override
    public String toString() {
        return "GOST R 34.10-2012 " + bits + "-bit public key";
    }
}
