package tagport.sim;

import java.io.IOException;
import java.util.Objects;

/**
 * A simulated card reader module inside this JVM, for testing app code that
 * uses {@code android.kq.Ctagport} or {@code TagReader} on a desktop JVM,
 * without the reader.
 *
 * <p>The module answers the library's requests on a fresh pseudo-terminal,
 * and "/dev/ttyMT3" leads there while it runs. That redirection is done by the
 * node redirect library, which must be preloaded into the JVM
 * ({@code LD_PRELOAD}); without it {@link #start} refuses. The JVM also needs
 * {@code libtagport.so} and {@code libtagport_sim_jni.so} built for the host
 * on its {@code java.library.path}. Linux only.
 *
 * <p>A process has one "/dev/ttyMT3", so one simulated reader runs at a time.
 * Unscripted requests are answered as a willing reader would; {@link #script}
 * makes the next ones misbehave, first in first out.
 *
 * <pre>{@code
 * try (SimulatedReader module = SimulatedReader.start()) {
 *   module.setCardData(new byte[] {1, 2, 3, 4, 5, 6, 7, 8});
 *   module.script(SimulatedReader.Fault.NONE);    // the open is answered
 *   module.script(SimulatedReader.Fault.SILENT);  // the seek is not
 *   // ... run the app code ...
 * }
 * }</pre>
 *
 * <p>All methods may be called from any thread.
 */
public final class SimulatedReader implements AutoCloseable {
  static {
    System.loadLibrary("tagport_sim_jni");
  }

  /** How the module answers one request. */
  public enum Fault {
    /** A correct reply. */
    NONE("none"),
    /** No reply at all: the library gives up after about one second. */
    SILENT("silent"),
    /** A reply whose checksum is off by one: to the library, no reply. */
    BAD_CHECKSUM("bad-checksum"),
    /** A reply with failure status 2. */
    WRONG_STATUS("wrong-status"),
    /** A reply addressed to target 6 instead of 5. */
    WRONG_TARGET("wrong-target"),
    /** A reply carrying another command byte than the request. */
    WRONG_COMMAND("wrong-command"),
    /** A card reply with 7 data bytes, one short; other replies are correct. */
    SHORT_SEEK("short-seek"),
    /** A card reply saying no card is there; other replies are correct. */
    NO_CARD_FLAG("no-card-flag"),
    /** Half a reply, then the module hangs up the line for good. */
    HANG_UP("hang-up");

    private final String simulatorName;

    Fault(String simulatorName) {
      this.simulatorName = simulatorName;
    }

    /**
     * The name tagport-sim's {@code --script} option knows this fault by.
     *
     * @return the name, such as "bad-checksum".
     */
    public String simulatorName() {
      return simulatorName;
    }
  }

  /** The module that runs; guarded by the class lock. */
  private static SimulatedReader running;

  private final String linePath;

  private SimulatedReader(String linePath) {
    this.linePath = linePath;
  }

  /**
   * Starts a simulated reader on a fresh pseudo-terminal and leads
   * "/dev/ttyMT3" to it. Stop it with {@link #close}.
   *
   * @return the running reader.
   * @throws IOException when no pseudo-terminal could be opened.
   * @throws IllegalStateException when a simulated reader already runs in
   *     this process, or the node redirect library is not preloaded.
   */
  public static synchronized SimulatedReader start() throws IOException {
    if (running != null) {
      throw new IllegalStateException("a simulated reader already runs in this process");
    }
    running = new SimulatedReader(nativeStart());
    return running;
  }

  /**
   * The module's end of the line, where "/dev/ttyMT3" leads.
   *
   * @return a path such as "/dev/pts/3".
   */
  public String linePath() {
    return linePath;
  }

  /**
   * Stops the module; "/dev/ttyMT3" is the real node again. A port the
   * library still holds on the line then fails. Stopping again does nothing.
   */
  @Override
  public void close() {
    synchronized (SimulatedReader.class) {
      if (running != this) {
        return;
      }
      running = null;
      nativeStop();
    }
  }

  /**
   * Sets the data of the card replies to request 0x41; 8 bytes
   * (04 A1 B2 C3 D4 E5 F6 07) until set.
   *
   * @param data the card data; 8 bytes up to TagReader.MAX_CARD_DATA make a reply the
   *     library accepts.
   * @throws IllegalStateException when this reader was stopped.
   */
  public void setCardData(byte[] data) {
    synchronized (SimulatedReader.class) {
      ensureRunning();
      nativeSetCardData(Objects.requireNonNull(data, "data"));
    }
  }

  /**
   * Answers the next unscripted request with {@code fault}, at once.
   *
   * @param fault how to answer.
   * @throws IllegalStateException when this reader was stopped.
   */
  public void script(Fault fault) {
    script(fault, 0, 1);
  }

  /**
   * Answers the next unscripted request with {@code fault}, late and in
   * pieces: a reply that arrives over several reads of the library.
   *
   * @param fault how to answer.
   * @param delayMs milliseconds before the first byte of the reply.
   * @param pieces the reply is written in this many parts, 2 ms apart.
   * @throws IllegalArgumentException when {@code delayMs} is negative or
   *     {@code pieces} is below 1.
   * @throws IllegalStateException when this reader was stopped.
   */
  public void script(Fault fault, int delayMs, int pieces) {
    queue(Objects.requireNonNull(fault, "fault"), delayMs, pieces, null);
  }

  /**
   * Answers the next unscripted request with exactly these bytes, whatever
   * the request was. {@link #frame} builds well-formed ones.
   *
   * @param reply the bytes to send; may hold several frames, or noise.
   * @throws IllegalStateException when this reader was stopped.
   */
  public void scriptRaw(byte[] reply) {
    scriptRaw(reply, 0, 1);
  }

  /**
   * Answers the next unscripted request with exactly these bytes, late and in
   * pieces.
   *
   * @param reply the bytes to send.
   * @param delayMs milliseconds before the first byte.
   * @param pieces the bytes are written in this many parts, 2 ms apart.
   * @throws IllegalArgumentException when {@code delayMs} is negative or
   *     {@code pieces} is below 1.
   * @throws IllegalStateException when this reader was stopped.
   */
  public void scriptRaw(byte[] reply, int delayMs, int pieces) {
    queue(Fault.NONE, delayMs, pieces, Objects.requireNonNull(reply, "reply"));
  }

  private void queue(Fault fault, int delayMs, int pieces, byte[] raw) {
    if (delayMs < 0 || pieces < 1) {
      throw new IllegalArgumentException(
          "delay " + delayMs + " ms, " + pieces + " pieces: need 0 ms or more, 1 piece or more");
    }
    synchronized (SimulatedReader.class) {
      ensureRunning();
      nativeScript(fault.simulatorName(), delayMs, pieces, raw);
    }
  }

  /**
   * Every request frame the module has received since it started, in order.
   *
   * @return one array per frame, start byte to checksum.
   * @throws IllegalStateException when this reader was stopped.
   */
  public byte[][] requests() {
    synchronized (SimulatedReader.class) {
      ensureRunning();
      return nativeRequests();
    }
  }

  /**
   * Prints every frame the module receives ({@code <-}) and sends
   * ({@code ->}) on standard output, with a timestamp, from now on.
   *
   * @throws IllegalStateException when this reader was stopped.
   */
  public void logTraffic() {
    synchronized (SimulatedReader.class) {
      ensureRunning();
      nativeLogTraffic();
    }
  }

  /**
   * A frame with a correct length and checksum, for {@link #scriptRaw}.
   *
   * @param target the target byte (the library accepts 5).
   * @param status the status byte (the library accepts 1).
   * @param command the command byte.
   * @param payload the bytes after the command byte.
   * @return start byte, length, target, 0, status, command, payload, checksum.
   */
  public static byte[] frame(int target, int status, int command, byte[] payload) {
    return nativeFrame(target, status, command, Objects.requireNonNull(payload, "payload"));
  }

  private void ensureRunning() {
    if (running != this) {
      throw new IllegalStateException("the simulated reader was stopped");
    }
  }

  private static native String nativeStart() throws IOException;

  private static native void nativeStop();

  private static native void nativeSetCardData(byte[] data);

  private static native void nativeScript(String fault, int delayMs, int pieces, byte[] raw);

  private static native byte[][] nativeRequests();

  private static native void nativeLogTraffic();

  private static native byte[] nativeFrame(int target, int status, int command, byte[] payload);
}
