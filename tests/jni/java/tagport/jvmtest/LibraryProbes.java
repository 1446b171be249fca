package tagport.jvmtest;

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

  public static native long libraryReads();

  public static native void resetLibraryCounts();

  /**
   * Calls jstring2pchar with {@code out}'s contents as the output buffer and
   * copies the buffer back. Null arguments are passed on as null pointers.
   */
  public static native int encode(String text, String charset, byte[] out);

  /** Calls pchar2jstring on {@code text} plus a terminating zero. */
  public static native String decode(byte[] text, String charset);

  /** The library's own result in the last encode or decode (1 for a string, 0 for null). */
  public static native int lastResult();

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
