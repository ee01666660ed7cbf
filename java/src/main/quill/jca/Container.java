package quill.jca;

import java.util.Set;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.atomic.AtomicBoolean;

import ru.Kestrel.Quill.MSCAPI.CAPI;

/**
 * A key container a private key lives in. A temporary container (made for a
 * generated pair, a PFX file's key or a software key) is deleted once no key
 * object needs it, or when the JVM exits; storing its key in a system store
 * makes it permanent.
 */
final class Container {
    final String name;
    final int provType;
    private final Deleter deleter;

    /** Temporary containers not yet deleted, for the exit hook. */
    private static final Set<Deleter> LIVE = ConcurrentHashMap.newKeySet();

    static {
        Runtime.getRuntime().addShutdownHook(new Thread(() -> {
            for (Deleter d : LIVE) d.run();
        }, "quill-containers"));
    }

    private static final class Deleter implements Runnable {
        final String name;
        final int provType;
        final AtomicBoolean pending;

        Deleter(String name, int provType, boolean temporary) {
            this.name = name;
            this.provType = provType;
            this.pending = new AtomicBoolean(temporary);
        }

        @Override
        public void run() {
            if (!pending.getAndSet(false)) return;
            LIVE.remove(this);
            long[] h = {0};
            CAPI.cryptAcquireContext(h, name, null, provType, Native.CRYPT_DELETEKEYSET | Native.CRYPT_SILENT);
        }
    }

    Container(String name, int provType, boolean temporary) {
        this.name = name;
        this.provType = provType;
        this.deleter = new Deleter(name, provType, temporary);
        if (temporary) {
            LIVE.add(deleter);
            Native.CLEANER.register(this, deleter);
        }
    }

    /** A new temporary container of {@code provType}; its context goes to {@code hProv[0]}, the caller's to release. */
    static Container create(int provType, long[] hProv) {
        String name = "{" + java.util.UUID.randomUUID().toString().toUpperCase() + "}";
        Native.check(CAPI.cryptAcquireContext(hProv, name, null, provType, Native.CRYPT_NEWKEYSET | Native.CRYPT_SILENT),
                "new key container");
        return new Container(name, provType, true);
    }

    /** The container outlives its key objects from now on. */
    void keep() {
        if (deleter.pending.getAndSet(false)) LIVE.remove(deleter);
    }

    /** Deletes the container now, temporary or not. */
    void delete() {
        deleter.pending.set(true);
        deleter.run();
    }
}
