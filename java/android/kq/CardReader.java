package android.kq;

import java.io.IOException;

/**
 * What an app calls on a card reader: {@link TagReader} on the device, and
 * the app test kit's {@code FakeCardReader} in the app's unit tests. Code
 * written against this interface runs unchanged on both.
 *
 * <p>The outcomes, alike for every implementation:
 * <ul>
 *   <li>a card: {@link #seek} and {@link #awaitCard} return its data;
 *   <li>no card at the reader: {@link #seek} returns {@code null}, and
 *       {@link #awaitCard} goes on trying until its time is up;
 *   <li>the reader answered and the answer was refused:
 *       {@link TagReaderRefusedException}, with the reply's bytes and the rule;
 *   <li>the reader did not answer: {@link TagReaderTimeoutException};
 *   <li>no port, a request that could not be written, a closed reader: a
 *       plain {@link IOException}.
 * </ul>
 */
public interface CardReader extends AutoCloseable {
  /**
   * The pause between two tries of {@link #awaitCard}, in milliseconds. A
   * card held to the reader stays there far longer than this, so it is found
   * within a tenth of a second, quicker than a person notices; and between
   * tries the line and the module are idle, rather than answering a request
   * every few milliseconds to no purpose.
   */
  long AWAIT_PAUSE_MILLIS = 100;

  /**
   * Reads a card.
   *
   * @return a new array holding exactly the card's data (8 bytes or more), or
   *     {@code null} when the reader says no card is there.
   * @throws TagReaderRefusedException when the reader's reply was refused.
   * @throws TagReaderTimeoutException when the reader did not answer.
   * @throws IOException when the reader is closed, no port is open, or the
   *     request could not be written.
   */
  byte[] seek() throws IOException;

  /**
   * Reads until a card comes or the time is up, pausing
   * {@link #AWAIT_PAUSE_MILLIS} between tries. A refusal or a timeout of the
   * reader is thrown at once. {@link #close} from another thread ends the
   * wait promptly; so does {@link Thread#interrupt}, after the try in
   * progress, if any (at most about a second).
   *
   * @param timeoutMillis how long to try, 0 or more; 0 tries once.
   * @return the card's data, or {@code null} when no card came in time.
   * @throws java.io.InterruptedIOException when the thread was interrupted
   *     (it stays interrupted).
   * @throws IllegalArgumentException when {@code timeoutMillis} is negative.
   * @throws IOException as {@link #seek}; "reader is closed" also when
   *     another thread closed the reader during the wait.
   */
  byte[] awaitCard(long timeoutMillis) throws IOException;

  /**
   * Moves the card on.
   *
   * @throws TagReaderRefusedException when the reader's reply was refused.
   * @throws TagReaderTimeoutException when the reader did not answer.
   * @throws IOException when the reader is closed, no port is open, or the
   *     request could not be written.
   */
  void move() throws IOException;

  /**
   * Closes the reader, once a call in progress on another thread has
   * returned, and ends an {@link #awaitCard} in progress. Closing again does
   * nothing.
   */
  @Override
  void close();

  /**
   * Opens a reader: {@code TagReader::open} in the app, a fake's
   * {@code open} in its tests.
   */
  interface Opener {
    /**
     * @return an open reader; close it when done.
     * @throws IOException as {@link TagReader#open}.
     */
    CardReader open() throws IOException;
  }
}
