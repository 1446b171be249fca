package android.kq;

import java.io.IOException;
import java.util.Arrays;

/**
 * The card reader for new code: result codes become exceptions and card data
 * comes back as an array of exactly its length.
 *
 * <p>The process has one reader port (see {@link Ctagport}), so one
 * {@code TagReader} is open at a time: {@link #open} refuses while another is
 * open, and closing a reader never touches a port opened later. Do not call
 * {@link Ctagport} directly while a {@code TagReader} is open.
 *
 * <p>A reader may be used from several threads. Calls run one at a time, and
 * {@link #close} waits for a call in progress before it closes the port, so no
 * call of this reader ever runs on the port of a reader opened after it. A
 * call takes at most about 2.5 s: writing its request, at most about a second
 * on a line that takes nothing, then waiting for the reply, at most 1.5 s (about
 * 1.1 s as a rule), on any thread.
 *
 * <pre>{@code
 * try (TagReader reader = TagReader.open()) {
 *   byte[] card = reader.seek();
 *   reader.move();
 * }
 * }</pre>
 */
public final class TagReader implements AutoCloseable {
  /** The most card data one reply can carry: a 2048-byte frame less 12. */
  public static final int MAX_CARD_DATA = 2036;

  private static final int NO_REPLY = -2;

  /** What a result of -1 may mean, for the exception's message. */
  private static final String FAILURE_MEANS =
      "no port open, or the request could not be written, or the reply was refused:"
          + " a failure status, another command or target, no card, or short data;"
          + " tagport-probe doctor on the device tells which";

  /** Held for every use of the port, from the open check to the last call. */
  private static final Object PORT = new Object();

  /** The reader that owns the port, or null; guarded by {@link #PORT}. */
  private static TagReader owner;

  private TagReader() {}

  /**
   * Opens the port and starts the reader.
   *
   * <p>A reader already open in this process is reported as an
   * {@link IOException}, like a port that cannot be opened: to the caller both
   * mean the reader is not available now, and both may arise from code
   * elsewhere in the process, so one {@code catch} handles them.
   *
   * @return an open reader; close it when done.
   * @throws TagReaderTimeoutException when the reader did not answer.
   * @throws IOException when another {@code TagReader} is open in this
   *     process (that one stays open and usable), or the port could not be
   *     opened or configured, or the reader refused (the port is then closed
   *     again).
   */
  public static TagReader open() throws IOException {
    synchronized (PORT) {
      if (owner != null) {
        throw new IOException("a reader is already open in this process; close it first");
      }
      final int result = Ctagport.open();
      if (result != 0) {
        // The native side leaves a node that opened recorded even when open
        // fails; close it so a failed open holds no descriptor.
        Ctagport.close();
        check("open", result);
      }
      owner = new TagReader();
      return owner;
    }
  }

  /**
   * Reads a card.
   *
   * @return a new array holding exactly the card data (8 bytes or more).
   * @throws TagReaderTimeoutException when the reader did not answer.
   * @throws IOException when the reader is closed, the request could not be
   *     written, or the reply was refused.
   */
  public byte[] seek() throws IOException {
    final byte[] buffer = new byte[MAX_CARD_DATA];
    final int count;
    synchronized (PORT) {
      ensureOpen();
      count = Ctagport.seek(buffer);
    }
    check("seek", count);
    return Arrays.copyOf(buffer, count);
  }

  /**
   * Moves the card on.
   *
   * @throws TagReaderTimeoutException when the reader did not answer.
   * @throws IOException when the reader is closed, the request could not be
   *     written, or the reply was refused.
   */
  public void move() throws IOException {
    final int result;
    synchronized (PORT) {
      ensureOpen();
      result = Ctagport.move();
    }
    check("move", result);
  }

  /**
   * Closes the port, once a call in progress on another thread has returned.
   * Closing again does nothing, and never affects another reader.
   */
  @Override
  public void close() {
    synchronized (PORT) {
      if (owner != this) {
        return;
      }
      owner = null;
      Ctagport.close();
    }
  }

  private void ensureOpen() throws IOException {
    if (owner != this) {
      throw new IOException("reader is closed");
    }
  }

  private static void check(String operation, int result) throws IOException {
    if (result == NO_REPLY) {
      throw new TagReaderTimeoutException(
          operation
              + ": no reply from the reader in about a second (a reply with a bad checksum"
              + " counts as none); check that the module is powered and wired");
    }
    if (result < 0) {
      throw new IOException(operation + " failed (result " + result + "): " + FAILURE_MEANS);
    }
  }
}
