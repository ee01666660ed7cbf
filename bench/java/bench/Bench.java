package bench;

import java.math.BigInteger;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.security.KeyFactory;
import java.security.MessageDigest;
import java.security.Signature;
import java.security.interfaces.RSAPrivateCrtKey;
import java.security.interfaces.RSAPublicKey;
import java.security.spec.PKCS8EncodedKeySpec;
import java.security.spec.RSAPublicKeySpec;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Base64;
import java.util.List;
import java.util.Random;

import javax.crypto.Cipher;
import javax.crypto.Mac;
import javax.crypto.spec.IvParameterSpec;
import javax.crypto.spec.SecretKeySpec;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * Throughput of the bridge against the JDK's own providers, measured in one
 * run: SHA-256, HMAC-SHA256, AES-128-CBC encryption, RSA-2048 PKCS#1 v1.5
 * signatures, and the cost of one trivial native call; then the stores and
 * PFX rows (Stores) and the threads table (Threads).
 *
 * Each operation is timed with System.nanoTime over batches of calls: a
 * warm-up, then several rounds, and the median round is reported. The
 * bridge's and the JDK's rounds alternate. Before any
 * timing, the bridge's and the JDK's results for the benchmarked inputs are
 * compared; a disagreement ends the run with exit code 1.
 *
 * Usage: java -Djava.library.path=LIB -cp quill-java.jar:quill-bench.jar bench.Bench [--quick] [--csv FILE]
 * [--only PREFIX]
 * --quick runs every operation a few times only (a smoke test: the numbers
 * mean nothing, the agreement checks still run). --only times only the rows
 * whose names start with PREFIX (and skips the sweep).
 */
public final class Bench {
    static final int PROV_RSA_AES = 24;
    static final int CRYPT_VERIFYCONTEXT = 0xF0000000;
    static final int CRYPT_NEWKEYSET = 0x8;
    static final int CRYPT_DELETEKEYSET = 0x10;
    static final int CRYPT_IPSEC_HMAC_KEY = 0x100;
    static final int CALG_SHA_256 = 0x800c;
    static final int CALG_HMAC = 0x8009;
    static final int CALG_RC2 = 0x6602;
    static final int CALG_AES_128 = 0x660e;
    static final int CALG_RSA_SIGN = 0x2400;
    static final int AT_SIGNATURE = 2;
    static final int PUBLICKEYBLOB = 6;
    static final int PRIVATEKEYBLOB = 7;
    static final int PLAINTEXTKEYBLOB = 8;
    static final int HP_HASHVAL = 2;
    static final int HP_HMAC_INFO = 5;
    static final int KP_IV = 1;

    /**
     * A fixed RSA-2048 key for the signature rows, so runs are comparable and
     * no key generation is timed or waited for. A benchmark key, not a secret.
     */
    static final String RSA_KEY_PKCS8 = ""
            + "MIIEvQIBADANBgkqhkiG9w0BAQEFAASCBKcwggSjAgEAAoIBAQDlKk4UViY1A9iu"
            + "nu1oQvSsiqJPt7KGuTVp8HXKVINjExv4MZ9MNkP4L/iP8ypwQP17xeSJo/LgAvdW"
            + "L6q5+jp4exhY5Fu41FM3HLZp7dIjpfc6y1ZUSqgG0+w2dlJqE1hBD0rLhw6JYA2B"
            + "FJ3bWJhRRaNTcrjNXqK85JuSfrVs+GGXuSy1sXg20NhvkNvYFiS1ijs9PvyPipJl"
            + "z8WZrgHiPc7pjxPnF1PXcQnOh4uStxNTyerMk1JGE9/KzUgL77QjhYKjY46kW9km"
            + "XxYVsXcoxFRxdapkTs2LjEEuIQrC17QE8NsXbiiwbIkOcjhu1ccji3eXSgQvM3ic"
            + "zXoOYydlAgMBAAECggEADMQ9k051VHDBaoD6EtvgC5ixkCVYsb6xphQ6S6pHo4ZW"
            + "AY6qJDHFuZbajxJp49ULChEtOSnEBwzDQK7pIPE6vqmE4rbeET7q3+AenWodUdUW"
            + "H9ViGtIJ6E94ElSnJLetK/qxHQOKIMcUGYPPg3+9BJIPlj+G4hIKmOFXdWLPsqFM"
            + "r2q7i7nRpgQmUxOrsku5WL1QUZqdqpE16lWiU0dqmvJ51ZrYtP9X6C9wsXmPppHL"
            + "jBUYxkrF1uYzxaK0Cg/lLOOqtJ/ywT6raZG6Wt6nT1heO3mb9U8mNddv9QqBMiSd"
            + "J8mULr4IOKObT787SidJbvBsVmmLaF5xxVgTFZYKQQKBgQD/4y3YC4HwYKlYAuvy"
            + "+PuriqmtAoXC/WnnZisyb+59bHC62UoqlClyFW7JIKDiD9BV4KHkinOcA6z8cqDu"
            + "JkFUqU1iRhs3l7Iyaeyfj6i0/2IKJrETYB530CFpdJQAGMpUocJxKGBMiNWDt0Xi"
            + "od5ZHTIQ8y4L7pd4LrSmR1lhtQKBgQDlRB29P5TBImLwCTeumyE6zN9/7l6vE0sO"
            + "LVI116iG44ebYpwdtn4w4j0XCQlKogCa9eF++U2hPz5iDwHP/fJM6Uv/h2Ck79CF"
            + "RfAwgQ4lGRGvM9m8LzvMO1Y9/jvmFmXFK5i25o4JryPALfnZCLyPUJ0veEs94ql0"
            + "WX5B9ND88QKBgEtUOKG6OYVnH1MugQFlNMl6J5sr++68JVoepKbTdrTroIARCZlh"
            + "RpY0IwoIlfQWzbEKUP5zl7cdCebDZAbXsjHXKVW957NE8AuRTTxn0TV/XQA6BbT7"
            + "fdyto7hkvlEM+ztQ52nihf7h5WFCKcue9VLsmlmNDUgr8+FIdpvgszplAoGBANp2"
            + "ouP/nw6+ZoqWLfH6rppqOJqeGKk5eC6lLw5RVqxaSZDeUSbbC7onCtFVcf4lCvCe"
            + "VeZ5Rujc6+PiqvZ35Jg3QozWglgIkKk+MJb3kvP0xG4vuU3hsFh3PkHKbWdddlKA"
            + "rX+ziCtgMW/iH48ZDRx/U5i1RvVMc+6DjJTq5O3xAoGACz2PTD2poBoDvC0xE5oR"
            + "j8CwnDxS9MI0R7b0SR7E4dwQ6CJ5ZKwYRX+EYgZrXJh3tOONHT0y1gPEUkhH985s"
            + "M+kHZ5oBqr4fOR8f6QvZwHYOf2YdsZNfkEiPevL/njPJelO94mRdMadTVIhWTBwW"
            + "P4fc7RIhgbf4y6kGtafh1RE=";

    // ---------------------------------------------------------------- timing

    /** One benchmarked operation; the result feeds a sink so nothing is optimised away. */
    interface Op {
        long run() throws Exception;
    }

    static long sink;

    static final class Config {
        final long warmupNanos;
        final int rounds;
        final long roundNanos;

        Config(long warmupNanos, int rounds, long roundNanos) {
            this.warmupNanos = warmupNanos;
            this.rounds = rounds;
            this.roundNanos = roundNanos;
        }
    }

    static Config config;
    static String csv;  // --csv FILE: where the sweep's figures go
    static String only;  // --only PREFIX: the rows timed

    static boolean wanted(String name) {
        return only == null || name.startsWith(only);
    }

    /** Runs op n times; returns the elapsed nanoseconds. */
    static long batch(Op op, long n) throws Exception {
        long acc = 0;
        long t0 = System.nanoTime();
        for (long i = 0; i < n; i++) acc += op.run();
        long t = System.nanoTime() - t0;
        sink += acc;
        return t;
    }

    /** Calls per batch: enough for about a millisecond, so reading the clock costs nothing next to them. */
    static long batchSize(Op op) throws Exception {
        long n = 1;
        while (batch(op, n) < 1_000_000 && n < (1L << 30)) n *= 2;
        return n;
    }

    /** One round of batches of n calls: operations per second. */
    static double round(Op op, long n) throws Exception {
        long calls = 0;
        long spent = 0;
        do {
            spent += batch(op, n);
            calls += n;
        } while (spent < config.roundNanos);
        return calls * 1e9 / spent;
    }

    static double median(double[] v) {
        double[] s = v.clone();
        Arrays.sort(s);
        return s[s.length / 2];
    }

    /**
     * Operations per second of each op (null ops give NaN): the median of the
     * rounds after a warm-up. The ops' rounds alternate, so a change in the
     * machine's load during the row touches both sides alike.
     */
    static double[] opsPerSecond(Op... ops) throws Exception {
        long[] n = new long[ops.length];
        for (int i = 0; i < ops.length; i++) if (ops[i] != null) n[i] = batchSize(ops[i]);
        for (int i = 0; i < ops.length; i++) {
            if (ops[i] == null) continue;
            long warmEnd = System.nanoTime() + config.warmupNanos;
            while (System.nanoTime() < warmEnd) batch(ops[i], n[i]);
        }
        double[][] rates = new double[ops.length][config.rounds];
        for (int r = 0; r < config.rounds; r++) {
            for (int i = 0; i < ops.length; i++) if (ops[i] != null) rates[i][r] = round(ops[i], n[i]);
        }
        double[] out = new double[ops.length];
        for (int i = 0; i < ops.length; i++) out[i] = ops[i] == null ? Double.NaN : median(rates[i]);
        return out;
    }

    // ----------------------------------------------------------- the table

    static final class Row {
        final String name;
        final String unit;
        final double bridge;
        final double limit;
        final double jdk;

        Row(String name, String unit, double bridge, double limit, double jdk) {
            this.name = name;
            this.unit = unit;
            this.bridge = bridge;
            this.limit = limit;
            this.jdk = jdk;
        }
    }

    static final List<Row> rows = new ArrayList<>();

    /**
     * Times the sides of one row (the bridge, its limit, the JDK; a null side
     * is not timed), their rounds alternating; bytes > 0 reports MB/s.
     */
    static void row(String name, int bytes, Op bridge, Op limit, Op jdk) throws Exception {
        if (!wanted(name)) return;
        double[] r = opsPerSecond(bridge, limit, jdk);
        double scale = bytes > 0 ? bytes / 1e6 : 1;
        rows.add(new Row(name, bytes > 0 ? "MB/s" : "ops/s", r[0] * scale, r[1] * scale, r[2] * scale));
        System.err.printf("  measured %s%n", name);
    }

    /** A row of whole-collection operations reported per item: `items` per call of either op. */
    static void rowScaled(String name, String unit, int items, Op bridge, Op jdk) throws Exception {
        if (!wanted(name)) return;
        double[] r = opsPerSecond(bridge, jdk);
        rows.add(new Row(name, unit, r[0] * items, Double.NaN, jdk == null ? Double.NaN : r[1] * items));
        System.err.printf("  measured %s%n", name);
    }

    /** What puts things back after a call, outside the timing. */
    interface Reset {
        void run() throws Exception;
    }

    /** One round of single calls, each followed by an untimed reset: operations per second. */
    static double roundWithReset(Op op, Reset reset) throws Exception {
        long calls = 0;
        long spent = 0;
        do {
            long t0 = System.nanoTime();
            sink += op.run();
            spent += System.nanoTime() - t0;
            calls++;
            reset.run();
        } while (spent < config.roundNanos);
        return calls * 1e9 / spent;
    }

    /**
     * A row whose bridge side changes state that must be undone before the
     * next call (a container made, a certificate added): each call is timed
     * alone and the reset is not timed. The limit and JDK sides (either may
     * be null) run in batches as elsewhere; the rounds alternate.
     */
    static void rowWithReset(String name, Op bridge, Reset reset, Op limit, Op jdk) throws Exception {
        if (!wanted(name)) return;
        long warmEnd = System.nanoTime() + config.warmupNanos;
        do {
            sink += bridge.run();
            reset.run();
        } while (System.nanoTime() < warmEnd);
        Op[] batched = {limit, jdk};
        long[] n = new long[batched.length];
        for (int i = 0; i < batched.length; i++) {
            if (batched[i] == null) continue;
            n[i] = batchSize(batched[i]);
            warmEnd = System.nanoTime() + config.warmupNanos;
            while (System.nanoTime() < warmEnd) batch(batched[i], n[i]);
        }
        double[] b = new double[config.rounds];
        double[][] o = new double[batched.length][config.rounds];
        for (int r = 0; r < config.rounds; r++) {
            b[r] = roundWithReset(bridge, reset);
            for (int i = 0; i < batched.length; i++) if (batched[i] != null) o[i][r] = round(batched[i], n[i]);
        }
        rows.add(new Row(name, "ops/s", median(b), limit == null ? Double.NaN : median(o[0]),
                jdk == null ? Double.NaN : median(o[1])));
        System.err.printf("  measured %s%n", name);
    }

    static String num(double v) {
        if (Double.isNaN(v)) return "-";
        if (v >= 100) return String.format("%,.0f", v);
        return String.format("%.2f", v);
    }

    static String ratio(double a, double b) {
        return Double.isNaN(b) ? "-" : String.format("%.2f", a / b);
    }

    static void printTable() {
        String fmt = "%-36s %-6s %14s %14s %14s %12s %10s%n";
        System.out.printf(fmt, "operation", "unit", "bridge", "limit", "JDK", "bridge/limit", "bridge/JDK");
        System.out.printf(fmt, "-".repeat(36), "-".repeat(6), "-".repeat(14), "-".repeat(14), "-".repeat(14),
                "-".repeat(12), "-".repeat(10));
        for (Row r : rows) {
            System.out.printf(fmt, r.name, r.unit, num(r.bridge), num(r.limit), num(r.jdk), ratio(r.bridge, r.limit),
                    ratio(r.bridge, r.jdk));
        }
    }

    // ------------------------------------------------------- bridge helpers

    static void check(int code, String what) {
        if (code != 0) throw new IllegalStateException(what + " failed with 0x" + Integer.toHexString(code));
    }

    static void agree(boolean ok, String what) {
        if (!ok) throw new AssertionError("bridge and JDK disagree: " + what);
    }

    static void putLe32(byte[] b, int off, int v) {
        b[off] = (byte) v;
        b[off + 1] = (byte) (v >>> 8);
        b[off + 2] = (byte) (v >>> 16);
        b[off + 3] = (byte) (v >>> 24);
    }

    static void putLe(byte[] out, int off, BigInteger v, int len) {
        byte[] be = v.toByteArray();
        for (int k = 0; k < len; k++) {
            int src = be.length - 1 - k;
            out[off + k] = src >= 0 ? be[src] : 0;
        }
    }

    static byte[] reversed(byte[] b) {
        byte[] r = new byte[b.length];
        for (int k = 0; k < b.length; k++) r[k] = b[b.length - 1 - k];
        return r;
    }

    static void header(byte[] blob, int type, int alg) {
        blob[0] = (byte) type;
        blob[1] = 2;
        putLe32(blob, 4, alg);
    }

    static byte[] plainKeyBlob(int alg, byte[] key) {
        byte[] blob = new byte[12 + key.length];
        header(blob, PLAINTEXTKEYBLOB, alg);
        putLe32(blob, 8, key.length);
        System.arraycopy(key, 0, blob, 12, key.length);
        return blob;
    }

    static byte[] publicKeyBlob(RSAPublicKey key) {
        int bits = key.getModulus().bitLength();
        int n = (bits + 7) / 8;
        byte[] blob = new byte[20 + n];
        header(blob, PUBLICKEYBLOB, CALG_RSA_SIGN);
        putLe32(blob, 8, 0x31415352); // "RSA1"
        putLe32(blob, 12, bits);
        putLe32(blob, 16, key.getPublicExponent().intValueExact());
        putLe(blob, 20, key.getModulus(), n);
        return blob;
    }

    static byte[] privateKeyBlob(RSAPrivateCrtKey key) {
        int bits = key.getModulus().bitLength();
        int n = (bits + 7) / 8;
        int h = (bits + 15) / 16;
        byte[] blob = new byte[20 + 2 * n + 5 * h];
        header(blob, PRIVATEKEYBLOB, CALG_RSA_SIGN);
        putLe32(blob, 8, 0x32415352); // "RSA2"
        putLe32(blob, 12, bits);
        putLe32(blob, 16, key.getPublicExponent().intValueExact());
        int off = 20;
        putLe(blob, off, key.getModulus(), n);
        off += n;
        for (BigInteger v : new BigInteger[] {key.getPrimeP(), key.getPrimeQ(), key.getPrimeExponentP(),
                key.getPrimeExponentQ(), key.getCrtCoefficient()}) {
            putLe(blob, off, v, h);
            off += h;
        }
        putLe(blob, off, key.getPrivateExponent(), n);
        return blob;
    }

    static long importKey(long hProv, byte[] blob, int flags) {
        long[] k = {0};
        check(CAPI.cryptImportKey(hProv, blob, blob.length, 0, flags, k, false), "importing a key");
        return k[0];
    }

    // ------------------------------------------------------ the operations

    static long prov;       // verify context: hashes, HMAC, AES, verification
    static long signProv;   // a container holding the RSA signature key
    static final byte[] hashOut = new byte[32];
    static final int[] hashLen = {32};

    /** Create hash, hash data, get value, destroy: the bridge's SHA-256 of data. */
    static long bridgeSha256(byte[] data) {
        long[] h = {0};
        check(CAPI.cryptCreateHash(prov, CALG_SHA_256, 0, 0, h), "create hash");
        check(CAPI.cryptHashData(h[0], data, 0, data.length, 0), "hash data");
        hashLen[0] = 32;
        check(CAPI.cryptGetHashParam(h[0], HP_HASHVAL, hashOut, hashLen, 0), "hash value");
        check(CAPI.cryptDestroyHash(h[0]), "destroy hash");
        return hashOut[0];
    }

    static final int PIECE = 16 * 1024;

    /** The same, fed in pieces addressed by offset into the one array, as a stream would be. */
    static long bridgeSha256Pieces(byte[] data) {
        long[] h = {0};
        check(CAPI.cryptCreateHash(prov, CALG_SHA_256, 0, 0, h), "create hash");
        for (int off = 0; off < data.length; off += PIECE) {
            check(CAPI.cryptHashData(h[0], data, off, Math.min(PIECE, data.length - off), 0), "hash piece");
        }
        hashLen[0] = 32;
        check(CAPI.cryptGetHashParam(h[0], HP_HASHVAL, hashOut, hashLen, 0), "hash value");
        check(CAPI.cryptDestroyHash(h[0]), "destroy hash");
        return hashOut[0];
    }

    static long jdkSha256Pieces(MessageDigest sha, byte[] data) {
        for (int off = 0; off < data.length; off += PIECE) sha.update(data, off, Math.min(PIECE, data.length - off));
        return sha.digest()[0];
    }

    static long hmacKey;
    static byte[] hmacInfo;

    static long bridgeHmac(byte[] data) {
        long[] h = {0};
        check(CAPI.cryptCreateHash(prov, CALG_HMAC, hmacKey, 0, h), "create HMAC");
        check(CAPI.cryptSetHashParam(h[0], HP_HMAC_INFO, hmacInfo, 0), "HMAC_INFO");
        check(CAPI.cryptHashData(h[0], data, 0, data.length, 0), "hash data");
        hashLen[0] = 32;
        check(CAPI.cryptGetHashParam(h[0], HP_HASHVAL, hashOut, hashLen, 0), "HMAC value");
        check(CAPI.cryptDestroyHash(h[0]), "destroy HMAC");
        return hashOut[0];
    }

    static long aesKey;
    static final int[] cryptLen = {0};

    /** One whole message, final call: the key starts again from its IV each time. */
    static long bridgeEncrypt(byte[] plain, byte[] buf) {
        System.arraycopy(plain, 0, buf, 0, plain.length);
        cryptLen[0] = plain.length;
        check(CAPI.cryptEncrypt(aesKey, 0, true, 0, buf, cryptLen, buf.length), "encrypt");
        return cryptLen[0];
    }

    static final byte[] sigBuf = new byte[256];
    static final int[] sigLen = {256};

    static long bridgeSign(byte[] data) {
        long[] h = {0};
        check(CAPI.cryptCreateHash(signProv, CALG_SHA_256, 0, 0, h), "create hash");
        check(CAPI.cryptHashData(h[0], data, 0, data.length, 0), "hash data");
        sigLen[0] = sigBuf.length;
        check(CAPI.cryptSignHash(h[0], AT_SIGNATURE, null, 0, sigBuf, sigLen), "sign");
        check(CAPI.cryptDestroyHash(h[0]), "destroy hash");
        return sigLen[0];
    }

    static long pubKey;

    /** Verifies a little-endian signature; returns the bridge's code. */
    static int bridgeVerify(byte[] data, byte[] sigLe) {
        long[] h = {0};
        check(CAPI.cryptCreateHash(prov, CALG_SHA_256, 0, 0, h), "create hash");
        check(CAPI.cryptHashData(h[0], data, 0, data.length, 0), "hash data");
        int rc = CAPI.cryptVerifySignature(h[0], sigLe, sigLe.length, pubKey, null, 0);
        check(CAPI.cryptDestroyHash(h[0]), "destroy hash");
        return rc;
    }

    // ------------------------------------------------- the limit operations
    // The same sequences of calls as the bridge's, through bench.Limit.

    static long limitAes;
    static long limitMac;
    static long limitPriv;
    static long limitPub;
    static final byte[] limitOut = new byte[32];
    static final int[] limitLen = {32};

    static void ok(int code, String what) {
        if (code != 0) throw new IllegalStateException("limit " + what + " failed: " + code);
    }

    static long limitSha256(byte[] data, int piece) {
        long[] h = {0};
        ok(Limit.createHash(0, h), "create");
        for (int off = 0; off < data.length; off += piece) {
            ok(Limit.hashData(h[0], data, off, Math.min(piece, data.length - off)), "hash");
        }
        limitLen[0] = 32;
        ok(Limit.hashValue(h[0], limitOut, limitLen), "value");
        Limit.destroyHash(h[0]);
        return limitOut[0];
    }

    static long limitHmac(byte[] data) {
        long[] h = {0};
        ok(Limit.createHash(limitMac, h), "create HMAC");
        ok(Limit.setHmacInfo(h[0], hmacInfo), "HMAC info");
        ok(Limit.hashData(h[0], data, 0, data.length), "hash");
        limitLen[0] = 32;
        ok(Limit.hashValue(h[0], limitOut, limitLen), "value");
        Limit.destroyHash(h[0]);
        return limitOut[0];
    }

    static long limitEncrypt(byte[] plain, byte[] buf) {
        System.arraycopy(plain, 0, buf, 0, plain.length);
        cryptLen[0] = plain.length;
        ok(Limit.encrypt(limitAes, buf, cryptLen, buf.length), "encrypt");
        return cryptLen[0];
    }

    static long limitSign(byte[] data) {
        long[] h = {0};
        ok(Limit.createHash(0, h), "create");
        ok(Limit.hashData(h[0], data, 0, data.length), "hash");
        sigLen[0] = sigBuf.length;
        ok(Limit.signHash(h[0], limitPriv, sigBuf, sigLen), "sign");
        Limit.destroyHash(h[0]);
        return sigLen[0];
    }

    static int limitVerify(byte[] data, byte[] sig) {
        long[] h = {0};
        ok(Limit.createHash(0, h), "create");
        ok(Limit.hashData(h[0], data, 0, data.length), "hash");
        int rc = Limit.verifySignature(h[0], sig, sig.length, limitPub);
        Limit.destroyHash(h[0]);
        return rc;
    }

    static String cpuName() {
        try {
            for (String line : Files.readAllLines(Path.of("/proc/cpuinfo"))) {
                if (line.startsWith("model name")) return line.substring(line.indexOf(':') + 1).trim();
            }
        } catch (Exception e) {
            // not Linux, or not readable
        }
        return System.getProperty("os.arch");
    }

    public static void main(String[] args) throws Exception {
        boolean quick = Arrays.asList(args).contains("--quick");
        int at = Arrays.asList(args).indexOf("--csv");
        csv = at >= 0 && at + 1 < args.length ? args[at + 1] : null;
        at = Arrays.asList(args).indexOf("--only");
        only = at >= 0 && at + 1 < args.length ? args[at + 1] : null;
        config = quick ? new Config(0, 1, 2_000_000L) : new Config(300_000_000L, 5, 200_000_000L);

        Random rnd = new Random(20240601);
        byte[] m64 = new byte[64];
        byte[] m1k = new byte[1024];
        byte[] m1m = new byte[1 << 20];
        rnd.nextBytes(m64);
        rnd.nextBytes(m1k);
        rnd.nextBytes(m1m);
        byte[] aesKeyBytes = new byte[16];
        byte[] iv = new byte[16];
        byte[] macKeyBytes = new byte[16];
        rnd.nextBytes(aesKeyBytes);
        rnd.nextBytes(iv);
        rnd.nextBytes(macKeyBytes);

        // The bridge's objects.
        long[] h = {0};
        check(CAPI.cryptAcquireContext(h, null, null, PROV_RSA_AES, CRYPT_VERIFYCONTEXT), "verify context");
        prov = h[0];
        hmacKey = importKey(prov, plainKeyBlob(CALG_RC2, macKeyBytes), CRYPT_IPSEC_HMAC_KEY);
        hmacInfo = new byte[CAPI.getSizeOfHandle() == 4 ? 20 : 40];
        putLe32(hmacInfo, 0, CALG_SHA_256);
        aesKey = importKey(prov, plainKeyBlob(CALG_AES_128, aesKeyBytes), 0);
        check(CAPI.cryptSetKeyParam(aesKey, KP_IV, iv.clone(), 0), "setting the IV");

        RSAPrivateCrtKey rsaPriv = (RSAPrivateCrtKey) KeyFactory.getInstance("RSA")
                .generatePrivate(new PKCS8EncodedKeySpec(Base64.getDecoder().decode(RSA_KEY_PKCS8)));
        RSAPublicKey rsaPub = (RSAPublicKey) KeyFactory.getInstance("RSA")
                .generatePublic(new RSAPublicKeySpec(rsaPriv.getModulus(), rsaPriv.getPublicExponent()));
        String container = "quill-bench-" + ProcessHandle.current().pid();
        check(CAPI.cryptAcquireContext(h, container, null, PROV_RSA_AES, CRYPT_NEWKEYSET), "new container");
        signProv = h[0];
        try {
            long userKey = importKey(signProv, privateKeyBlob(rsaPriv), 0);
            check(CAPI.cryptDestroyKey(userKey), "destroy user key handle");
            pubKey = importKey(prov, publicKeyBlob(rsaPub), 0);
            run(quick, m64, m1k, m1m, aesKeyBytes, iv, macKeyBytes, rsaPriv, rsaPub);
        } finally {
            CAPI.cryptReleaseContext(signProv, 0);
            CAPI.cryptAcquireContext(h, container, null, PROV_RSA_AES, CRYPT_DELETEKEYSET);
        }
        CAPI.cryptDestroyKey(pubKey);
        CAPI.cryptDestroyKey(aesKey);
        CAPI.cryptDestroyKey(hmacKey);
        CAPI.cryptReleaseContext(prov, 0);
    }

    /** Message sizes of the SHA-256 sweep that the plot draws. */
    static final int[] SWEEP = {16, 64, 256, 1024, 4096, 16384, 65536, 1 << 20};

    /**
     * SHA-256 throughput against message size for the bridge, its limit and
     * the JDK, printed and (with --csv) appended to the file as
     * side,bytes,MB/s lines.
     */
    static void sweep(MessageDigest sha, String csv) throws Exception {
        StringBuilder lines = new StringBuilder();
        System.out.printf("%nSHA-256 by message size (MB/s)%n%-10s %12s %12s %12s%n", "bytes", "bridge", "limit", "JDK");
        for (int size : SWEEP) {
            byte[] m = new byte[size];
            new Random(size).nextBytes(m);
            double[] r = opsPerSecond(() -> bridgeSha256(m), () -> limitSha256(m, size), () -> sha.digest(m)[0]);
            double[] mbs = {r[0] * size / 1e6, r[1] * size / 1e6, r[2] * size / 1e6};
            System.out.printf("%-10d %12s %12s %12s%n", size, num(mbs[0]), num(mbs[1]), num(mbs[2]));
            String[] sides = {"bridge", "limit", "JDK"};
            for (int i = 0; i < 3; i++) lines.append(String.format("%s,%d,%.3f%n", sides[i], size, mbs[i]));
        }
        if (csv != null) Files.writeString(Path.of(csv), lines.toString(), StandardCharsets.US_ASCII,
                java.nio.file.StandardOpenOption.CREATE, java.nio.file.StandardOpenOption.APPEND);
    }

    static void run(boolean quick, byte[] m64, byte[] m1k, byte[] m1m, byte[] aesKeyBytes, byte[] iv,
            byte[] macKeyBytes, RSAPrivateCrtKey rsaPriv, RSAPublicKey rsaPub) throws Exception {
        // The JDK's objects, each from the named provider.
        MessageDigest sha = MessageDigest.getInstance("SHA-256", "SUN");
        Mac mac = Mac.getInstance("HmacSHA256", "SunJCE");
        mac.init(new SecretKeySpec(macKeyBytes, "HmacSHA256"));
        Cipher aes = Cipher.getInstance("AES/CBC/PKCS5Padding", "SunJCE");
        aes.init(Cipher.ENCRYPT_MODE, new SecretKeySpec(aesKeyBytes, "AES"), new IvParameterSpec(iv));
        Signature signer = Signature.getInstance("SHA256withRSA", "SunRsaSign");
        signer.initSign(rsaPriv);
        Signature verifier = Signature.getInstance("SHA256withRSA", "SunRsaSign");
        verifier.initVerify(rsaPub);

        limitAes = Limit.aesKey(aesKeyBytes, iv);
        limitMac = Limit.macKey(macKeyBytes);
        limitPriv = Limit.rsaKey(rsaPriv.getEncoded(), true);
        limitPub = Limit.rsaKey(rsaPub.getEncoded(), false);

        // Agreement on the benchmarked inputs, before anything is timed.
        for (byte[] m : new byte[][] {m64, m1k, m1m}) {
            bridgeSha256(m);
            agree(Arrays.equals(hashOut, sha.digest(m)), "SHA-256 of " + m.length + " bytes");
            limitSha256(m, m.length);
            agree(Arrays.equals(limitOut, hashOut), "the limit's SHA-256 of " + m.length + " bytes");
        }
        bridgeSha256Pieces(m1m);
        agree(Arrays.equals(hashOut, sha.digest(m1m)), "SHA-256 of 1 MiB in 16 KiB pieces");
        bridgeHmac(m1k);
        agree(Arrays.equals(hashOut, mac.doFinal(m1k)), "HMAC-SHA256 of 1 KiB");
        limitHmac(m1k);
        agree(Arrays.equals(limitOut, hashOut), "the limit's HMAC-SHA256 of 1 KiB");
        byte[] buf1k = new byte[m1k.length + 16];
        byte[] buf1m = new byte[m1m.length + 16];
        byte[] out1k = new byte[m1k.length + 16];
        byte[] out1m = new byte[m1m.length + 16];
        for (int round = 0; round < 2; round++) { // the second proves the IV starts over
            for (byte[][] p : new byte[][][] {{m1k, buf1k, out1k}, {m1m, buf1m, out1m}}) {
                int n = (int) bridgeEncrypt(p[0], p[1]);
                int j = aes.doFinal(p[0], 0, p[0].length, p[2], 0);
                agree(n == j && Arrays.equals(p[1], 0, n, p[2], 0, j),
                        "AES-128-CBC of " + p[0].length + " bytes, pass " + (round + 1));
                byte[] lb = new byte[p[1].length];
                int l = (int) limitEncrypt(p[0], lb);
                agree(l == j && Arrays.equals(lb, 0, l, p[2], 0, j), "the limit's AES-128-CBC of " + p[0].length);
            }
        }
        bridgeSign(m64);
        byte[] bridgeSig = Arrays.copyOf(sigBuf, sigLen[0]);
        signer.update(m64);
        byte[] jdkSig = signer.sign();
        agree(Arrays.equals(reversed(bridgeSig), jdkSig), "RSA-2048 SHA-256 PKCS#1 v1.5 signature");
        verifier.update(m64);
        agree(verifier.verify(reversed(bridgeSig)), "the JDK verifies the bridge's signature");
        agree(bridgeVerify(m64, reversed(jdkSig)) == 0, "the bridge verifies the JDK's signature");
        byte[] badSig = reversed(jdkSig);
        badSig[7] ^= 1;
        agree(bridgeVerify(m64, badSig) != 0, "the bridge refuses an altered signature");
        byte[] sigLe = reversed(jdkSig);
        limitSign(m64);
        agree(Arrays.equals(Arrays.copyOf(sigBuf, sigLen[0]), jdkSig), "the limit's signature");
        agree(limitVerify(m64, jdkSig) == 0, "the limit verifies the JDK's signature");

        System.out.printf("Quill bridge against the JDK's providers%s%n", quick ? " (--quick: numbers mean nothing)" : "");
        System.out.printf("Java %s (%s), %s, %s%n", System.getProperty("java.version"),
                System.getProperty("java.vm.name"), System.getProperty("os.arch"), cpuName());
        System.out.printf("results agree: SHA-256, HMAC-SHA256, AES-128-CBC, RSA-2048 signatures%n");
        System.out.printf("median of %d rounds of %d ms after %d ms warm-up; MB = 10^6 bytes%n%n", config.rounds,
                config.roundNanos / 1_000_000, config.warmupNanos / 1_000_000);

        row("JNI floor: getSizeOfHandle()", 0, () -> CAPI.getSizeOfHandle(), null, null);
        row("SHA-256 64 B", 0, () -> bridgeSha256(m64), () -> limitSha256(m64, 64), () -> sha.digest(m64)[0]);
        row("SHA-256 1 KiB", 1024, () -> bridgeSha256(m1k), () -> limitSha256(m1k, 1024), () -> sha.digest(m1k)[0]);
        row("SHA-256 1 MiB", 1 << 20, () -> bridgeSha256(m1m), () -> limitSha256(m1m, 1 << 20),
                () -> sha.digest(m1m)[0]);
        row("SHA-256 1 MiB in 16 KiB pieces", 1 << 20, () -> bridgeSha256Pieces(m1m), () -> limitSha256(m1m, PIECE),
                () -> jdkSha256Pieces(sha, m1m));
        row("HMAC-SHA256 1 KiB", 1024, () -> bridgeHmac(m1k), () -> limitHmac(m1k), () -> mac.doFinal(m1k)[0]);
        byte[] lbuf1k = new byte[buf1k.length];
        byte[] lbuf1m = new byte[buf1m.length];
        row("AES-128-CBC encrypt 1 KiB", 1024, () -> bridgeEncrypt(m1k, buf1k), () -> limitEncrypt(m1k, lbuf1k),
                () -> aes.doFinal(m1k, 0, m1k.length, out1k, 0));
        row("AES-128-CBC encrypt 1 MiB", 1 << 20, () -> bridgeEncrypt(m1m, buf1m), () -> limitEncrypt(m1m, lbuf1m),
                () -> aes.doFinal(m1m, 0, m1m.length, out1m, 0));
        row("RSA-2048 sign SHA-256 (64 B msg)", 0, () -> bridgeSign(m64), () -> limitSign(m64), () -> {
            signer.update(m64);
            return signer.sign()[0];
        });
        row("RSA-2048 verify SHA-256 (64 B msg)", 0, () -> bridgeVerify(m64, sigLe), () -> limitVerify(m64, jdkSig),
                () -> {
                    verifier.update(m64);
                    return verifier.verify(jdkSig) ? 1 : 0;
                });

        Stores.run(quick, rsaPriv, rsaPub, prov, privateKeyBlob(rsaPriv));

        printTable();
        if (only == null) {
            sweep(sha, csv);
            System.out.printf("%nJNI floor: %.1f ns per native call.%n", 1e9 / rows.get(0).bridge);
        }
        if (wanted("threads")) Threads.run(quick, m64, m1k, aesKeyBytes, iv, rsaPriv, privateKeyBlob(rsaPriv));
        if (sink == 42) System.out.println(); // keeps the sink alive
        Limit.freeKey(limitAes);
        Limit.freeKey(limitMac);
        Limit.freeKey(limitPriv);
        Limit.freeKey(limitPub);
    }
}
