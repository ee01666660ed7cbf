package quill;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;

/**
 * A small JSON reader for the test vector files: objects become maps, arrays
 * lists, numbers Long or Double, and true/false/null their Java values.
 */
final class Json {
    private final String s;
    private int i;

    private Json(String s) {
        this.s = s;
    }

    static Object parse(String text) {
        Json p = new Json(text);
        Object v = p.value();
        p.space();
        if (p.i != p.s.length()) throw p.error("trailing characters");
        return v;
    }

    @SuppressWarnings("unchecked")
    static Map<String, Object> file(String name) throws IOException {
        Path dir = Path.of(System.getProperty("quill.testvectors"), "wycheproof");
        return (Map<String, Object>) parse(Files.readString(dir.resolve(name), StandardCharsets.UTF_8));
    }

    /** The test groups of a vector file, each with its tests. */
    @SuppressWarnings("unchecked")
    static List<Map<String, Object>> groups(Map<String, Object> file) {
        return (List<Map<String, Object>>) file.get("testGroups");
    }

    @SuppressWarnings("unchecked")
    static List<Map<String, Object>> tests(Map<String, Object> group) {
        return (List<Map<String, Object>>) group.get("tests");
    }

    static byte[] hex(Object text) {
        String h = (String) text;
        byte[] out = new byte[h.length() / 2];
        for (int k = 0; k < out.length; k++) {
            out[k] = (byte) Integer.parseInt(h.substring(2 * k, 2 * k + 2), 16);
        }
        return out;
    }

    private IllegalArgumentException error(String what) {
        return new IllegalArgumentException(what + " at offset " + i);
    }

    private void space() {
        while (i < s.length() && Character.isWhitespace(s.charAt(i))) i++;
    }

    private void expect(char c) {
        space();
        if (i >= s.length() || s.charAt(i) != c) throw error("expected '" + c + "'");
        i++;
    }

    private boolean take(char c) {
        space();
        if (i < s.length() && s.charAt(i) == c) {
            i++;
            return true;
        }
        return false;
    }

    private Object value() {
        space();
        if (i >= s.length()) throw error("unexpected end");
        char c = s.charAt(i);
        switch (c) {
            case '{': {
                i++;
                Map<String, Object> map = new LinkedHashMap<>();
                if (take('}')) return map;
                do {
                    space();
                    String key = string();
                    expect(':');
                    map.put(key, value());
                } while (take(','));
                expect('}');
                return map;
            }
            case '[': {
                i++;
                List<Object> list = new ArrayList<>();
                if (take(']')) return list;
                do {
                    list.add(value());
                } while (take(','));
                expect(']');
                return list;
            }
            case '"':
                return string();
            default:
                if (s.startsWith("true", i)) {
                    i += 4;
                    return Boolean.TRUE;
                }
                if (s.startsWith("false", i)) {
                    i += 5;
                    return Boolean.FALSE;
                }
                if (s.startsWith("null", i)) {
                    i += 4;
                    return null;
                }
                return number();
        }
    }

    private String string() {
        if (s.charAt(i) != '"') throw error("expected a string");
        i++;
        StringBuilder out = new StringBuilder();
        while (true) {
            if (i >= s.length()) throw error("unterminated string");
            char c = s.charAt(i++);
            if (c == '"') return out.toString();
            if (c != '\\') {
                out.append(c);
                continue;
            }
            char e = s.charAt(i++);
            switch (e) {
                case 'n': out.append('\n'); break;
                case 't': out.append('\t'); break;
                case 'r': out.append('\r'); break;
                case 'b': out.append('\b'); break;
                case 'f': out.append('\f'); break;
                case 'u':
                    out.append((char) Integer.parseInt(s.substring(i, i + 4), 16));
                    i += 4;
                    break;
                default: out.append(e);
            }
        }
    }

    private Object number() {
        int start = i;
        while (i < s.length() && "+-0123456789.eE".indexOf(s.charAt(i)) >= 0) i++;
        String n = s.substring(start, i);
        if (n.isEmpty()) throw error("unexpected character");
        if (n.contains(".") || n.contains("e") || n.contains("E")) return Double.parseDouble(n);
        return Long.parseLong(n);
    }
}
