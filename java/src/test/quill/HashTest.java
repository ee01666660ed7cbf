package quill;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static quill.Csp.*;

import java.security.MessageDigest;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.Random;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;

import javax.crypto.Mac;
import javax.crypto.spec.SecretKeySpec;

import org.junit.jupiter.api.AfterAll;
import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/** Hash and HMAC objects through the bridge, held against the JDK's MessageDigest and Mac. */
class HashTest {
    static final int[] ALGS = {CALG_MD5, CALG_SHA1, CALG_SHA_256, CALG_SHA_384, CALG_SHA_512};
    static final String[] JDK = {"MD5", "SHA-1", "SHA-256", "SHA-384", "SHA-512"};

    static long prov;

    @BeforeAll
    static void open() {
        prov = verifyContext();
    }

    @AfterAll
    static void close() {
        ok(CAPI.cryptReleaseContext(prov, 0), "release");
    }

    /** Feeds data[0..n) into a hash object in uneven pieces, addressed by offset into the one array. */
    static void feed(long hHash, byte[] data, Random rnd, int maxPiece) {
        int off = 0;
        while (off < data.length) {
            int len = Math.min(data.length - off, 1 + rnd.nextInt(maxPiece));
            ok(CAPI.cryptHashData(hHash, data, off, len, 0), "hash piece at " + off);
            off += len;
        }
    }

    static byte[] random(Random rnd, int n) {
        byte[] b = new byte[n];
        rnd.nextBytes(b);
        return b;
    }

    static long hmacObject(byte[] key, int inner) {
        long hKey = importKey(prov, Blobs.plainKeyBlob(CALG_RC2, key), 0, CRYPT_IPSEC_HMAC_KEY);
        long h = newHash(prov, CALG_HMAC, hKey);
        ok(CAPI.cryptSetHashParam(h, HP_HMAC_INFO, hmacInfo(inner), 0), "HMAC_INFO");
        // The hash keeps what it needs of the key.
        ok(CAPI.cryptDestroyKey(hKey), "destroy HMAC key");
        return h;
    }

    @Test
    void digestsEqualTheJdkForSizesUpToMegabytesFedInUnevenPieces() throws Exception {
        Random rnd = new Random(1);
        int[] sizes = {0, 1, 55, 56, 63, 64, 65, 111, 112, 127, 128, 129, 1000, 65537};
        for (int a = 0; a < ALGS.length; a++) {
            for (int size : sizes) {
                byte[] data = random(rnd, size);
                long h = newHash(prov, ALGS[a], 0);
                feed(h, data, rnd, 70);
                assertArrayEquals(MessageDigest.getInstance(JDK[a]).digest(data), hashValue(h),
                        JDK[a] + " of " + size + " bytes");
                ok(CAPI.cryptDestroyHash(h), "destroy");
            }
        }
        // Megabytes in large uneven pieces (each call borrows the whole array).
        byte[] big = random(rnd, 3 * 1024 * 1024 + 17);
        for (int a : new int[] {1, 2, 4}) {
            long h = newHash(prov, ALGS[a], 0);
            feed(h, big, rnd, 400_000);
            assertArrayEquals(MessageDigest.getInstance(JDK[a]).digest(big), hashValue(h), JDK[a] + " of 3 MB");
            ok(CAPI.cryptDestroyHash(h), "destroy");
        }
    }

    @Test
    void hmacsEqualTheJdkMac() throws Exception {
        Random rnd = new Random(2);
        String[] macs = {"HmacMD5", "HmacSHA1", "HmacSHA256", "HmacSHA384", "HmacSHA512"};
        for (int a = 0; a < ALGS.length; a++) {
            for (int keyLen : new int[] {16, 20, 64, 129}) {
                for (int size : new int[] {0, 1, 200, 70_000}) {
                    byte[] key = random(rnd, keyLen);
                    byte[] data = random(rnd, size);
                    long h = hmacObject(key, ALGS[a]);
                    feed(h, data, rnd, 5000);
                    Mac mac = Mac.getInstance(macs[a]);
                    mac.init(new SecretKeySpec(key, macs[a]));
                    assertArrayEquals(mac.doFinal(data), hashValue(h),
                            macs[a] + " key " + keyLen + " data " + size);
                    ok(CAPI.cryptDestroyHash(h), "destroy");
                }
            }
        }
    }

    static void wycheproofHmac(String file, int inner) throws Exception {
        int checked = 0;
        for (Map<String, Object> group : Json.groups(Json.file(file))) {
            int tagBytes = ((Long) group.get("tagSize")).intValue() / 8;
            for (Map<String, Object> t : Json.tests(group)) {
                byte[] key = Json.hex(t.get("key"));
                byte[] msg = Json.hex(t.get("msg"));
                byte[] tag = Json.hex(t.get("tag"));
                long h = hmacObject(key, inner);
                ok(CAPI.cryptHashData(h, msg, 0, msg.length, 0), "hash");
                byte[] full = hashValue(h);
                ok(CAPI.cryptDestroyHash(h), "destroy");
                boolean match = Arrays.equals(Arrays.copyOf(full, tagBytes), tag);
                String what = file + " tcId " + t.get("tcId") + " (" + t.get("comment") + ")";
                if ("valid".equals(t.get("result"))) {
                    assertTrue(match, what);
                } else {
                    assertFalse(match, what);
                }
                checked++;
            }
        }
        assertTrue(checked > 100, "vectors checked: " + checked);
    }

    @Test
    void wycheproofHmacSha256() throws Exception {
        wycheproofHmac("hmac_sha256_test.json", CALG_SHA_256);
    }

    @Test
    void wycheproofHmacSha1() throws Exception {
        wycheproofHmac("hmac_sha1_test.json", CALG_SHA1);
    }

    @Test
    void lengthsAreQueriedAndReportedBackAfterFailures() throws Exception {
        long h = hashOf(prov, CALG_SHA_256, "abc".getBytes());
        byte[] size = new byte[4];
        int[] len = {4};
        ok(CAPI.cryptGetHashParam(h, HP_HASHSIZE, size, len, 0), "HP_HASHSIZE");
        assertEquals(32, Blobs.le32(size, 0));
        assertEquals(4, len[0]);

        len[0] = 0;
        ok(CAPI.cryptGetHashParam(h, HP_HASHVAL, null, len, 0), "size query");
        assertEquals(32, len[0]);

        byte[] small = new byte[31];
        len[0] = small.length;
        assertCode(ERROR_MORE_DATA, CAPI.cryptGetHashParam(h, HP_HASHVAL, small, len, 0), "short buffer");
        assertEquals(32, len[0], "needed size copied back after ERROR_MORE_DATA");

        byte[] value = new byte[40];
        len[0] = value.length;
        ok(CAPI.cryptGetHashParam(h, HP_HASHVAL, value, len, 0), "value");
        assertEquals(32, len[0]);
        assertArrayEquals(MessageDigest.getInstance("SHA-256").digest("abc".getBytes()), Arrays.copyOf(value, 32));
        ok(CAPI.cryptDestroyHash(h), "destroy");
    }

    @Test
    void callerErrorsAreCodesNotExceptionsNorOverruns() {
        long h = newHash(prov, CALG_SHA1, 0);
        byte[] buf = new byte[20];
        // An empty length array: the VM's exception is cleared and 574 returned.
        assertCode(ERROR_UNHANDLED_EXCEPTION, CAPI.cryptGetHashParam(h, HP_HASHVAL, buf, new int[0], 0),
                "empty length array");
        // A length claiming more than the buffer holds.
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptGetHashParam(h, HP_HASHVAL, buf, new int[] {21}, 0),
                "length beyond the buffer");
        // A buffer too short for the size value: the provider's answer, and
        // the value's conversion does not reach past the array.
        int[] two = {2};
        assertCode(ERROR_MORE_DATA, CAPI.cryptGetHashParam(h, HP_HASHSIZE, new byte[2], two, 0),
                "buffer shorter than the hash size value");
        assertEquals(4, two[0], "needed size copied back");
        // Offsets and counts outside the data array.
        byte[] data = new byte[10];
        int[][] bad = {{-1, 1}, {0, 11}, {5, 6}, {11, 0}, {0, -1}, {Integer.MAX_VALUE, 2}, {2, Integer.MAX_VALUE}};
        for (int[] b : bad) {
            assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptHashData(h, data, b[0], b[1], 0),
                    "offset " + b[0] + " len " + b[1]);
        }
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptHashData(h, null, 0, 1, 0), "null array with a count");
        // A short HMAC_INFO would be read past its end.
        long hm = bareHmacObject();
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptSetHashParam(hm, HP_HMAC_INFO, new byte[8], 0),
                "short HMAC_INFO");
        ok(CAPI.cryptDestroyHash(hm), "destroy HMAC");
        // None of the refused calls reached the hash: it still hashes "abc" alone.
        ok(CAPI.cryptHashData(h, "xabcx".getBytes(), 1, 3, 0), "in-bounds piece");
        ok(CAPI.cryptHashData(h, data, 10, 0, 0), "empty piece at the end");
        assertArrayEquals(sha1("abc"), hashValue(h));
        ok(CAPI.cryptDestroyHash(h), "destroy");
    }

    static long bareHmacObject() {
        long hKey = importKey(prov, Blobs.plainKeyBlob(CALG_RC2, new byte[16]), 0, CRYPT_IPSEC_HMAC_KEY);
        long h = newHash(prov, CALG_HMAC, hKey);
        ok(CAPI.cryptDestroyKey(hKey), "destroy key");
        return h;
    }

    static byte[] sha1(String s) {
        try {
            return MessageDigest.getInstance("SHA-1").digest(s.getBytes());
        } catch (Exception e) {
            throw new AssertionError(e);
        }
    }

    @Test
    void failedCreationLeavesZeroAndOutputArraysAreChecked() {
        long[] out = {0x5555};
        int rc = CAPI.cryptCreateHash(prov, 0x1234, 0, 0, out);
        assertNotEquals(0, rc, "unknown algorithm");
        assertEquals(0, out[0], "handle after a failed creation");
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptCreateHash(prov, CALG_SHA1, 0, 0, new long[0]),
                "empty output array");
        assertCode(ERROR_INVALID_PARAMETER, CAPI.cryptCreateHash(prov, CALG_SHA1, 0, 0, null), "null output array");
        out[0] = 0x5555;
        assertCode(NTE_BAD_UID, CAPI.cryptCreateHash(0x7777, CALG_SHA1, 0, 0, out), "forged context");
        assertEquals(0, out[0]);
    }

    @Test
    void duplicatesAreIndependentAndDestroyIsOnce() throws Exception {
        long h = hashOf(prov, CALG_SHA_256, "common-".getBytes());
        long[] dup = {0};
        ok(CAPI.cryptDuplicateHash(h, null, 0, dup), "duplicate");
        assertNotEquals(0, dup[0]);
        ok(CAPI.cryptHashData(h, "left".getBytes(), 0, 4, 0), "left");
        ok(CAPI.cryptHashData(dup[0], "right".getBytes(), 0, 5, 0), "right");
        MessageDigest md = MessageDigest.getInstance("SHA-256");
        assertArrayEquals(md.digest("common-left".getBytes()), hashValue(h));
        assertArrayEquals(md.digest("common-right".getBytes()), hashValue(dup[0]));
        ok(CAPI.cryptDestroyHash(h), "destroy original");
        assertArrayEquals(md.digest("common-right".getBytes()), hashValue(dup[0]), "duplicate outlives original");
        ok(CAPI.cryptDestroyHash(dup[0]), "destroy duplicate");
        assertNotEquals(0, CAPI.cryptDestroyHash(dup[0]), "second destroy");
        long[] none = {0x42};
        assertNotEquals(0, CAPI.cryptDuplicateHash(dup[0], null, 0, none), "duplicate of a destroyed hash");
        assertEquals(0, none[0]);
    }

    @Test
    void hashValueSetByTheCallerIsReturned() throws Exception {
        byte[] digest = MessageDigest.getInstance("SHA-256").digest("preset".getBytes());
        long h = newHash(prov, CALG_SHA_256, 0);
        ok(CAPI.cryptSetHashParam(h, HP_HASHVAL, digest.clone(), 0), "set HP_HASHVAL");
        assertArrayEquals(digest, hashValue(h));
        ok(CAPI.cryptDestroyHash(h), "destroy");
    }

    @Test
    void threadsHashOnTheirOwnObjectsAtOnce() throws Exception {
        ExecutorService pool = Executors.newFixedThreadPool(4);
        try {
            List<Future<?>> jobs = new ArrayList<>();
            for (int t = 0; t < 8; t++) {
                final int seed = t;
                jobs.add(pool.submit(() -> {
                    Random rnd = new Random(100 + seed);
                    for (int round = 0; round < 20; round++) {
                        byte[] data = random(rnd, rnd.nextInt(20_000));
                        long h = newHash(prov, CALG_SHA_256, 0);
                        feed(h, data, rnd, 3000);
                        assertArrayEquals(MessageDigest.getInstance("SHA-256").digest(data), hashValue(h));
                        ok(CAPI.cryptDestroyHash(h), "destroy");
                    }
                    return null;
                }));
            }
            for (Future<?> f : jobs) f.get();
        } finally {
            pool.shutdown();
        }
    }
}
