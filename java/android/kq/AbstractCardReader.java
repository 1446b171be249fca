package android.kq;

import java.io.IOException;
import java.io.InterruptedIOException;

/**
 * What every {@link CardReader} shares: {@link #awaitCard} as tries of
 * {@link #seek} with {@link #AWAIT_PAUSE_MILLIS} between them, and the
 * exceptions both readers throw alike. {@link TagReader} and the app test
 * kit's {@code FakeCardReader} extend it, so the two wait and fail alike.
 *
 * <p>A subclass runs its calls holding {@code lock}, and its {@link #close}
 * calls {@code lock.notifyAll()} while holding it, which ends a pause of
 * {@link #awaitCard} at once.
 */
public abstract class AbstractCardReader implements CardReader {
  private final Object lock;

  /**
   * @param lock held for every call of the reader, and notified by its
   *     {@link #close}.
   */
  protected AbstractCardReader(Object lock) {
    this.lock = lock;
  }

  @Override
  public final byte[] awaitCard(long timeoutMillis) throws IOException {
    if (timeoutMillis < 0) {
      throw new IllegalArgumentException("awaitCard: timeout " + timeoutMillis + " ms, below 0");
    }
    final long start = System.nanoTime();
    synchronized (lock) {
      while (true) {
        if (Thread.interrupted()) {
          throw interrupted();
        }
        // A closed reader throws here, also when close() ended the pause.
        final byte[] card = seek();
        if (card != null) {
          return card;
        }
        final long leftMillis = timeoutMillis - (System.nanoTime() - start) / 1_000_000;
        if (leftMillis <= 0) {
          return null;
        }
        try {
          // Lets go of the lock: other calls, and close(), run meanwhile.
          lock.wait(Math.min(AWAIT_PAUSE_MILLIS, leftMillis));
        } catch (InterruptedException e) {
          throw interrupted();
        }
      }
    }
  }

  /** Keeps the thread interrupted, so that its owner still sees the request to stop. */
  private static InterruptedIOException interrupted() {
    Thread.currentThread().interrupt();
    return new InterruptedIOException("awaitCard: interrupted");
  }

  /**
   * For a call on a closed reader.
   *
   * @return the exception to throw.
   */
  protected static IOException readerClosed() {
    return new IOException("reader is closed");
  }

  /**
   * For an open while another reader of the same kind is open.
   *
   * @return the exception to throw.
   */
  protected static IOException alreadyOpen() {
    return new IOException("a reader is already open in this process; close it first");
  }

  /**
   * For a request the reader did not answer.
   *
   * @param operation "open", "seek" or "move".
   * @return the exception to throw.
   */
  protected static TagReaderTimeoutException noReply(String operation) {
    return new TagReaderTimeoutException(
        operation
            + ": no reply from the reader in about a second (a reply with a bad checksum counts"
            + " as none); check that the module is powered and wired");
  }
}
