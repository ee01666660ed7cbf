package quill;

/**
 * Looks for a text in the process's writable memory (a test helper library
 * of our own): how many copies of it the calls under test left behind.
 */
final class MemoryScan {
    private MemoryScan() {}

    static {
        System.loadLibrary("quill_memscan");
    }

    private static final int MASK = 0x5A;

    /** Places that hold the pattern whose bytes XOR 0x5A are `masked`; -1 when memory cannot be read. */
    private static native long count(byte[] masked, int key);

    /**
     * Copies of `text` from its character `from` on (a freed block's first
     * bytes are the allocator's), as UTF-8, UTF-32LE and UTF-16BE. The text's
     * characters must lie in the Basic Multilingual Plane. The encodings are
     * made masked, so this code holds no plain copy of its own.
     */
    static long[] copies(String text, int from) {
        String tail = text.substring(from);
        java.io.ByteArrayOutputStream utf8 = new java.io.ByteArrayOutputStream();
        java.io.ByteArrayOutputStream utf32 = new java.io.ByteArrayOutputStream();
        java.io.ByteArrayOutputStream utf16 = new java.io.ByteArrayOutputStream();
        for (int i = 0; i < tail.length(); i++) {
            int c = tail.charAt(i);
            if (c < 0x80) {
                utf8.write(c ^ MASK);
            } else if (c < 0x800) {
                utf8.write((0xC0 | c >> 6) ^ MASK);
                utf8.write((0x80 | (c & 0x3F)) ^ MASK);
            } else {
                utf8.write((0xE0 | c >> 12) ^ MASK);
                utf8.write((0x80 | (c >> 6 & 0x3F)) ^ MASK);
                utf8.write((0x80 | (c & 0x3F)) ^ MASK);
            }
            for (int b : new int[] {c & 0xFF, c >> 8, 0, 0}) utf32.write(b ^ MASK);
            utf16.write((c >> 8) ^ MASK);
            utf16.write((c & 0xFF) ^ MASK);
        }
        return new long[] {count(utf8.toByteArray(), MASK), count(utf32.toByteArray(), MASK),
                count(utf16.toByteArray(), MASK)};
    }
}
