package quill;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.lang.reflect.Method;
import java.lang.reflect.Modifier;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

import org.junit.jupiter.api.Test;

/**
 * The export list that drives the version script and the Windows .def file
 * must agree with the natives the Java classes declare: same names, same
 * argument byte counts (what the 32-bit Windows decoration encodes).
 */
class ExportsTest {
    static final String[] CLASSES = {"ru.Kestrel.Quill.MSCAPI.CAPI", "ru.Kestrel.Quill.KeyStore.MSStore",
            "ru.Kestrel.Quill.KeyStore.PFXStore"};

    static int javaArgBytes(Method m) {
        int bytes = 8; // JNIEnv* and the class or object
        for (Class<?> p : m.getParameterTypes()) bytes += (p == long.class || p == double.class) ? 8 : 4;
        return bytes;
    }

    static int descriptorArgBytes(String descriptor) {
        String params = descriptor.substring(1, descriptor.indexOf(')'));
        params = params.replaceAll("\\[+(L[^;]*;|.)", "R").replaceAll("L[^;]*;", "R");
        int bytes = 8;
        for (char c : params.toCharArray()) bytes += (c == 'J' || c == 'D') ? 8 : 4;
        return bytes;
    }

    static Map<String, Method> declaredNatives() throws Exception {
        Map<String, Method> natives = new HashMap<>();
        for (String cls : CLASSES) {
            // Load without initialising: the static initialiser would load the library.
            Class<?> c = Class.forName(cls, false, ExportsTest.class.getClassLoader());
            for (Method m : c.getDeclaredMethods()) {
                if (Modifier.isNative(m.getModifiers())) {
                    natives.put(cls.replace('.', '/') + " " + m.getName(), m);
                }
            }
        }
        return natives;
    }

    @Test
    void declarationsMatchTheSpecifiedCounts() throws Exception {
        Map<String, Method> natives = declaredNatives();
        long capi = natives.keySet().stream().filter(k -> k.contains("/CAPI ")).count();
        long msstore = natives.keySet().stream().filter(k -> k.contains("/MSStore ")).count();
        long pfx = natives.keySet().stream().filter(k -> k.contains("/PFXStore ")).count();
        assertEquals(41, capi, "CAPI natives");
        assertEquals(4, msstore, "MSStore natives");
        assertEquals(5, pfx, "PFXStore natives");
    }

    @Test
    void everyListedExportIsADeclaredNativeWithTheSameArgumentBytes() throws Exception {
        Map<String, Method> natives = declaredNatives();
        List<String> lines = Files.readAllLines(Paths.get(System.getProperty("quill.exportsList")));
        List<String> expectedNames = new ArrayList<>();
        for (String line : lines) {
            line = line.trim();
            if (line.isEmpty() || line.startsWith("#")) continue;
            String[] parts = line.split("\\s+");
            if (parts.length == 1) {
                assertTrue(parts[0].equals("JNI_OnLoad") || parts[0].equals("JNI_OnUnload"), line);
                expectedNames.add(parts[0]);
                continue;
            }
            Method m = natives.get(parts[0] + " " + parts[1]);
            assertNotNull(m, "no Java native for export line: " + line);
            assertEquals(javaArgBytes(m), descriptorArgBytes(parts[2]), "argument bytes of " + line);
            expectedNames.add("Java_" + parts[0].replace("_", "_1").replace('/', '_') + "_"
                    + parts[1].replace("_", "_1"));
        }
        List<String> generated = Files.readAllLines(Paths.get(System.getProperty("quill.exports")));
        assertEquals(expectedNames, generated, "names generated for the linker");
    }
}
