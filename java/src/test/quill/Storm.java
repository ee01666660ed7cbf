package quill;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.*;
import java.util.function.Supplier;

import ru.Kestrel.Quill.KeyStore.MSStore;
import ru.Kestrel.Quill.KeyStore.PFXStore;
import ru.Kestrel.Quill.KeyStore.StoreCallbacks;
import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * A call storm: every native of CAPI, MSStore and PFXStore called N times
 * in one JVM with arguments drawn from a seeded generator, most from the
 * corners (live, released, forged and zero handles of every kind, null,
 * empty and huge arrays, offsets and lengths out of range, broken strings,
 * store callbacks that throw). What it holds the natives to: nothing thrown
 * out of a call, no success on a handle that is not live, every handle
 * given back at the end, and (full runs) no resident-memory growth between
 * a tenth of the run and its end.
 *
 * Usage: Storm CALLS [SEED]; -Dquill.pki names the test PKI (leaf.der,
 * leaf.p12 with password "secret"). Exit status 1 on any finding.
 */
public final class Storm {
    static { System.loadLibrary("quill_handlecount"); }
    /** Live handles in the platform's handle table. */
    static native long handleCount();

    static final int CTX = 0, KEY = 1, HASH = 2, STORE = 3, CRED = 4, SCTX = 5;
    static final String[] KIND = {"context", "key", "hash", "store", "credential", "security context"};
    static final int VERIFY = 0xF0000000, NO_PERSIST = 0x8000;
    static final int[] PROV_TYPES = {24, 1, 80, 81, 0, -1, 12345};
    static final int[] ALGS = {0x660e, 0x660f, 0x6610, 0x6603, 0x6602, 0x6801, 0x800c, 0x8004, 0x8003, 0x800e,
        0x8009, 0x8021, 0x8022, 0x6631, 0x2400, 0xa400, 1, 2, 0, -1, 0x7fffffff};

    final Random rnd;
    final long seed;
    long call;
    final List<String> findings = new ArrayList<>();
    final Map<String, Long> succeeded = new TreeMap<>();
    /** Live handles by kind, with the references each holds (contexts can have several). */
    final List<Map<Long, Integer>> live = new ArrayList<>();
    final List<ArrayDeque<Long>> dead = new ArrayList<>();
    final List<List<long[]>> livePairs = new ArrayList<>(), deadPairs = new ArrayList<>();
    final Set<Long> pinned = new HashSet<>();
    /** Contexts and keys given to a certificate or credential, which may keep a reference of its own. */
    final Set<Long> shared = new HashSet<>(), held = new HashSet<>();
    final Map<Long, Long> owner = new HashMap<>();
    final List<byte[]> blobs = new ArrayList<>();
    final byte[] cert, pfx;
    final String[] strings;
    boolean bad;  // the last handle drawn is not a live one of its kind

    Storm(long seed, byte[] cert, byte[] pfx) {
        this.seed = seed;
        this.rnd = new Random(seed);
        this.cert = cert;
        this.pfx = pfx;
        for (int i = 0; i < 6; i++) {
            live.add(new LinkedHashMap<>());
            dead.add(new ArrayDeque<>());
            livePairs.add(new ArrayList<>());
            deadPairs.add(new ArrayList<>());
        }
        char[] big = new char[100_000];
        Arrays.fill(big, 'z');
        strings = new String[] {null, "", "storm-0", "storm-1", "\uD800", "a\uDC00b", "x\0y", new String(big),
            "\u0416\u0438\u0432\u043e\u0439", "secret", "MY", "ROOT", "STORM", "localhost"};
    }

    // ---- drawing -------------------------------------------------------------

    int pick(int n) { return rnd.nextInt(n); }
    boolean coin() { return rnd.nextBoolean(); }
    <T> T any(List<T> l) { return l.get(pick(l.size())); }

    /** A handle of KIND: mostly live, else released, forged, another kind's or zero. */
    long handle(int kind) {
        List<Long> l = new ArrayList<>(live.get(kind).keySet());
        int r = pick(100);
        long h;
        if (r < 55 && !l.isEmpty()) h = any(l);
        else if (r < 70 && !dead.get(kind).isEmpty()) h = any(new ArrayList<>(dead.get(kind)));
        else if (r < 80) {
            int other = pick(4);
            List<Long> o = new ArrayList<>(live.get(other).keySet());
            h = o.isEmpty() ? 0 : any(o);
        } else if (r < 92) h = forged(l);
        else h = 0;
        bad = !live.get(kind).containsKey(norm(h));
        return h;
    }

    /** What the bridge reads of a handle: in a 32-bit build its low 32 bits only. */
    static final boolean NARROW = CAPI.getSizeOfHandle() == 4;
    static long norm(long h) { return NARROW ? h & 0xFFFFFFFFL : h; }

    long forged(List<Long> l) {
        long base = l.isEmpty() ? 1 + pick(1 << 20) : any(l);
        switch (pick(6)) {
            case 0: return rnd.nextLong();
            case 1: return base ^ (1L << (20 + pick(11)));  // another generation
            case 2: return base & ((1 << 20) - 1);           // generation zero
            case 3: return -1;
            case 4: return Long.MIN_VALUE | base;
            default: return (base & ~((1L << 20) - 1)) | ((1 << 20) - 1);  // an index never handed out
        }
    }

    /** A credential or context pair: live, deleted, forged or the empty pair. */
    long[] pair(int kind) {
        int r = pick(100);
        long[] p;
        List<long[]> l = livePairs.get(kind);
        if (r < 55 && !l.isEmpty()) p = any(l).clone();
        else if (r < 70 && !deadPairs.get(kind).isEmpty()) p = any(deadPairs.get(kind)).clone();
        else if (r < 85) p = new long[] {rnd.nextLong(), forged(new ArrayList<>(live.get(CTX).keySet()))};
        else if (r < 92) p = new long[2];
        else p = new long[pick(2)];  // too short to hold a pair
        bad = true;
        for (long[] q : l) if (p.length == 2 && norm(p[0]) == norm(q[0]) && norm(p[1]) == norm(q[1])) bad = false;
        return p;
    }

    byte[] bytes() {
        switch (pick(9)) {
            case 0: return null;
            case 1: return new byte[0];
            case 2: return new byte[1];
            case 3: return new byte[1 << (16 + pick(5))];  // huge: up to 1 MiB
            case 4: return cert.clone();
            case 5: return Arrays.copyOf(cert, pick(cert.length));
            case 6: if (!blobs.isEmpty()) return any(blobs).clone();
            // fall through
            default: byte[] b = new byte[pick(300)]; rnd.nextBytes(b); return b;
        }
    }

    /** A length for ARRAY: its own, zero, one beyond, negative or near 2^31. */
    int len(byte[] array) {
        int n = array == null ? 0 : array.length;
        switch (pick(8)) {
            case 0: return 0;
            case 1: return n + 1;
            case 2: return -1 - pick(8);
            case 3: return Integer.MAX_VALUE - pick(4);
            case 4: return Integer.MIN_VALUE;
            case 5: return n > 0 ? pick(n) : 0;
            default: return n;
        }
    }

    int[] ints(int value) {
        switch (pick(8)) {
            case 0: return null;
            case 1: return new int[0];
            case 2: return new int[] {value, 7};
            default: return new int[] {value};
        }
    }

    long[] out() { return pick(10) == 0 ? (coin() ? null : new long[0]) : new long[1]; }
    String str() { return strings[pick(strings.length)]; }
    int alg() { return pick(10) == 0 ? rnd.nextInt() : ALGS[pick(ALGS.length)]; }
    int flags() { return pick(3) == 0 ? rnd.nextInt() : pick(3) == 0 ? 1 << pick(32) : 0; }
    int param() { return pick(4) == 0 ? rnd.nextInt() : pick(140); }

    // ---- bookkeeping ---------------------------------------------------------

    void made(int kind, int rc, long[] h) {
        if (rc == 0 && h != null && h.length > 0 && h[0] != 0) live.get(kind).merge(h[0] = norm(h[0]), 1, Integer::sum);
    }

    /**
     * A key made from context CTX. A context can be held by its keys
     * (PP_CONTEXT_HELD_BY_KEYS): its handle dies with its last key.
     */
    void madeKey(int rc, long[] k, long ctx) {
        made(KEY, rc, k);
        if (rc == 0 && k != null && k.length > 0 && k[0] != 0) owner.put(k[0], norm(ctx));
    }

    /** A release of H returned RC; the handle dies with its last reference. */
    void released(int kind, long h, int rc) {
        h = norm(h);
        if (rc != 0 || !live.get(kind).containsKey(h)) return;
        if (live.get(kind).merge(h, -1, Integer::sum) == 0) {
            live.get(kind).remove(h);
            Long ctx = kind == KEY ? owner.remove(h) : null;
            if (ctx != null && held.contains(ctx) && !owner.containsValue(ctx)) {
                held.remove(ctx);
                dead.get(CTX).addFirst(ctx);
            }
            if (shared.remove(h)) return;
            if (kind == CTX && owner.containsValue(h)) { held.add(h); return; }
            dead.get(kind).addFirst(h);
            if (dead.get(kind).size() > 64) dead.get(kind).removeLast();
        }
    }

    /** A handle to release: never a pinned one (its last reference is the storm's own). */
    long victim(int kind) {
        long h = handle(kind);
        Integer refs = live.get(kind).get(norm(h));
        return pinned.contains(norm(h)) && refs != null && refs == 1 ? 0 : h;
    }

    void madePair(int kind, int rc, long[] p) {
        if (rc == 0 && p != null && p.length == 2 && (p[0] != 0 || p[1] != 0)) livePairs.get(kind).add(p.clone());
    }

    void releasedPair(int kind, long[] p) {
        if (bad) return;
        livePairs.get(kind).removeIf(q -> norm(q[0]) == norm(p[0]) && norm(q[1]) == norm(p[1]));
        deadPairs.get(kind).add(p.clone());
        if (deadPairs.get(kind).size() > 64) deadPairs.get(kind).remove(0);
    }

    void keep(byte[] data, int[] n) {
        if (data != null && n != null && n.length > 0 && n[0] > 0 && n[0] <= data.length && blobs.size() < 64)
            blobs.add(Arrays.copyOf(data, n[0]));
    }

    /** Key entries a store walk handed over: their handles are the storm's now. */
    void harvest(StoreCallbacks s) {
        for (StoreCallbacks.Entry e : s.entries) {
            if (!e.hasKey) continue;
            madeKey(0, new long[] {e.hKey}, e.hProv);
            made(CTX, 0, new long[] {e.hProv});
        }
        s.entries.clear();
    }

    long share(long h) {
        shared.add(norm(h));
        return h;
    }

    // ---- established TLS contexts ----------------------------------------------

    /** An established context and what its server sent after the handshake, taken from `at` on. */
    static final class Session {
        final long[] pair;
        final byte[] stream;
        int at;
        Session(long[] pair, byte[] stream) { this.pair = pair; this.stream = stream; }
    }

    final Map<Long, Session> sessions = new HashMap<>();
    final long[][] tlsCreds = new long[2][];  // the package's defaults, TLS 1.2 only
    Tls.Server server;
    static final byte[] GET = "GET /page HTTP/1.0\r\n\r\n".getBytes(java.nio.charset.StandardCharsets.US_ASCII);

    /**
     * Keeps three established contexts among the live ones (topped up every
     * 1024 calls), each a handshake
     * with the local server followed by a request whose reply is kept unread.
     */
    void connect() throws Exception {
        sessions.values().removeIf(t -> livePairs.get(SCTX).stream().noneMatch(q -> q == t.pair));
        if (server == null || sessions.size() >= 3 || call % 1024 >= 64) return;  // a handshake is slow
        Tls.Client c = new Tls.Client(tlsCreds[pick(2)], "localhost", server.port);
        if (c.handshake() != 0) {
            finding("handshake", "status 0x" + Long.toHexString(c.status));
            c.close();
            return;
        }
        c.send(GET);
        // The page's records (s_server keeps the connection until our close-notify).
        c.socket.setSoTimeout(5000);
        while (c.len[0] < 20040 && c.receive()) {}
        c.socket.close();
        long[] p = c.context.clone();
        livePairs.get(SCTX).add(p);
        sessions.put(norm(p[0]), new Session(p, Arrays.copyOf(c.buf, c.len[0])));
    }

    /** Input for a live context: the rest of its server's records, maybe damaged, else random bytes. */
    byte[] records(long[] p, boolean[] intact) {
        Session t = bad || p.length != 2 ? null : sessions.get(norm(p[0]));
        if (t == null || pick(3) == 0) return bytes();
        byte[] d = Arrays.copyOfRange(t.stream, t.at, t.stream.length);
        intact[0] = pick(4) != 0 || d.length == 0;
        if (!intact[0] && coin()) d[pick(d.length)] ^= (byte) (1 << pick(8));
        else if (!intact[0]) d = Arrays.copyOf(d, pick(d.length));
        return d;
    }

    /** A record of the server's taken intact: the next input starts behind it. */
    void took(long[] p, byte[] d, int[] n, long rc) {
        Session t = sessions.get(norm(p[0]));
        if (t != null && n.length == 1 && (rc == 0 || rc == Tls.SEC_I_RENEGOTIATE)) t.at += d.length - n[0];
    }

    /** A success (0) on a handle that is not live is a finding. */
    void refuse(String name, boolean wasBad, long rc) {
        if (rc == 0) succeeded.merge(name, 1L, Long::sum);
        if (wasBad && rc == 0) finding(name, "succeeded on a handle that is not live");
    }

    void finding(String name, String what) {
        String f = name + ": " + what + " (seed " + seed + ", call " + call + ")";
        if (findings.size() < 200) findings.add(f);
        System.out.println("FINDING " + f);
    }

    // ---- store callbacks that misbehave ----------------------------------------

    /** 0 behaves, 1 parses no certificate, 2 throws while parsing, 3 throws from the entry callbacks. */
    static int mischief;

    static RuntimeException boom() { return new IllegalStateException("storm callback"); }

    static final class HostileMS extends MSStore {
        @Override public java.security.cert.X509Certificate generateCertificate(byte[] der) {
            if (mischief == 1) return null;
            if (mischief == 2) throw boom();
            return super.generateCertificate(der);
        }
        @Override public void generateCertificateChain(String c, String s, String u, String p, String a, int t,
                int k, Collection chain) {
            super.generateCertificateChain(c, s, u, p, a, t, k, chain);
            if (mischief == 3) throw boom();
        }
        @Override public void generateKeyAndCertificateChain(String c, String s, String u, String p, String a,
                int t, int k, long hProv, long hKey, int kf, int ku, Collection chain,
                ru.Kestrel.Quill.CStructReader.ContainerExtensionStructure x) {
            super.generateKeyAndCertificateChain(c, s, u, p, a, t, k, hProv, hKey, kf, ku, chain, x);
            if (mischief == 3) throw boom();
        }
    }

    static final class HostilePFX extends PFXStore {
        @Override public java.security.cert.X509Certificate generateCertificate(byte[] der) {
            if (mischief == 1) return null;
            if (mischief == 2) throw boom();
            return super.generateCertificate(der);
        }
        @Override public void generateCertificates(byte[] der, Collection certs) {
            if (mischief == 3) throw boom();
            super.generateCertificates(der, certs);
        }
        @Override public void generateKeyAndCertificateChain(String c, String s, String u, String p, String a,
                int t, int k, long hProv, long hKey, int kf, int ku, Collection chain,
                ru.Kestrel.Quill.CStructReader.ContainerExtensionStructure x) {
            super.generateKeyAndCertificateChain(c, s, u, p, a, t, k, hProv, hKey, kf, ku, chain, x);
            if (mischief == 3) throw boom();
        }
    }

    final HostileMS ms = new HostileMS();
    final HostilePFX px = new HostilePFX();

    byte[] pfxBytes() {
        switch (pick(4)) {
            case 0: return pfx.clone();
            case 1: return Arrays.copyOf(pfx, pick(pfx.length));
            case 2: byte[] b = pfx.clone(); b[pick(b.length)] ^= (byte) (1 << pick(8)); return b;
            default: return bytes();
        }
    }

    int pfxFlags() { return pick(4) == 0 ? flags() : NO_PERSIST | pick(2); }

    // ---- the table: one generator per native ---------------------------------

    interface Gen { void run() throws Throwable; }
    final Map<String, Gen> table = new LinkedHashMap<>();

    void put(String name, Gen g) { table.put(name, g); }

    void fill() {
        put("getSizeOfHandle", () -> { int n = CAPI.getSizeOfHandle(); if (n != 4 && n != 8) finding("getSizeOfHandle", "size " + n); });
        put("cryptAcquireContext", () -> {
            long[] h = out();
            int flags = pick(3) == 0 ? flags() : VERIFY;
            int rc = CAPI.cryptAcquireContext(h, pick(3) == 0 ? str() : null, pick(5) == 0 ? str() : null,
                    PROV_TYPES[pick(PROV_TYPES.length)], flags);
            made(CTX, rc, h);
        });
        put("cryptReleaseContext", () -> { long h = victim(CTX); boolean b = bad; int f = pick(5) == 0 ? flags() : 0;
            int rc = CAPI.cryptReleaseContext(h, f); refuse("cryptReleaseContext", b, rc); released(CTX, h, rc); });
        put("cryptContextAddRef", () -> { long h = handle(CTX); boolean b = bad;
            int rc = CAPI.cryptContextAddRef(h, pick(5) == 0 ? flags() : 0); refuse("cryptContextAddRef", b, rc);
            if (rc == 0 && !b) live.get(CTX).merge(norm(h), 1, Integer::sum); });
        put("cryptGetProvParam", () -> { long h = handle(CTX); boolean b = bad; byte[] d = bytes();
            int[] n = ints(len(d)); int rc = CAPI.cryptGetProvParam(h, param(), d, n, pick(3) == 0 ? flags() : pick(2));
            refuse("cryptGetProvParam", b, rc); });
        put("cryptSetProvParam", () -> { long h = handle(CTX); boolean b = bad;
            int p = pick(2) == 0 ? param() : 100;  // never a PIN: it would stick to the container
            if (p == 32 || p == 33) p = 100;
            int rc = CAPI.cryptSetProvParam(h, p, bytes(), flags()); refuse("cryptSetProvParam", b, rc); });
        put("cryptEnumProviders", () -> { byte[] d = bytes();
            CAPI.cryptEnumProviders(pick(4) == 0 ? rnd.nextInt() : pick(6), flags(), ints(0), d, ints(len(d))); });
        put("setCertExtension", () -> { long h = handle(CTX); boolean b = bad; byte[] v = bytes();
            int rc = CAPI.setCertExtension(h, pick(2) == 0 ? str() : "1.2.3.4", coin(), v, len(v), flags());
            refuse("setCertExtension", b, rc); });
        put("getStrengthenedKeyUsageControl", CAPI::getStrengthenedKeyUsageControl);
        put("changePin", () -> { long h = handle(CTX); boolean b = bad;
            // Only refused shapes: a PIN that took would lock the storm's own container.
            int rc = CAPI.changePin(h, pick(2) == 0 ? 100 : param() | 0x10000, (byte) pick(256), bytes(), flags());
            refuse("changePin", b, rc); });
        put("cryptGenRandom", () -> { long h = handle(CTX); boolean b = bad; byte[] d = bytes();
            int rc = CAPI.cryptGenRandom(h, len(d), d); refuse("cryptGenRandom", b, rc); });
        put("cryptGenKey", () -> { long h = handle(CTX); boolean b = bad; long[] k = out();
            int a = alg(), f = pick(3) == 0 ? flags() & 0xFFFF : 1;
            if (a == 0x2400 || a == 0xa400 || a == 1 || a == 2 || a == 0x2e49 || a == 0x2e3d) f |= 512 << 16;
            else if (pick(3) == 0) f |= (pick(4) * 64) << 16;
            int rc = CAPI.cryptGenKey(h, a, f, k); refuse("cryptGenKey", b, rc); madeKey(rc, k, h); });
        put("cryptGetUserKey", () -> { long h = handle(CTX); boolean b = bad; long[] k = out();
            int rc = CAPI.cryptGetUserKey(h, pick(4) == 0 ? rnd.nextInt() : 1 + pick(2), k);
            refuse("cryptGetUserKey", b, rc); madeKey(rc, k, h); });
        put("cryptDuplicateKey", () -> { long h = handle(KEY); boolean b = bad; long[] k = out();
            int rc = CAPI.cryptDuplicateKey(h, ints(0), pick(3) == 0 ? flags() : 0, k);
            refuse("cryptDuplicateKey", b, rc); madeKey(rc, k, owner.getOrDefault(norm(h), 0L)); });
        put("cryptDeriveKey", () -> { long h = handle(CTX); boolean b = bad; long base = handle(HASH); b |= bad;
            long[] k = out(); int rc = CAPI.cryptDeriveKey(h, alg(), base, pick(3) == 0 ? flags() : 1, k);
            refuse("cryptDeriveKey", b, rc); madeKey(rc, k, h); });
        put("cryptDestroyKey", () -> { long h = victim(KEY); boolean b = bad; int rc = CAPI.cryptDestroyKey(h);
            refuse("cryptDestroyKey", b, rc); released(KEY, h, rc); });
        put("cryptGetKeyParam", () -> { long h = handle(KEY); boolean b = bad; byte[] d = bytes(); int[] n = ints(len(d));
            int rc = CAPI.cryptGetKeyParam(h, param(), d, n, pick(4) == 0 ? flags() : 0);
            refuse("cryptGetKeyParam", b, rc); keep(d, n); });
        put("cryptSetKeyParam", () -> { long h = handle(KEY); boolean b = bad;
            int rc = CAPI.cryptSetKeyParam(h, param(), bytes(), pick(4) == 0 ? flags() : 0); refuse("cryptSetKeyParam", b, rc); });
        put("cryptExportKey", () -> { long h = handle(KEY); boolean b = bad; long x = pick(3) == 0 ? handle(KEY) : 0;
            byte[] d = bytes(); int[] n = ints(len(d));
            int rc = CAPI.cryptExportKey(h, x, pick(4) == 0 ? rnd.nextInt() : 1 + pick(8), pick(4) == 0 ? flags() : 0, d, n, coin());
            refuse("cryptExportKey", b, rc); keep(d, n); });
        put("cryptImportKey", () -> { long h = handle(CTX); boolean b = bad; byte[] d = bytes();
            long x = pick(3) == 0 ? handle(KEY) : 0; long[] k = out();
            int rc = CAPI.cryptImportKey(h, d, len(d), x, pick(4) == 0 ? flags() : 1, k, coin());
            refuse("cryptImportKey", b, rc); madeKey(rc, k, h); });
        put("cryptCreateHash", () -> { long h = handle(CTX); boolean b = bad; long k = pick(3) == 0 ? handle(KEY) : 0;
            long[] o = out(); int rc = CAPI.cryptCreateHash(h, alg(), k, pick(4) == 0 ? flags() : 0, o);
            refuse("cryptCreateHash", b, rc); made(HASH, rc, o); });
        put("cryptHashData", () -> { long h = handle(HASH); boolean b = bad; byte[] d = bytes();
            int off = pick(3) == 0 ? len(d) : 0; int n = len(d);
            int rc = CAPI.cryptHashData(h, d, off, n, pick(4) == 0 ? flags() : 0); refuse("cryptHashData", b, rc); });
        put("cryptGetHashParam", () -> { long h = handle(HASH); boolean b = bad; byte[] d = bytes(); int[] n = ints(len(d));
            int rc = CAPI.cryptGetHashParam(h, param() % 8, d, n, pick(4) == 0 ? flags() : 0);
            refuse("cryptGetHashParam", b, rc); keep(d, n); });
        put("cryptSetHashParam", () -> { long h = handle(HASH); boolean b = bad;
            int rc = CAPI.cryptSetHashParam(h, param() % 8, bytes(), pick(4) == 0 ? flags() : 0); refuse("cryptSetHashParam", b, rc); });
        put("cryptDuplicateHash", () -> { long h = handle(HASH); boolean b = bad; long[] o = out();
            int rc = CAPI.cryptDuplicateHash(h, ints(0), pick(4) == 0 ? flags() : 0, o);
            refuse("cryptDuplicateHash", b, rc); made(HASH, rc, o); });
        put("cryptDestroyHash", () -> { long h = victim(HASH); boolean b = bad; int rc = CAPI.cryptDestroyHash(h);
            refuse("cryptDestroyHash", b, rc); released(HASH, h, rc); });
        put("cryptHashSessionKey", () -> { long h = handle(HASH); boolean b = bad; long k = handle(KEY); b |= bad;
            int rc = CAPI.cryptHashSessionKey(h, k, pick(4) == 0 ? flags() : 0); refuse("cryptHashSessionKey", b, rc); });
        put("cryptEncrypt", () -> { long k = handle(KEY); boolean b = bad; long h = pick(4) == 0 ? handle(HASH) : 0;
            byte[] d = bytes(); int[] n = ints(len(d));
            int rc = CAPI.cryptEncrypt(k, h, coin(), pick(4) == 0 ? flags() : 0, d, n, len(d)); refuse("cryptEncrypt", b, rc); });
        put("cryptDecrypt", () -> { long k = handle(KEY); boolean b = bad; long h = pick(4) == 0 ? handle(HASH) : 0;
            byte[] d = bytes(); int rc = CAPI.cryptDecrypt(k, h, coin(), pick(4) == 0 ? flags() : 0, d, ints(len(d)));
            refuse("cryptDecrypt", b, rc); });
        put("cryptSignHash", () -> { long h = handle(HASH); boolean b = bad; byte[] d = bytes(); int[] n = ints(len(d));
            int rc = CAPI.cryptSignHash(h, pick(4) == 0 ? rnd.nextInt() : 1 + pick(2), str(), pick(4) == 0 ? flags() : 0, d, n);
            refuse("cryptSignHash", b, rc); keep(d, n); });
        put("cryptVerifySignature", () -> { long h = handle(HASH); boolean b = bad; byte[] d = bytes(); long k = handle(KEY);
            b |= bad; int rc = CAPI.cryptVerifySignature(h, d, len(d), k, str(), pick(4) == 0 ? flags() : 0);
            refuse("cryptVerifySignature", b, rc); });
        put("acquireCredentialsHandle", () -> { long[] p = pick(10) == 0 ? new long[pick(2)] : new long[2];
            int[] ciphers = pick(3) == 0 ? null : new int[pick(3) == 0 ? 60 : pick(4)];
            if (ciphers != null) for (int i = 0; i < ciphers.length; i++) ciphers[i] = pick(2) == 0 ? rnd.nextInt() : pick(40);
            byte[] c = pick(2) == 0 ? null : bytes(); int cl = c == null ? 0 : len(c);
            boolean client = pick(4) != 0;
            int rc = CAPI.acquireCredentialsHandle(client, pick(3) == 0 ? rnd.nextInt() : 0, ciphers,
                    ciphers == null ? 0 : pick(4) == 0 ? rnd.nextInt() : ciphers.length, c, cl,
                    c == null ? 0 : share(handle(CTX)), 1 + pick(2), p, coin());
            if (client) madePair(CRED, rc, p); else if (rc == 0 && p.length == 2) CAPI.freeCredentialsHandle(p); });
        put("freeCredentialsHandle", () -> { long[] p = pair(CRED); CAPI.freeCredentialsHandle(p); releasedPair(CRED, p); });
        put("initializeSecurityContext", () -> { long[] cred = pair(CRED); boolean bc = bad;
            long[] ctx = pick(3) == 0 ? new long[2] : pair(SCTX); boolean bx = bad && (ctx.length != 2 || ctx[0] != 0 || ctx[1] != 0);
            boolean fresh = !bx && ctx.length == 2 && ctx[0] == 0 && ctx[1] == 0;
            byte[] in = pick(3) == 0 ? null : bytes(); long[] res = pick(20) == 0 ? new long[0] : new long[] {0x7777};
            CAPI.initializeSecurityContext(cred, ctx, str(), pick(10) == 0, coin(), in, ints(len(in)), res);
            if (res.length == 0) return;
            if (bx || (fresh && bc)) refuse("initializeSecurityContext", true, res[0]);
            if (fresh && (res[0] == 0 || res[0] == 0x00090312)) madePair(SCTX, 0, ctx); });
        put("deleteSecurityContext", () -> { long[] p = pair(SCTX); CAPI.deleteSecurityContext(p); releasedPair(SCTX, p); });
        put("encryptMessage", () -> { long[] p = pair(SCTX); boolean b = bad; byte[] d = bytes();
            long[] res = {0x7777}; CAPI.encryptMessage(p, d, ints(pick(2) == 0 ? 0 : len(d)), ints(len(d)), res);
            refuse("encryptMessage", b, res[0]); });
        put("decryptMessage", () -> { long[] p = pair(SCTX); boolean b = bad; boolean[] intact = {false};
            byte[] d = records(p, intact); int[] n = intact[0] ? new int[] {d.length} : ints(len(d));
            long[] res = {0x7777}; byte[] plain = CAPI.decryptMessage(p, d, n, res);
            if (intact[0]) took(p, d, n, res[0]);
            refuse("decryptMessage", b, res[0] == 0x7777 && plain == null ? 0x7777 : res[0]); });
        put("getRemoteCertificates", () -> { long[] p = pair(SCTX); boolean b = bad; long[] res = {0x7777};
            CAPI.getRemoteCertificates(p, res); refuse("getRemoteCertificates", b, res[0]); });
        put("getIssuers", () -> { long[] p = pair(SCTX); boolean b = bad; long[] res = {0x7777};
            CAPI.getIssuers(p, res); refuse("getIssuers", b, res[0]); });
        put("getCipherInfo", () -> { long[] p = pair(SCTX); boolean b = bad;
            refuse("getCipherInfo", b, CAPI.getCipherInfo(p, ints(0), ints(0))); });
        put("getSessionInfo", () -> { long[] p = pair(SCTX); boolean b = bad; long[] res = {0x7777};
            CAPI.getSessionInfo(p, ints(0), res); refuse("getSessionInfo", b, res[0]); });
        put("readStore", () -> { mischief = pick(4); ms.readStore(pick(2) == 0 ? "STORM" : str(), pick(8) == 0); harvest(ms); });
        put("storeCertificate", () -> { byte[] c = pick(2) == 0 ? cert.clone() : bytes();
            long prov = pick(3) == 0 ? share(handle(CTX)) : 0, key = pick(3) == 0 ? share(handle(KEY)) : 0;
            ms.storeCertificate(pick(2) == 0 ? "STORM" : str(), "a" + pick(3), c, len(c), prov, key, flags()); });
        put("storeCertificateByHandle", () -> { long s = handle(STORE); boolean b = bad; byte[] c = pick(2) == 0 ? cert.clone() : bytes();
            int rc = ms.storeCertificateByHandle(s, pick(2) == 0 ? str() : "a" + pick(3), c, len(c),
                    pick(3) == 0 ? share(handle(CTX)) : 0, pick(3) == 0 ? share(handle(KEY)) : 0, flags());
            refuse("storeCertificateByHandle", b, rc); });
        put("removeCertificate", () -> { byte[] c = pick(2) == 0 ? cert.clone() : bytes();
            ms.removeCertificate(pick(2) == 0 ? "STORM" : str(), pick(2) == 0 ? str() : "a" + pick(3), c, len(c)); });
        put("verifyPfx", () -> { byte[] d = pfxBytes(); px.verifyPfx(d, len(d), pick(2) == 0 ? "secret" : str(), pfxFlags()); });
        put("importPfx", () -> { mischief = pick(4); byte[] d = pfxBytes();
            px.importPfx(d, len(d), pick(2) == 0 ? "secret" : str(), pfxFlags()); harvest(px); });
        put("exportPfx", () -> { long s = handle(STORE); boolean b = bad; byte[] d = bytes(); int[] n = ints(len(d));
            int rc = px.exportPfx(s, pick(2) == 0 ? "secret" : str(), pick(3) == 0 ? flags() : 0, d, n); refuse("exportPfx", b, rc); });
        put("createMemoryStore", () -> { long[] s = out(); int rc = px.createMemoryStore(s, pick(3) == 0 ? flags() : 0); made(STORE, rc, s); });
        put("closeMemoryStore", () -> { long s = victim(STORE); boolean b = bad; int rc = px.closeMemoryStore(s);
            refuse("closeMemoryStore", b && s != 0, rc); released(STORE, s, rc); });
    }

    // ---- the run -------------------------------------------------------------

    /** Caps every pool so that a long run keeps a bounded set of live objects. */
    void trim() {
        try {
            connect();
        } catch (Throwable t) {
            finding("connect", "threw " + t);
        }
        trim(KEY, h -> CAPI.cryptDestroyKey(h));
        trim(HASH, h -> CAPI.cryptDestroyHash(h));
        trim(STORE, h -> px.closeMemoryStore(h));
        trim(CTX, h -> CAPI.cryptReleaseContext(h, 0));
        for (int kind : new int[] {SCTX, CRED}) {
            while (livePairs.get(kind).size() > 16) {
                long[] p = livePairs.get(kind).remove(0);
                if (kind == SCTX) CAPI.deleteSecurityContext(p); else CAPI.freeCredentialsHandle(p);
                deadPairs.get(kind).add(p);
            }
        }
    }

    void trim(int kind, java.util.function.LongToIntFunction release) {
        Map<Long, Integer> m = live.get(kind);
        while (m.size() > (kind == CTX ? 24 : 48)) {
            long h = m.keySet().stream().filter(x -> !pinned.contains(x)).findFirst().orElse(0L);
            if (h == 0) return;
            int rc = release.applyAsInt(h);
            if (rc != 0) { finding("release of a live " + KIND[kind], "code " + rc); m.remove(h); }
            else released(kind, h, rc);
        }
    }

    void releaseAll() {
        pinned.clear();
        for (int kind : new int[] {KEY, HASH, STORE, CTX}) {
            Map<Long, Integer> m = live.get(kind);
            for (Map.Entry<Long, Integer> e : new ArrayList<>(m.entrySet())) {
                for (int i = 0; i < e.getValue(); i++) {
                    long h = e.getKey();
                    int rc = kind == KEY ? CAPI.cryptDestroyKey(h) : kind == HASH ? CAPI.cryptDestroyHash(h)
                            : kind == STORE ? px.closeMemoryStore(h) : CAPI.cryptReleaseContext(h, 0);
                    if (rc != 0) finding("release of a live " + KIND[kind], "code " + rc);
                }
            }
            m.clear();
        }
        for (long[] p : livePairs.get(SCTX)) CAPI.deleteSecurityContext(p);
        for (long[] p : livePairs.get(CRED)) CAPI.freeCredentialsHandle(p);
        for (long[] p : tlsCreds) if (p != null) CAPI.freeCredentialsHandle(p);
        livePairs.get(SCTX).clear();
        livePairs.get(CRED).clear();
    }

    /** The storm's own objects to start from: contexts, a signing container, keys, a store, a credential. */
    void seedObjects() {
        for (int type : new int[] {24, 80}) {
            long[] h = new long[1];
            made(CTX, CAPI.cryptAcquireContext(h, null, null, type, VERIFY), h);
        }
        String name = "storm-sig";
        CAPI.cryptAcquireContext(new long[1], name, null, 24, 0x10);
        long[] c = new long[1];
        int rc = CAPI.cryptAcquireContext(c, name, null, 24, 0x8);
        if (rc != 0) throw new IllegalStateException("signing container: 0x" + Integer.toHexString(rc));
        made(CTX, rc, c);
        pinned.add(c[0]);
        long[] k = new long[1];
        madeKey(CAPI.cryptGenKey(c[0], 2, (1024 << 16) | 1, k), k, c[0]);
        madeKey(CAPI.cryptGenKey(c[0], 1, (1024 << 16) | 1, k = new long[1]), k, c[0]);
        long[] s = new long[1];
        made(STORE, px.createMemoryStore(s, 0), s);
        long[] cred = new long[2];
        madePair(CRED, CAPI.acquireCredentialsHandle(true, 0, null, 0, null, 0, 0, 0, cred, false), cred);
        tlsCreds[0] = Tls.credential(0, null, false);
        tlsCreds[1] = Tls.credential(Tls.SP_PROT_TLS1_2_CLIENT, null, false);
    }

    /** An `openssl s_server` with the test PKI's leaf, serving a 20 KB page. */
    void startServer(Path pki) throws Exception {
        Path d = Files.createDirectories(Path.of(System.getenv().getOrDefault("QUILL_CSP_ROOT", ".")).resolve("tls"));
        Files.copy(pki.resolve("leaf.pem"), d.resolve("server.pem"), java.nio.file.StandardCopyOption.REPLACE_EXISTING);
        Files.copy(pki.resolve("leaf.key"), d.resolve("server.key"), java.nio.file.StandardCopyOption.REPLACE_EXISTING);
        Files.copy(pki.resolve("ca.pem"), d.resolve("ca.pem"), java.nio.file.StandardCopyOption.REPLACE_EXISTING);
        byte[] page = new byte[20000];
        rnd.nextBytes(page);
        Files.write(d.resolve("page"), page);
        server = Tls.Server.start(d, "-WWW");
        for (int i = 0; i < 3; i++) connect();
    }

    static long rss() throws Exception {
        for (String line : Files.readAllLines(Path.of("/proc/self/status")))
            if (line.startsWith("VmRSS:")) return Long.parseLong(line.replaceAll("[^0-9]", ""));
        return -1;
    }

    public static void main(String[] args) throws Exception {
        long n = args.length > 0 ? Long.parseLong(args[0]) : 10_000;
        long seed = args.length > 1 ? Long.parseLong(args[1]) : new Random().nextLong();
        Path pki = Path.of(System.getProperty("quill.pki", "."));
        System.out.println("storm: " + n + " calls, seed " + seed + " (replay: Storm " + n + " " + seed + ")");
        long before = handleCount();
        Storm s = new Storm(seed, Files.readAllBytes(pki.resolve("leaf.der")), Files.readAllBytes(pki.resolve("leaf.p12")));
        s.fill();
        s.seedObjects();
        s.startServer(pki);
        List<String> names = new ArrayList<>(s.table.keySet());
        Map<String, Long> counts = new TreeMap<>();
        long rssTenth = 0, t0 = System.nanoTime();
        for (s.call = 0; s.call < n; s.call++) {
            String name = names.get(s.pick(names.size()));
            counts.merge(name, 1L, Long::sum);
            try {
                s.table.get(name).run();
            } catch (Throwable t) {
                s.finding(name, "threw " + t);
            }
            if (s.call % 64 == 63) s.trim();
            if (s.call + 1 == n / 10) { System.gc(); rssTenth = rss(); }
        }
        double secs = (System.nanoTime() - t0) / 1e9;
        System.gc();
        long rssEnd = rss();
        long during = handleCount();
        s.releaseAll();
        CAPI.cryptAcquireContext(new long[1], "storm-sig", null, 24, 0x10);
        s.server.close();
        long after = handleCount();
        System.out.printf("storm: %d calls in %.1f s, %.0f calls/s; %d natives%n", n, secs, n / secs, counts.size());
        System.out.printf("storm: VmRSS %d kB after %d calls, %d kB after %d%n", rssTenth, n / 10, rssEnd, n);
        System.out.println("storm: successes " + s.succeeded);
        System.out.println("storm: live handles " + before + " before, " + during + " at the end, " + after + " after release");
        if (counts.size() != s.table.size()) s.finding("storm", "only " + counts.size() + " natives called");
        if (after != before) s.finding("handle table", (after - before) + " handles left after everything was released");
        if (n >= 1_000_000 && rssEnd > rssTenth * 1.1) s.finding("memory", "VmRSS grew more than 10%");
        System.out.println("storm: " + s.findings.size() + " findings");
        System.exit(s.findings.isEmpty() ? 0 : 1);
    }
}
