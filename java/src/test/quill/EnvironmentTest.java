package quill;

import static org.junit.jupiter.api.Assertions.assertDoesNotThrow;

import java.security.KeyFactory;
import java.security.Signature;
import javax.crypto.Cipher;
import javax.crypto.Mac;
import org.junit.jupiter.api.Test;

/**
 * The JVM under test can make the JDK's own cryptography, which the other
 * tests compare the bridge with. A 32-bit JVM under qemu that cannot list its
 * policy directory fails here with the reason, not in a hundred places.
 */
class EnvironmentTest {
    @Test
    void jdkCryptographyInitialises() {
        assertDoesNotThrow(() -> {
            Cipher.getInstance("AES/CBC/PKCS5Padding");
            Mac.getInstance("HmacSHA256");
            KeyFactory.getInstance("RSA");
            Signature.getInstance("SHA256withRSA");
        }, "this JVM (" + System.getProperty("java.home") + ") cannot initialise its cryptography");
    }
}
