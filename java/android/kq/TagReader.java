package android.kq;

import java.io.IOException;
import java.util.Arrays;

/**
 * The card reader for new code: result codes become exceptions and card data
 * comes back as an array of exactly its length.
 *
 * <p>All instances share the one port of the process (see {@link Ctagport});
 * open one reader at a time. Calls are serialised by {@link Ctagport}, so a
 * reader may be used from several threads.
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

  private boolean closed;

  private TagReader() {}

  /**
   * Opens the port and starts the reader.
   *
   * @return an open reader; close it when done.
   * @throws TagReaderTimeoutException when the reader did not answer.
   * @throws IOException when the port could not be opened or configured, or
   *     the reader refused. The port is closed again in every failing case.
   */
  public static TagReader open() throws IOException {
    final int result = Ctagport.open();
    if (result != 0) {
      // The native side leaves a node that opened recorded even when open
      // fails; close it so a failed open holds no descriptor.
      Ctagport.close();
      check("open", result);
    }
    return new TagReader();
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
    ensureOpen();
    final byte[] buffer = new byte[MAX_CARD_DATA];
    final int count = Ctagport.seek(buffer);
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
    ensureOpen();
    check("move", Ctagport.move());
  }

  /** Closes the port. Closing again does nothing. */
  @Override
  public void close() {
    synchronized (this) {
      if (closed) {
        return;
      }
      closed = true;
    }
    Ctagport.close();
  }

  private synchronized void ensureOpen() throws IOException {
    if (closed) {
      throw new IOException("reader is closed");
    }
  }

  private static void check(String operation, int result) throws IOException {
    if (result == NO_REPLY) {
      throw new TagReaderTimeoutException(operation + ": no reply from the reader");
    }
    if (result < 0) {
      throw new IOException(operation + " failed (result " + result + ")");
    }
  }
}
