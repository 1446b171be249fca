package tagport.jvmtest;

import java.nio.charset.StandardCharsets;

/**
 * Looks at libtagport from inside native calls: the node redirect's counts of
 * the library's reads and sleeps, and the library's native string conversions
 * called as native code calls them.
 */
public final class LibraryProbes {
  static {
    System.loadLibrary("tagport_jvmtest_jni");
  }

  private LibraryProbes() {}

  /** Sleeps and reads made by libtagport since the last reset. */
  public static native long librarySleeps();

  /** The card data of a seek reply that fills the library's frame buffer. */
  public static native int largestCardData();

  public static native long libraryReads();

  public static native void resetLibraryCounts();

  /** Makes the library's next tcsetattr fail (EIO): a line that refuses its settings. */
  public static native void failNextLineSettings();

  /** Bytes waiting to be read on the library's open port; -1 without one. */
  public static native int portInputWaiting();

  /**
   * Calls jstring2pchar with {@code out}'s contents as the output buffer and
   * copies the buffer back. Null arguments are passed on as null pointers;
   * {@code text} goes over as it is, String or not.
   */
  public static int encode(Object text, String charset, byte[] out) {
    return encodeRaw(text, utf8(charset), out);
  }

  /** As {@link #encode}, with the charset name's bytes as they are. */
  public static native int encodeRaw(Object text, byte[] charset, byte[] out);

  /** Calls pchar2jstring on {@code text} plus a terminating zero. */
  public static String decode(byte[] text, String charset) {
    return decodeRaw(text, utf8(charset));
  }

  /** As {@link #decode}, with the charset name's bytes as they are. */
  public static native String decodeRaw(byte[] text, byte[] charset);

  private static byte[] utf8(String text) {
    return text == null ? null : text.getBytes(StandardCharsets.UTF_8);
  }

  /** The library's own result in the last encode or decode (1 for a string, 0 for null). */
  public static native int lastResult();

  /** Indexes into the result of {@link #seekWatchingElements}. */
  public static final int SEEK_RESULT = 0;

  public static final int SEEK_GETS = 1;
  public static final int SEEK_RELEASES = 2;
  public static final int SEEK_LAST_RELEASE_MODE = 3;
  public static final int SEEK_RELEASES_OF_WHAT_WAS_GOT = 4;

  /**
   * Calls Ctagport.seek's native code on {@code data} and watches what it does
   * with the array's elements: the result, the times it got them, released
   * them, the last release's mode (-1 for none), and the releases that gave
   * back the elements it had got.
   */
  public static native int[] seekWatchingElements(byte[] data);

  /** Results of {@link #convertWithPendingException}. */
  public static final int EXCEPTION_KEPT = 0;

  public static final int RESULT_GIVEN = 1;
  public static final int EXCEPTION_LOST = 2;
  public static final int EXCEPTION_REPLACED = 3;

  /**
   * Raises an exception in native code, then calls pchar2jstring ({@code
   * decode}) or jstring2pchar on {@code text} with it pending, and clears it.
   * {@link #EXCEPTION_KEPT} when the routine gave 0 or null and left that same
   * exception pending.
   */
  public static native int convertWithPendingException(boolean decode, String text);

  /** Returned by the conversion loops when a routine left a local frame behind. */
  public static final int FRAME_LEFT = -2;

  /**
   * Round trips of {@code text} that came back equal, all within one native
   * call; -1 when a call failed; {@link #FRAME_LEFT}.
   */
  public static native int roundTrips(String text, String charset, int rounds);

  /**
   * Rounds in which both conversions refused {@code charset} with an
   * exception pending, all within one native call; or {@link #FRAME_LEFT}.
   */
  public static native int rejectedRounds(String text, String charset, int rounds);

  /**
   * Runs the conversion loops' frame check around a push without pop; must
   * give {@link #FRAME_LEFT}, or the check shows nothing.
   */
  static native int probeAroundLeftFrame();

  /** Makes {@code count} local references in one native call and keeps them. */
  static native void overflowLocalReferences(int count);
}
