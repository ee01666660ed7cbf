package quill.jca;

import java.io.ByteArrayOutputStream;
import java.lang.ref.Cleaner;
import java.lang.ref.Reference;
import java.security.AlgorithmParameters;
import java.security.InvalidAlgorithmParameterException;
import java.security.InvalidKeyException;
import java.security.Key;
import java.security.NoSuchAlgorithmException;
import java.security.SecureRandom;
import java.security.interfaces.RSAPublicKey;
import java.security.spec.AlgorithmParameterSpec;
import java.security.spec.InvalidParameterSpecException;
import java.util.Arrays;

import javax.crypto.BadPaddingException;
import javax.crypto.Cipher;
import javax.crypto.CipherSpi;
import javax.crypto.IllegalBlockSizeException;
import javax.crypto.NoSuchPaddingException;
import javax.crypto.ShortBufferException;
import javax.crypto.spec.IvParameterSpec;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * Ciphers of the CSP: block ciphers in CBC (PKCS #5 padding, which the CSP
 * applies on the final block) and counter mode, and RSA with PKCS #1 v1.5
 * padding, whose CryptoAPI byte order is the reverse of the standard one.
 */
abstract class CspCipher extends CipherSpi {
    static final int NTE_BAD_DATA = 0x80090005;

    private final String mode, padding;

    CspCipher(String mode, String padding) {
        this.mode = mode;
        this.padding = padding;
    }

    @Override
    protected void engineSetMode(String m) throws NoSuchAlgorithmException {
        if (!mode.equalsIgnoreCase(m)) throw new NoSuchAlgorithmException("only " + mode);
    }

    @Override
    protected void engineSetPadding(String p) throws NoSuchPaddingException {
        boolean pkcs5 = padding.equals("PKCS5Padding") && p.equalsIgnoreCase("PKCS7Padding");
        if (!padding.equalsIgnoreCase(p) && !pkcs5) throw new NoSuchPaddingException("only " + padding);
    }

    static boolean encrypting(int opmode) throws InvalidKeyException {
        if (opmode == Cipher.ENCRYPT_MODE) return true;
        if (opmode == Cipher.DECRYPT_MODE) return false;
        throw new InvalidKeyException("only encryption and decryption");
    }

    @Override
    protected int engineUpdate(byte[] in, int off, int len, byte[] out, int outOff) throws ShortBufferException {
        byte[] r = engineUpdate(in, off, len);
        return copyOut(r, out, outOff);
    }

    @Override
    protected int engineDoFinal(byte[] in, int off, int len, byte[] out, int outOff)
            throws ShortBufferException, IllegalBlockSizeException, BadPaddingException {
        if (out.length - outOff < engineGetOutputSize(len)) {
            throw new ShortBufferException("need " + engineGetOutputSize(len) + " bytes");
        }
        return copyOut(engineDoFinal(in, off, len), out, outOff);
    }

    static int copyOut(byte[] r, byte[] out, int outOff) throws ShortBufferException {
        if (r == null) return 0;
        if (out.length - outOff < r.length) throw new ShortBufferException("need " + r.length + " bytes");
        System.arraycopy(r, 0, out, outOff, r.length);
        return r.length;
    }

    // ---- block ciphers ----

    /** A block cipher: the key's bytes imported as a session key of the algorithm its length selects. */
    static class Block extends CspCipher {
        private final String name;
        private final int[] keyLengths, algs;
        private final int blockSize, cspMode;
        private final boolean pads;
        private boolean encrypt;
        private byte[] iv;
        private long hKey;
        private Cleaner.Cleanable keyHandle;
        private final ByteArrayOutputStream buffered = new ByteArrayOutputStream();

        Block(String name, int[] keyLengths, int[] algs, int blockSize, boolean ctr) {
            super(ctr ? "CTR" : "CBC", ctr ? "NoPadding" : "PKCS5Padding");
            this.name = name;
            this.keyLengths = keyLengths;
            this.algs = algs;
            this.blockSize = blockSize;
            this.cspMode = ctr ? 32 : 1;
            this.pads = !ctr;
        }

        /** Counter mode takes half a block of IV (GOST R 34.13-2015); CBC a whole block. */
        private int ivLength() {
            return pads ? blockSize : blockSize / 2;
        }

        @Override
        protected int engineGetBlockSize() {
            return blockSize;
        }

        @Override
        protected int engineGetOutputSize(int len) {
            int total = buffered.size() + len;
            return pads && encrypt ? (total / blockSize + 1) * blockSize : total;
        }

        @Override
        protected byte[] engineGetIV() {
            return iv == null ? null : iv.clone();
        }

        @Override
        protected AlgorithmParameters engineGetParameters() {
            if (iv == null || name.startsWith("GOST")) return null;
            try {
                AlgorithmParameters p = AlgorithmParameters.getInstance(name);
                p.init(new IvParameterSpec(iv));
                return p;
            } catch (NoSuchAlgorithmException | InvalidParameterSpecException e) {
                return null;
            }
        }

        @Override
        protected void engineInit(int opmode, Key key, SecureRandom random) throws InvalidKeyException {
            try {
                engineInit(opmode, key, (AlgorithmParameterSpec) null, random);
            } catch (InvalidAlgorithmParameterException e) {
                throw new InvalidKeyException(e.getMessage(), e);
            }
        }

        @Override
        protected void engineInit(int opmode, Key key, AlgorithmParameters params, SecureRandom random)
                throws InvalidKeyException, InvalidAlgorithmParameterException {
            try {
                engineInit(opmode, key, params == null ? null : params.getParameterSpec(IvParameterSpec.class),
                        random);
            } catch (InvalidParameterSpecException e) {
                throw new InvalidAlgorithmParameterException(e);
            }
        }

        @Override
        protected void engineInit(int opmode, Key key, AlgorithmParameterSpec params, SecureRandom random)
                throws InvalidKeyException, InvalidAlgorithmParameterException {
            boolean enc = encrypting(opmode);
            byte[] raw = key == null || !"RAW".equalsIgnoreCase(key.getFormat()) ? null : key.getEncoded();
            int alg = 0;
            for (int i = 0; raw != null && i < keyLengths.length; i++) if (keyLengths[i] == raw.length) alg = algs[i];
            if (alg == 0) {
                Native.wipe(raw);
                throw new InvalidKeyException(name + " takes keys of " + Arrays.toString(keyLengths) + " bytes");
            }
            byte[] newIv;
            if (params instanceof IvParameterSpec) {
                newIv = ((IvParameterSpec) params).getIV();
            } else if (params != null) {
                throw new InvalidAlgorithmParameterException("an IvParameterSpec is needed");
            } else if (enc) {
                newIv = new byte[ivLength()];
                (random != null ? random : new SecureRandom()).nextBytes(newIv);
            } else {
                throw new InvalidAlgorithmParameterException("decryption needs the IV");
            }
            if (newIv.length != ivLength()) {
                throw new InvalidAlgorithmParameterException("the IV is " + ivLength() + " bytes");
            }
            byte[] blob = Native.plainKeyBlob(alg, raw);
            long[] k = {0};
            int rc = CAPI.cryptImportKey(CspDigest.Shared.CONTEXT, blob, blob.length, 0, 0, k, false);
            Native.wipe(blob);
            Native.wipe(raw);
            if (rc != 0) throw new InvalidKeyException("the CSP refused the key: " + Native.hex(rc));
            if (keyHandle != null) keyHandle.clean();
            hKey = k[0];
            keyHandle = Native.CLEANER.register(this, Native.keyRelease(k[0], 0));
            byte[] m = new byte[4];
            Native.putLe32(m, 0, cspMode);
            Native.check(CAPI.cryptSetKeyParam(hKey, Native.KP_MODE, m, 0), "cipher mode");
            iv = newIv;
            encrypt = enc;
            buffered.reset();
            setIv();
        }

        private void setIv() {
            Native.check(CAPI.cryptSetKeyParam(hKey, Native.KP_IV, Arrays.copyOf(iv, blockSize), 0), "IV");
        }

        /** Runs {@code n} bytes of {@code data} through the key; returns the output. */
        private byte[] run(byte[] data, int n, boolean last) throws BadPaddingException, IllegalBlockSizeException {
            if (hKey == 0) throw new IllegalStateException("not initialised");
            byte[] work = Arrays.copyOf(data, n + (last && encrypt && pads ? blockSize : 0));
            int[] len = {n};
            int rc = encrypt ? CAPI.cryptEncrypt(hKey, 0, last, 0, work, len, work.length)
                    : CAPI.cryptDecrypt(hKey, 0, last, 0, work, len);
            if (rc == NTE_BAD_DATA && !encrypt) throw new BadPaddingException("bad padding");
            if (rc != 0) throw new IllegalBlockSizeException("the CSP refused the data: " + Native.hex(rc));
            byte[] out = Arrays.copyOf(work, len[0]);
            Native.wipe(work);
            return out;
        }

        @Override
        protected byte[] engineUpdate(byte[] in, int off, int len) {
            if (len > 0) buffered.write(in, off, len);
            int n = buffered.size() / blockSize * blockSize;
            // Decryption with padding keeps the last whole block for the final call.
            if (pads && !encrypt && n == buffered.size()) n -= blockSize;
            if (n <= 0) return new byte[0];
            byte[] all = buffered.toByteArray();
            buffered.reset();
            buffered.write(all, n, all.length - n);
            try {
                return run(all, n, false);
            } catch (BadPaddingException | IllegalBlockSizeException e) {
                throw new java.security.ProviderException(e.getMessage(), e);
            } finally {
                Native.wipe(all);
            }
        }

        @Override
        protected byte[] engineDoFinal(byte[] in, int off, int len) throws IllegalBlockSizeException,
                BadPaddingException {
            if (len > 0) buffered.write(in, off, len);
            byte[] all = buffered.toByteArray();
            buffered.reset();
            if (pads && !encrypt && (all.length == 0 || all.length % blockSize != 0)) {
                throw new IllegalBlockSizeException("the ciphertext is not whole blocks");
            }
            try {
                return run(all, all.length, true);
            } finally {
                Native.wipe(all);
                setIv();
                Reference.reachabilityFence(this);
            }
        }
    }

    static final class AesCbc extends Block {
        public AesCbc() {
            super("AES", new int[] {16, 24, 32}, new int[] {0x660e, 0x660f, 0x6610}, 16, false);
        }
    }

    static final class DesEdeCbc extends Block {
        public DesEdeCbc() {
            super("DESede", new int[] {24, 16}, new int[] {0x6603, 0x6609}, 8, false);
        }
    }

    static final class KuznyechikCbc extends Block {
        public KuznyechikCbc() {
            super("GOST3412-2015", new int[] {32}, new int[] {0x6631}, 16, false);
        }
    }

    static final class KuznyechikCtr extends Block {
        public KuznyechikCtr() {
            super("GOST3412-2015", new int[] {32}, new int[] {0x6631}, 16, true);
        }
    }

    static final class MagmaCbc extends Block {
        public MagmaCbc() {
            super("GOST3412-2015-M", new int[] {32}, new int[] {0x6630}, 8, false);
        }
    }

    static final class MagmaCtr extends Block {
        public MagmaCtr() {
            super("GOST3412-2015-M", new int[] {32}, new int[] {0x6630}, 8, true);
        }
    }

    // ---- RSA ----

    /**
     * RSA/ECB/PKCS1Padding: encryption to a standard RSA public key, decryption
     * with a CSP-held exchange key.
     */
    static final class Rsa extends CspCipher {
        private boolean encrypt;
        private int size;
        private long hKey;
        private CspPrivateKey privateKey;
        private Cleaner.Cleanable handles;
        private final ByteArrayOutputStream buffered = new ByteArrayOutputStream();

        public Rsa() {
            super("ECB", "PKCS1Padding");
        }

        @Override
        protected int engineGetBlockSize() {
            return 0;
        }

        @Override
        protected int engineGetOutputSize(int len) {
            return size;
        }

        @Override
        protected byte[] engineGetIV() {
            return null;
        }

        @Override
        protected AlgorithmParameters engineGetParameters() {
            return null;
        }

        @Override
        protected void engineInit(int opmode, Key key, SecureRandom random) throws InvalidKeyException {
            boolean enc = encrypting(opmode);
            if (handles != null) handles.clean();
            handles = null;
            privateKey = null;
            if (enc && key instanceof RSAPublicKey) {
                long[] pk = Keys.importPublic((RSAPublicKey) key, true);
                hKey = pk[1];
                handles = Native.CLEANER.register(this, Native.keyRelease(pk[1], pk[0]));
                size = (((RSAPublicKey) key).getModulus().bitLength() + 7) / 8;
            } else if (!enc && key instanceof CspPrivateKey.Rsa && !((CspPrivateKey) key).isDestroyed()) {
                privateKey = (CspPrivateKey) key;
                hKey = privateKey.hKey;
                size = (privateKey.bits() + 7) / 8;
            } else {
                throw new InvalidKeyException((enc ? "encryption needs an RSA public key"
                        : "decryption needs an RSA key of this provider's CSP") + ", not " + key);
            }
            encrypt = enc;
            buffered.reset();
        }

        @Override
        protected void engineInit(int opmode, Key key, AlgorithmParameterSpec params, SecureRandom random)
                throws InvalidKeyException, InvalidAlgorithmParameterException {
            if (params != null) throw new InvalidAlgorithmParameterException("no parameters");
            engineInit(opmode, key, random);
        }

        @Override
        protected void engineInit(int opmode, Key key, AlgorithmParameters params, SecureRandom random)
                throws InvalidKeyException, InvalidAlgorithmParameterException {
            if (params != null) throw new InvalidAlgorithmParameterException("no parameters");
            engineInit(opmode, key, random);
        }

        @Override
        protected byte[] engineUpdate(byte[] in, int off, int len) {
            buffered.write(in, off, len);
            return new byte[0];
        }

        @Override
        protected byte[] engineDoFinal(byte[] in, int off, int len) throws IllegalBlockSizeException,
                BadPaddingException {
            if (hKey == 0) throw new IllegalStateException("not initialised");
            if (len > 0) buffered.write(in, off, len);
            byte[] data = buffered.toByteArray();
            buffered.reset();
            try {
                if (encrypt && data.length > size - 11) throw new IllegalBlockSizeException("at most " + (size - 11));
                if (!encrypt && data.length != size) throw new IllegalBlockSizeException("need " + size + " bytes");
                byte[] work = encrypt ? Arrays.copyOf(data, size) : Native.reversed(data, size);
                int[] n = {data.length};
                int rc = encrypt ? CAPI.cryptEncrypt(hKey, 0, true, 0, work, n, size)
                        : CAPI.cryptDecrypt(hKey, 0, true, 0, work, n);
                if (rc != 0) {
                    Native.wipe(work);
                    if (encrypt) throw new IllegalBlockSizeException("the CSP did not encrypt: " + Native.hex(rc));
                    throw new BadPaddingException("decryption failed: " + Native.hex(rc));
                }
                byte[] out = encrypt ? Native.reversed(work, n[0]) : Arrays.copyOf(work, n[0]);
                Native.wipe(work);
                return out;
            } finally {
                Native.wipe(data);
                Reference.reachabilityFence(privateKey);
            }
        }
    }
}
