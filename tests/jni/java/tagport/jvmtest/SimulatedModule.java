package tagport.jvmtest;

/**
 * A simulated reader module running in this JVM on a fresh pseudo-terminal,
 * which "/dev/ttyMT3" leads to while it runs (the node-redirect shim must be
 * preloaded). Also reaches the library's native string conversions.
 */
public final class SimulatedModule {
  static {
    System.loadLibrary("readersim_jni");
  }

  private SimulatedModule() {}

  /** Starts a fresh module (dropping any earlier one); its line's path. */
  public static native String start();

  /** Prints every frame the module receives and sends on standard output. */
  public static native void logTraffic();

  /** Stops the module; "/dev/ttyMT3" is the real node again. */
  public static native void stop();

  /** The data the module puts in its card replies (8 bytes by default). */
  public static native void setCardData(byte[] data);

  /**
   * Queues how to answer the next request.
   *
   * @param fault a fault name: none, silent, bad-checksum, wrong-status,
   *     wrong-target, wrong-command, short-seek, no-card-flag, hang-up.
   * @param delayMs wait before the first byte.
   * @param pieces write the reply in this many parts.
   * @param raw bytes sent instead of the built reply, or null.
   */
  public static native void script(String fault, int delayMs, int pieces, byte[] raw);

  public static void script(String fault) {
    script(fault, 0, 1, null);
  }

  /** Answers the next request with exactly these bytes. */
  public static void scriptRaw(byte[] raw) {
    script("none", 0, 1, raw);
  }

  /** Every request frame the module has received, in order. */
  public static native byte[][] requests();

  /** A frame with a correct length and checksum. */
  public static native byte[] frame(int target, int status, int command, byte[] payload);

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
