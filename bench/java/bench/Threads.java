package bench;

import java.security.MessageDigest;
import java.security.Signature;
import java.security.interfaces.RSAPrivateCrtKey;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CyclicBarrier;
import java.util.function.IntFunction;

import javax.crypto.Cipher;
import javax.crypto.spec.IvParameterSpec;
import javax.crypto.spec.SecretKeySpec;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * Aggregate throughput of 1, 2 and 8 threads, each on objects of its own (a
 * context, a key, a signature container, its buffers; a JDK engine object
 * each): SHA-256 of 64 bytes, AES-128-CBC of 1 KiB and RSA-2048 signing,
 * through the bridge and the JDK. All threads of a round start together at a
 * barrier and run for the round's time; the round's figure is the sum of
 * their operations over the longest thread's time, the row's the median
 * round. The sides' rounds alternate, as in the other tables.
 */
final class Threads {
    private Threads() {}

    /** One thread's objects and its operation; close gives the objects back. */
    interface Worker extends AutoCloseable {
        long run() throws Exception;

        @Override
        default void close() {}
    }

    static final int[] COUNTS = {1, 2, 8};

    /** Operations per second of `threads` workers made by `make`, each on its own thread. */
    static double round(IntFunction<Worker> make, int threads, long nanos) throws Exception {
        List<Worker> workers = new ArrayList<>();
        for (int i = 0; i < threads; i++) workers.add(make.apply(i));
        long[] ops = new long[threads];
        long[] spent = new long[threads];
        Exception[] failed = new Exception[1];
        CyclicBarrier start = new CyclicBarrier(threads);
        List<Thread> running = new ArrayList<>();
        for (int i = 0; i < threads; i++) {
            int me = i;
            Thread t = new Thread(() -> {
                try {
                    Worker w = workers.get(me);
                    start.await();
                    long t0 = System.nanoTime();
                    long n = 0;
                    long acc = 0;
                    // Batches that double up to 64 between clock reads: a slow
                    // operation (the JDK's RSA signing, interpreted) ends the round
                    // after a few, a fast one does not pay a clock read each.
                    int batch = 1;
                    do {
                        for (int k = 0; k < batch; k++) acc += w.run();
                        n += batch;
                        batch = Math.min(64, batch * 2);
                    } while (System.nanoTime() - t0 < nanos);
                    spent[me] = System.nanoTime() - t0;
                    ops[me] = n + (acc == 42 ? 1 : 0);
                } catch (Exception e) {
                    synchronized (failed) {
                        failed[0] = e;
                    }
                }
            });
            running.add(t);
            t.start();
        }
        for (Thread t : running) t.join();
        for (Worker w : workers) w.close();
        if (failed[0] != null) throw failed[0];
        long total = 0;
        long longest = 1;
        for (int i = 0; i < threads; i++) {
            total += ops[i];
            longest = Math.max(longest, spent[i]);
        }
        return total * 1e9 / longest;
    }

    /** A bridge worker: a verify context of its own holding a SHA-256 hash each call. */
    static Worker bridgeSha(byte[] m) {
        long prov = context(null);
        byte[] out = new byte[32];
        int[] len = {32};
        return new Worker() {
            public long run() {
                long[] h = {0};
                Bench.check(CAPI.cryptCreateHash(prov, Bench.CALG_SHA_256, 0, 0, h), "create hash");
                Bench.check(CAPI.cryptHashData(h[0], m, 0, m.length, 0), "hash data");
                len[0] = 32;
                Bench.check(CAPI.cryptGetHashParam(h[0], Bench.HP_HASHVAL, out, len, 0), "hash value");
                Bench.check(CAPI.cryptDestroyHash(h[0]), "destroy hash");
                return out[0];
            }

            public void close() {
                CAPI.cryptReleaseContext(prov, 0);
            }
        };
    }

    static Worker bridgeAes(byte[] m, byte[] keyBytes, byte[] iv) {
        long prov = context(null);
        long key = Bench.importKey(prov, Bench.plainKeyBlob(Bench.CALG_AES_128, keyBytes), 0);
        Bench.check(CAPI.cryptSetKeyParam(key, Bench.KP_IV, iv.clone(), 0), "setting the IV");
        byte[] buf = new byte[m.length + 16];
        int[] len = {0};
        return new Worker() {
            public long run() {
                System.arraycopy(m, 0, buf, 0, m.length);
                len[0] = m.length;
                Bench.check(CAPI.cryptEncrypt(key, 0, true, 0, buf, len, buf.length), "encrypt");
                return len[0];
            }

            public void close() {
                CAPI.cryptDestroyKey(key);
                CAPI.cryptReleaseContext(prov, 0);
            }
        };
    }

    /** A container of its own per thread, holding the one signature key. */
    static Worker bridgeSign(byte[] m, byte[] privateBlob, int index) {
        String name = "quill-bench-threads-" + ProcessHandle.current().pid() + "-" + index;
        long prov = context(name);
        Bench.check(CAPI.cryptDestroyKey(Bench.importKey(prov, privateBlob, 0)), "destroy user key handle");
        byte[] sig = new byte[256];
        int[] len = {256};
        return new Worker() {
            public long run() {
                long[] h = {0};
                Bench.check(CAPI.cryptCreateHash(prov, Bench.CALG_SHA_256, 0, 0, h), "create hash");
                Bench.check(CAPI.cryptHashData(h[0], m, 0, m.length, 0), "hash data");
                len[0] = sig.length;
                Bench.check(CAPI.cryptSignHash(h[0], Bench.AT_SIGNATURE, null, 0, sig, len), "sign");
                Bench.check(CAPI.cryptDestroyHash(h[0]), "destroy hash");
                return len[0];
            }

            public void close() {
                CAPI.cryptReleaseContext(prov, 0);
                long[] h = {0};
                CAPI.cryptAcquireContext(h, name, null, Bench.PROV_RSA_AES, Bench.CRYPT_DELETEKEYSET);
            }
        };
    }

    /** A verify context, or a new container of that name. */
    static long context(String container) {
        long[] h = {0};
        Bench.check(CAPI.cryptAcquireContext(h, container, null, Bench.PROV_RSA_AES,
                container == null ? Bench.CRYPT_VERIFYCONTEXT : Bench.CRYPT_NEWKEYSET), "context");
        return h[0];
    }

    /** Makes a JDK worker, wrapping the checked exceptions of the engines' set-up. */
    interface Maker {
        Worker make() throws Exception;
    }

    static IntFunction<Worker> jdk(Maker m) {
        return i -> {
            try {
                return m.make();
            } catch (Exception e) {
                throw new IllegalStateException(e);
            }
        };
    }

    static void run(boolean quick, byte[] m64, byte[] m1k, byte[] aesKey, byte[] iv, RSAPrivateCrtKey rsaPriv,
            byte[] privateBlob) throws Exception {
        long nanos = quick ? 2_000_000L : 200_000_000L;
        int rounds = quick ? 1 : 5;
        String[] names = {"SHA-256 64 B", "AES-128-CBC encrypt 1 KiB", "RSA-2048 sign SHA-256"};
        List<IntFunction<Worker>> bridge = List.of(i -> bridgeSha(m64), i -> bridgeAes(m1k, aesKey, iv),
                i -> bridgeSign(m64, privateBlob, i));
        List<IntFunction<Worker>> jdk = List.of(
                jdk(() -> {
                    MessageDigest sha = MessageDigest.getInstance("SHA-256", "SUN");
                    return () -> sha.digest(m64)[0];
                }),
                jdk(() -> {
                    Cipher aes = Cipher.getInstance("AES/CBC/PKCS5Padding", "SunJCE");
                    aes.init(Cipher.ENCRYPT_MODE, new SecretKeySpec(aesKey, "AES"), new IvParameterSpec(iv));
                    byte[] out = new byte[m1k.length + 16];
                    return () -> aes.doFinal(m1k, 0, m1k.length, out, 0);
                }),
                jdk(() -> {
                    Signature signer = Signature.getInstance("SHA256withRSA", "SunRsaSign");
                    signer.initSign(rsaPriv);
                    return () -> {
                        signer.update(m64);
                        return signer.sign()[0];
                    };
                }));

        String fmt = "%-28s %-6s %14s %14s %14s %8s %8s%n";
        System.out.printf("%nthreads, each on its own objects: aggregate operations per second (median of %d rounds"
                + " of %d ms)%n", rounds, nanos / 1_000_000);
        System.out.printf(fmt, "operation", "side", "1 thread", "2 threads", "8 threads", "2 / 1", "8 / 2");
        System.out.printf(fmt, "-".repeat(28), "-".repeat(6), "-".repeat(14), "-".repeat(14), "-".repeat(14),
                "-".repeat(8), "-".repeat(8));
        for (int op = 0; op < names.length; op++) {
            if (!Bench.wanted("threads")) break;
            List<IntFunction<Worker>> sides = List.of(bridge.get(op), jdk.get(op));
            double[][] rate = new double[2][COUNTS.length];
            // A warm-up long enough for the compiler to finish with both sides, so that its
            // threads do not take a core from the rounds.
            for (int s = 0; s < 2; s++) round(sides.get(s), 2, quick ? nanos : 2_000_000_000L);
            for (int c = 0; c < COUNTS.length; c++) {
                double[][] r = new double[2][rounds];
                for (int s = 0; s < 2; s++) round(sides.get(s), COUNTS[c], nanos); // warm-up
                for (int k = 0; k < rounds; k++) {
                    for (int s = 0; s < 2; s++) r[s][k] = round(sides.get(s), COUNTS[c], nanos);
                }
                for (int s = 0; s < 2; s++) rate[s][c] = Bench.median(r[s]);
            }
            for (int s = 0; s < 2; s++) {
                System.out.printf(fmt, names[op], s == 0 ? "bridge" : "JDK", Bench.num(rate[s][0]),
                        Bench.num(rate[s][1]), Bench.num(rate[s][2]), Bench.ratio(rate[s][1], rate[s][0]),
                        Bench.ratio(rate[s][2], rate[s][1]));
            }
            System.err.printf("  measured threads, %s%n", names[op]);
        }
    }
}
