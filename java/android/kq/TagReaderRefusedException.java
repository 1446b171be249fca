package android.kq;

import java.io.IOException;
import java.util.Locale;

/**
 * The reader answered, and its reply was refused: the reader is there and
 * talking, but did not do what was asked. The reply's status, command and
 * target bytes and the rule it broke tell why.
 */
public class TagReaderRefusedException extends IOException {
  private static final long serialVersionUID = 1L;

  /** The rule a reply broke, checked in this order. */
  public enum Rule {
    /** The status byte is not 1: the reader reports a failure. */
    FAILURE_STATUS("failure status"),
    /** The reply carries another command byte than the request. */
    OTHER_COMMAND("another command"),
    /** The reply comes from another target than 5. */
    OTHER_TARGET("another target"),
    /** A seek reply whose card flag (byte 7) is neither 1 (a card) nor 0 (no card). */
    CARD_FLAG("unknown card flag"),
    /** A seek reply with a card but fewer than 8 bytes of its data. */
    SHORT_DATA("short data");

    private final String text;

    Rule(String text) {
      this.text = text;
    }

    /**
     * How the message names the rule.
     *
     * @return such as "failure status".
     */
    public String text() {
      return text;
    }
  }

  private final Rule rule;
  private final int status;
  private final int command;
  private final int target;

  /**
   * @param operation the request refused: "open", "seek" or "move".
   * @param rule the rule the reply broke.
   * @param status the reply's status byte, 0 to 255.
   * @param command the reply's command byte, 0 to 255.
   * @param target the reply's target byte, 0 to 255.
   */
  public TagReaderRefusedException(
      String operation, Rule rule, int status, int command, int target) {
    super(
        String.format(
            Locale.ROOT,
            "%s refused by the reader (%s): reply status %d, command 0x%02X, target %d",
            operation,
            rule.text(),
            status,
            command,
            target));
    this.rule = rule;
    this.status = status;
    this.command = command;
    this.target = target;
  }

  /**
   * The rule the reply broke.
   *
   * @return the rule.
   */
  public Rule rule() {
    return rule;
  }

  /**
   * The reply's status byte (1 is success).
   *
   * @return 0 to 255.
   */
  public int status() {
    return status;
  }

  /**
   * The reply's command byte (the request's: 0x40 open, 0x41 seek, 0x50 move).
   *
   * @return 0 to 255.
   */
  public int command() {
    return command;
  }

  /**
   * The reply's target byte (the reader's is 5).
   *
   * @return 0 to 255.
   */
  public int target() {
    return target;
  }
}
