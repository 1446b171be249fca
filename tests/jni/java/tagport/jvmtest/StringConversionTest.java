package tagport.jvmtest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static tagport.jvmtest.Frames.bytes;
import static tagport.jvmtest.Frames.filled;

import java.io.UnsupportedEncodingException;
import java.util.Arrays;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;

/** jstring2pchar and pchar2jstring, called from native code inside the JVM. */
class StringConversionTest {
  private static final int SPARE = 8;
  private static final int ROUNDS = 10_000;

  static Stream<Arguments> encodings() {
    return Stream.of(
        Arguments.of("UTF-8", "h\u00e9llo \u20ac",
            bytes(0x68, 0xC3, 0xA9, 0x6C, 0x6C, 0x6F, 0x20, 0xE2, 0x82, 0xAC)),
        Arguments.of("UTF-8", "\u4e2d\u6587", bytes(0xE4, 0xB8, 0xAD, 0xE6, 0x96, 0x87)),
        Arguments.of("UTF-8", "", bytes()),
        Arguments.of("ISO-8859-1", "Gr\u00fc\u00dfe", bytes(0x47, 0x72, 0xFC, 0xDF, 0x65)),
        Arguments.of("ISO-8859-1", "\u00ff", bytes(0xFF)),
        Arguments.of("ISO-8859-1", "", bytes()),
        Arguments.of("GBK", "\u4e2d\u6587", bytes(0xD6, 0xD0, 0xCE, 0xC4)),
        Arguments.of("GBK", "a\u4e2db", bytes(0x61, 0xD6, 0xD0, 0x62)),
        Arguments.of("GBK", "", bytes()));
  }

  @ParameterizedTest(name = "{0} \"{1}\"")
  @MethodSource("encodings")
  void encodeWritesExactlyTheBytesAndNoTerminator(String charset, String text, byte[] expected) {
    final byte[] out = filled(expected.length + SPARE);
    assertEquals(expected.length, LibraryProbes.encode(text, charset, out));
    assertArrayEquals(expected, Arrays.copyOf(out, expected.length));
    assertArrayEquals(filled(SPARE), Arrays.copyOfRange(out, expected.length, out.length));
  }

  @ParameterizedTest(name = "{0} \"{1}\"")
  @MethodSource("encodings")
  void decodeGivesTheTextBack(String charset, String text, byte[] encoded) {
    assertEquals(text, LibraryProbes.decode(encoded, charset));
    assertEquals(1, LibraryProbes.lastResult());
  }

  @ParameterizedTest(name = "{0} \"{1}\"")
  @MethodSource("encodings")
  void tenThousandRoundTripsInOneNativeCall(String charset, String text, byte[] encoded) {
    assertEquals(ROUNDS, LibraryProbes.roundTrips(text, charset, ROUNDS));
  }

  @ParameterizedTest(name = "{0}")
  @ValueSource(strings = {"no-such-charset", "bad name!"})
  void aRefusedCharsetThrowsInJavaAndYieldsNothing(String charset) {
    final byte[] out = filled(SPARE);
    assertThrows(
        UnsupportedEncodingException.class, () -> LibraryProbes.encode("abc", charset, out));
    assertEquals(0, LibraryProbes.lastResult(), "count from jstring2pchar");
    assertThrows(
        UnsupportedEncodingException.class, () -> LibraryProbes.decode(bytes(0x61), charset));
    assertEquals(0, LibraryProbes.lastResult(), "pchar2jstring gave a string");
  }

  @Test
  void theFrameCheckOfTheLoopsSeesAFrameLeftBehind() {
    assertEquals(LibraryProbes.FRAME_LEFT, LibraryProbes.probeAroundLeftFrame());
  }

  @Test
  void tenThousandRefusedConversionsInOneNativeCall() {
    assertEquals(ROUNDS, LibraryProbes.rejectedRounds("abc", "no-such-charset", ROUNDS));
  }

  @ParameterizedTest(name = "{0}")
  @ValueSource(strings = {"jstring2pchar", "pchar2jstring"})
  void anExceptionPendingBeforeTheCallIsLeftAsItIs(String routine) {
    assertEquals(
        LibraryProbes.EXCEPTION_KEPT,
        LibraryProbes.convertWithPendingException(routine.equals("pchar2jstring"), "abc"));
  }

  static Stream<Arguments> nonAsciiCharsetNames() {
    return Stream.of(
        Arguments.of("a lone byte FF", bytes(0xFF)),
        Arguments.of("UTF-8 and a stray byte", bytes(0x55, 0x54, 0x46, 0x2D, 0x38, 0x80)),
        Arguments.of("a cut sequence", bytes(0x55, 0xC3)),
        Arguments.of("the modified UTF-8 zero", bytes(0xC0, 0x80)),
        Arguments.of("well-formed UTF-8", bytes(0xC3, 0xBF)));
  }

  @ParameterizedTest(name = "{0}")
  @MethodSource("nonAsciiCharsetNames")
  void aNonAsciiCharsetNameIsRefusedBeforeItBecomesAJavaString(String name, byte[] charset) {
    final UnsupportedEncodingException encoding = assertThrows(
        UnsupportedEncodingException.class,
        () -> LibraryProbes.encodeRaw("abc", charset, filled(SPARE)));
    assertEquals("charset name is not ASCII", encoding.getMessage());
    assertEquals(0, LibraryProbes.lastResult(), "count from jstring2pchar");
    final UnsupportedEncodingException decoding = assertThrows(
        UnsupportedEncodingException.class, () -> LibraryProbes.decodeRaw(bytes(0x61), charset));
    assertEquals("charset name is not ASCII", decoding.getMessage());
    assertEquals(0, LibraryProbes.lastResult(), "pchar2jstring gave a string");
  }

  static Stream<Object> objectsThatAreNoString() {
    return Stream.of(new Object(), bytes(0x61, 0x62), Integer.valueOf(7), new StringBuilder("abc"));
  }

  @ParameterizedTest
  @MethodSource("objectsThatAreNoString")
  void encodingAnObjectThatIsNoStringYieldsNothingAndThrowsNothing(Object text) {
    final byte[] out = filled(SPARE);
    assertEquals(0, LibraryProbes.encode(text, "UTF-8", out));
    assertArrayEquals(filled(SPARE), out);
  }

  @Test
  void nullArgumentsYieldNothingAndThrowNothing() {
    final byte[] out = filled(SPARE);
    assertEquals(0, LibraryProbes.encode(null, "UTF-8", out), "null text");
    assertEquals(0, LibraryProbes.encode("abc", null, out), "null charset");
    assertArrayEquals(filled(SPARE), out);
    assertEquals(0, LibraryProbes.encode("abc", "UTF-8", null), "null buffer");
    assertNull(LibraryProbes.decode(null, "UTF-8"), "null text");
    assertNull(LibraryProbes.decode(bytes(0x61), null), "null charset");
  }
}
