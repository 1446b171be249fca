package android.kq;

import java.io.IOException;

/**
 * Why the last call of {@link Ctagport} failed: its native part,
 * libtagport_outcome.so, reads the link state libtagport.so exports (the
 * reply frame, the request, the port) and judges the reply by the reader's
 * rules. Used by {@link TagReader} under its lock, so no other call changes
 * that state between the call and the reading.
 */
final class LastOutcome {
  private static final String LIBRARY = "tagport_outcome";

  // The verdicts of outcome/last_outcome_jni.cc, in the low byte of judge().
  private static final int ACCEPTED = 0;
  private static final int NO_CARD = 1;
  private static final int FAILURE_STATUS = 2;
  private static final int OTHER_COMMAND = 3;
  private static final int OTHER_TARGET = 4;
  private static final int CARD_FLAG = 5;
  private static final int SHORT_DATA = 6;
  private static final int NOT_SENT = 7;
  private static final int NO_PORT = 8;

  /** Guarded by TagReader's lock. */
  private static boolean loaded;

  private final int verdict;
  private final int status;
  private final int command;
  private final int target;

  private LastOutcome(long judged) {
    verdict = (int) (judged & 0xFF);
    status = (int) (judged >> 8 & 0xFF);
    command = (int) (judged >> 16 & 0xFF);
    target = (int) (judged >> 24 & 0xFF);
  }

  /**
   * Loads libtagport_outcome.so, once. Called under TagReader's lock.
   *
   * @throws UnsatisfiedLinkError naming libtagport_outcome.so when it cannot
   *     be loaded: the app was packaged without it, which no retry mends.
   */
  static void load() {
    if (loaded) {
      return;
    }
    // libtagport_outcome.so needs libtagport.so, and the loader of Android
    // before 6.0 finds a needed library only when it is loaded already.
    System.loadLibrary("tagport");
    try {
      System.loadLibrary(LIBRARY);
    } catch (UnsatisfiedLinkError e) {
      final UnsatisfiedLinkError named =
          new UnsatisfiedLinkError(
              System.mapLibraryName(LIBRARY)
                  + " could not be loaded: TagReader needs it beside "
                  + System.mapLibraryName("tagport")
                  + " (build and package both; "
                  + e.getMessage()
                  + ")");
      named.initCause(e);
      throw named;
    }
    loaded = true;
  }

  /** Before a call that may fail before its exchange: see {@link #judge()}. */
  static native void forget();

  /** Packs the verdict and the reply's status, command and target bytes. */
  private static native long judge();

  /**
   * The outcome of the call just made, which returned -1.
   *
   * @return what the link state tells.
   */
  static LastOutcome read() {
    return new LastOutcome(judge());
  }

  /**
   * Whether the reader answered a seek that no card is there.
   *
   * @return true for that answer, no fault.
   */
  boolean noCard() {
    return verdict == NO_CARD;
  }

  /**
   * The exception for the failed call.
   *
   * @param operation "open", "seek" or "move".
   * @return a {@link TagReaderRefusedException} when a reply was refused,
   *     else a plain {@link IOException} saying what failed.
   */
  IOException failure(String operation) {
    switch (verdict) {
      case FAILURE_STATUS:
        return refused(operation, TagReaderRefusedException.Rule.FAILURE_STATUS);
      case OTHER_COMMAND:
        return refused(operation, TagReaderRefusedException.Rule.OTHER_COMMAND);
      case OTHER_TARGET:
        return refused(operation, TagReaderRefusedException.Rule.OTHER_TARGET);
      case CARD_FLAG:
        return refused(operation, TagReaderRefusedException.Rule.CARD_FLAG);
      case SHORT_DATA:
        return refused(operation, TagReaderRefusedException.Rule.SHORT_DATA);
      case NO_PORT:
        return new IOException(
            "open".equals(operation)
                ? "open failed: \"/dev/ttyMT3\" could not be opened (no such node, no permission,"
                    + " or another program holds it); tagport-probe doctor on the device tells"
                    + " which"
                : operation + " failed: no port open");
      case NOT_SENT:
        return new IOException(
            operation
                + ("open".equals(operation)
                    ? " failed: the line could not be configured, or the request could not be"
                        + " written"
                    : " failed: the request could not be written")
                + "; tagport-probe doctor on the device tells why");
      case ACCEPTED:
      default:
        // The reply met the rules, yet the call failed: nothing the link
        // state tells (an array that could not take the data, say).
        return new IOException(operation + " failed (result -1)");
    }
  }

  private TagReaderRefusedException refused(
      String operation, TagReaderRefusedException.Rule rule) {
    return new TagReaderRefusedException(operation, rule, status, command, target);
  }
}
