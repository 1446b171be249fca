package android.kq;

import java.io.IOException;

/** The reader sent no reply frame within about one second. */
public class TagReaderTimeoutException extends IOException {
  private static final long serialVersionUID = 1L;

  /**
   * @param message which request went unanswered.
   */
  public TagReaderTimeoutException(String message) {
    super(message);
  }
}
