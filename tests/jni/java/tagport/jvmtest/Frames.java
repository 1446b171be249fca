package tagport.jvmtest;

import java.util.Arrays;
import tagport.sim.SimulatedReader;

/** Small helpers for building and comparing byte strings in the tests. */
final class Frames {
  static final int TARGET = 5;
  static final int OPEN = 0x40;
  static final int SEEK = 0x41;
  static final int MOVE = 0x50;

  /** What the array holds before a call that must leave parts of it alone. */
  static final byte SENTINEL = (byte) 0x5A;

  private Frames() {}

  static byte[] bytes(int... values) {
    final byte[] out = new byte[values.length];
    for (int i = 0; i < values.length; ++i) {
      out[i] = (byte) values[i];
    }
    return out;
  }

  static byte[] concat(byte[]... parts) {
    int length = 0;
    for (byte[] part : parts) {
      length += part.length;
    }
    final byte[] out = new byte[length];
    int at = 0;
    for (byte[] part : parts) {
      System.arraycopy(part, 0, out, at, part.length);
      at += part.length;
    }
    return out;
  }

  static byte[] filled(int length) {
    final byte[] out = new byte[length];
    Arrays.fill(out, SENTINEL);
    return out;
  }

  /** Card data whose bytes differ from each other and from the sentinel. */
  static byte[] card(int length) {
    final byte[] out = new byte[length];
    for (int i = 0; i < length; ++i) {
      out[i] = (byte) (i * 7 + 1);
    }
    return out;
  }

  /** A seek reply: flag byte, three unexamined bytes, then the data. */
  static byte[] seekReply(int target, int status, int command, int flag, byte[] data) {
    return SimulatedReader.frame(
        target, status, command, concat(bytes(flag, 0xEE, 0xDD, 0xCC), data));
  }

  static byte[] seekReply(byte[] data) {
    return seekReply(TARGET, 1, SEEK, 1, data);
  }

  static String hex(byte[] data) {
    final StringBuilder text = new StringBuilder();
    for (byte b : data) {
      text.append(String.format("%02X ", b & 0xFF));
    }
    return text.toString().trim();
  }
}
