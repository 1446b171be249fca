package android.kq;

import java.io.IOException;
import java.util.Arrays;

/**
 * The card reader for new code: a {@link CardReader} on {@link Ctagport}.
 * Card data comes back as an array of exactly its length, no card as
 * {@code null}, and every failure as an exception that says what failed.
 *
 * <p>Why a call failed is read, right after it, from the link state the
 * library exports, by libtagport_outcome.so, which must be packaged beside
 * libtagport.so.
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
 *   byte[] card = reader.awaitCard(10_000);  // null: no card in 10 s
 *   if (card != null) {
 *     reader.move();
 *   }
 * }
 * }</pre>
 */
public final class TagReader extends AbstractCardReader {
  /** The most card data one reply can carry: a 2048-byte frame less 12. */
  public static final int MAX_CARD_DATA = 2036;

  private static final int NO_REPLY = -2;

  /** Held for every use of the port, from the open check to the last call. */
  private static final Object PORT = new Object();

  /** The reader that owns the port, or null; guarded by {@link #PORT}. */
  private static TagReader owner;

  private TagReader() {
    super(PORT);
  }

  /**
   * Opens the port and starts the reader.
   *
   * <p>A reader already open in this process is reported as an
   * {@link IOException}, like a port that cannot be opened: to the caller both
   * mean the reader is not available now, and both may arise from code
   * elsewhere in the process, so one {@code catch} handles them.
   *
   * @return an open reader; close it when done.
   * @throws TagReaderRefusedException when the reader refused to start (the
   *     port is then closed again).
   * @throws TagReaderTimeoutException when the reader did not answer (the
   *     port is then closed again).
   * @throws IOException when another {@code TagReader} is open in this
   *     process (that one stays open and usable), or the port could not be
   *     opened or configured, or the request could not be written.
   * @throws UnsatisfiedLinkError when libtagport.so or libtagport_outcome.so
   *     cannot be loaded: the app was built without them.
   */
  public static TagReader open() throws IOException {
    synchronized (PORT) {
      if (owner != null) {
        throw alreadyOpen();
      }
      LastOutcome.load();
      LastOutcome.forget();
      final int result = Ctagport.open();
      if (result != 0) {
        final IOException failure =
            result == NO_REPLY ? noReply("open") : LastOutcome.read().failure("open");
        // The native side leaves a node that opened recorded even when open
        // fails; close it so a failed open holds no descriptor.
        Ctagport.close();
        throw failure;
      }
      owner = new TagReader();
      return owner;
    }
  }

  @Override
  public byte[] seek() throws IOException {
    final byte[] buffer = new byte[MAX_CARD_DATA];
    synchronized (PORT) {
      ensureOpen();
      final int count = Ctagport.seek(buffer);
      if (count >= 0) {
        return Arrays.copyOf(buffer, count);
      }
      if (count == NO_REPLY) {
        throw noReply("seek");
      }
      final LastOutcome outcome = LastOutcome.read();
      if (outcome.noCard()) {
        return null;
      }
      throw outcome.failure("seek");
    }
  }

  @Override
  public void move() throws IOException {
    synchronized (PORT) {
      ensureOpen();
      final int result = Ctagport.move();
      if (result == NO_REPLY) {
        throw noReply("move");
      }
      if (result != 0) {
        throw LastOutcome.read().failure("move");
      }
    }
  }

  /**
   * Closes the port, once a call in progress on another thread has returned,
   * and ends an {@link #awaitCard} in progress. Closing again does nothing,
   * and never affects another reader.
   */
  @Override
  public void close() {
    synchronized (PORT) {
      if (owner != this) {
        return;
      }
      owner = null;
      Ctagport.close();
      PORT.notifyAll();
    }
  }

  private void ensureOpen() throws IOException {
    if (owner != this) {
      throw readerClosed();
    }
  }
}
