package tagport.example;

import android.kq.Ctagport;
import android.kq.TagReader;

/**
 * Reads one card: opens the reader, reads the card, moves it on and closes,
 * printing each step's result code and what it means. Exits with 0 when every
 * step succeeded, 1 otherwise.
 */
public final class ReaderDemo {
  private ReaderDemo() {}

  /** What a result code of open, move or close means. */
  static String meaning(int result) {
    switch (result) {
      case 0:
        return "success";
      case -1:
        return "failure (port, request or refused reply)";
      case -2:
        return "no reply within about one second";
      default:
        return "unexpected result";
    }
  }

  /** What a result code of seek means. */
  static String seekMeaning(int result) {
    return result > 0 ? "success, " + result + " data bytes" : meaning(result);
  }

  static String hex(byte[] data, int count) {
    final StringBuilder text = new StringBuilder();
    for (int i = 0; i < count; ++i) {
      if (i > 0) {
        text.append(' ');
      }
      text.append(String.format("%02X", data[i] & 0xFF));
    }
    return text.toString();
  }

  private static void report(String step, int result, String meaning) {
    System.out.printf("%-6s -> %3d  %s%n", step, result, meaning);
    System.out.flush();
  }

  /**
   * Runs the four steps; seek and move are skipped when open failed, close
   * always runs.
   *
   * @return true when every step succeeded.
   */
  public static boolean run() {
    final int opened = Ctagport.open();
    report("open", opened, meaning(opened));
    boolean ok = opened == 0;
    if (ok) {
      // Large enough for the longest reply the link can hold.
      final byte[] card = new byte[TagReader.MAX_CARD_DATA];
      final int count = Ctagport.seek(card);
      report("seek", count, seekMeaning(count));
      if (count > 0) {
        System.out.println("card   :  " + hex(card, count));
      }
      final int moved = Ctagport.move();
      report("move", moved, meaning(moved));
      ok = count > 0 && moved == 0;
    }
    final int closed = Ctagport.close();
    report("close", closed, meaning(closed));
    return ok && closed == 0;
  }

  public static void main(String[] args) {
    System.exit(run() ? 0 : 1);
  }
}
