package tagport.fake;

import android.kq.AbstractCardReader;
import android.kq.CardReader;
import android.kq.TagReader;
import android.kq.TagReaderRefusedException;
import android.kq.TagReaderTimeoutException;
import java.io.IOException;
import java.util.ArrayDeque;
import java.util.ArrayList;
import java.util.List;
import java.util.Objects;

/**
 * A card reader for an app's unit tests: pure Java, no native code, no
 * device, any operating system. It gives the app's code what {@code
 * TagReader} gives it, as the test scripts: cards, no card, refused replies
 * and no replies, the last without waiting a second for them. The same
 * contract tests run on it and on {@code TagReader}, so the two do not drift.
 *
 * <p>Each request the app makes ({@link #open}, {@link #seek}, each try of
 * {@link #awaitCard}, {@link #move}) takes the next scripted answer, first in
 * first out; a seek's answer ({@link #card}, {@link #noCard}) waits for a
 * seek, and an open or a move before it is accepted. Unscripted, an open or
 * a move is accepted and a seek finds no card, as with a reader nobody holds
 * a card to. Like {@code TagReader}, one fake is open at a time in the
 * process, and a closed one sends nothing.
 *
 * <pre>{@code
 * FakeCardReader reader = new FakeCardReader();
 * reader.noCard().card(new byte[] {1, 2, 3, 4, 5, 6, 7, 8});  // two seeks
 * CardReader.Opener opener = reader::open;                    // what the app's code is given
 * }</pre>
 *
 * <p>All methods may be called from any thread.
 */
public final class FakeCardReader extends AbstractCardReader {
  /** The command byte of the open request, in {@link #requests}. */
  public static final int OPEN = 0x40;

  /** The command byte of the seek request. */
  public static final int SEEK = 0x41;

  /** The command byte of the move request. */
  public static final int MOVE = 0x50;

  /** The fewest bytes of card data a reply carries; the most is TagReader's. */
  private static final int MIN_CARD_DATA = 8;

  /** A refusal's bytes: the reader's target, and the status byte of success. */
  private static final int TARGET = 5;

  private static final int STATUS_ACCEPTED = 1;

  /**
   * The process's one reader, as TagReader's port: held for every call of
   * every fake, and guards all their state.
   */
  private static final Object PROCESS = new Object();

  /** The fake that is open, or null. */
  private static FakeCardReader owner;

  private final ArrayDeque<Answer> script = new ArrayDeque<>();
  private final List<Integer> requests = new ArrayList<>();

  /** A closed fake, to be scripted and then opened. */
  public FakeCardReader() {
    super(PROCESS);
  }

  /**
   * The next request is accepted: an open or a move.
   *
   * @return this fake, to script on.
   */
  public FakeCardReader accept() {
    return queue(new Answer(Kind.ACCEPT, null, null));
  }

  /**
   * The next seek finds this card; an open or a move before it is accepted.
   *
   * @param data the card's data, 8 to 2036 bytes as a reply carries them.
   * @return this fake, to script on.
   * @throws IllegalArgumentException for data no reply could carry.
   */
  public FakeCardReader card(byte[] data) {
    Objects.requireNonNull(data, "data");
    if (data.length < MIN_CARD_DATA || data.length > TagReader.MAX_CARD_DATA) {
      throw new IllegalArgumentException(
          "a card of "
              + data.length
              + " bytes: a reply carries 8 to 2036 (fewer is refused as short data)");
    }
    return queue(new Answer(Kind.CARD, data.clone(), null));
  }

  /**
   * The next seek finds no card; an open or a move before it is accepted.
   *
   * @return this fake, to script on.
   */
  public FakeCardReader noCard() {
    return queue(new Answer(Kind.NO_CARD, null, null));
  }

  /**
   * The reply to the next request is refused by {@code rule}, with the bytes
   * a reader breaking it sends: status 2 for a failure status, target 6 for
   * another target, command 0x40 (0x50 for an open) for another command.
   *
   * @param rule the rule the reply breaks; {@code CARD_FLAG} and {@code
   *     SHORT_DATA} only a seek's reply can break.
   * @return this fake, to script on.
   */
  public FakeCardReader refuse(TagReaderRefusedException.Rule rule) {
    return queue(new Answer(Kind.REFUSE, null, Objects.requireNonNull(rule, "rule")));
  }

  /**
   * The next request gets no reply: a {@link TagReaderTimeoutException}, at
   * once (the real reader is given up after about a second).
   *
   * @return this fake, to script on.
   */
  public FakeCardReader noReply() {
    return queue(new Answer(Kind.NO_REPLY, null, null));
  }

  private FakeCardReader queue(Answer answer) {
    synchronized (PROCESS) {
      script.add(answer);
    }
    return this;
  }

  /**
   * The command byte of every request made so far, in order: {@link #OPEN},
   * {@link #SEEK}, {@link #MOVE}. A call that fails before a request goes out
   * (on a closed reader, an open while another is open) is not among them.
   *
   * @return a new array.
   */
  public int[] requests() {
    synchronized (PROCESS) {
      final int[] commands = new int[requests.size()];
      for (int i = 0; i < commands.length; ++i) {
        commands[i] = requests.get(i);
      }
      return commands;
    }
  }

  /**
   * Opens this fake as {@code TagReader.open} opens the reader; {@code
   * fake::open} is a {@link CardReader.Opener}. A fake closed again may be
   * opened again.
   *
   * @return this fake, open.
   * @throws TagReaderRefusedException when the open's reply is scripted to be
   *     refused; the fake stays closed.
   * @throws TagReaderTimeoutException when the open is scripted to get no
   *     reply; the fake stays closed.
   * @throws IOException when a fake is open already (that one stays open).
   */
  public FakeCardReader open() throws IOException {
    synchronized (PROCESS) {
      if (owner != null) {
        throw alreadyOpen();
      }
      answer(OPEN, "open");
      owner = this;
      return this;
    }
  }

  @Override
  public byte[] seek() throws IOException {
    synchronized (PROCESS) {
      ensureOpen();
      final byte[] card = answer(SEEK, "seek");
      return card == null ? null : card.clone();
    }
  }

  @Override
  public void move() throws IOException {
    synchronized (PROCESS) {
      ensureOpen();
      answer(MOVE, "move");
    }
  }

  @Override
  public void close() {
    synchronized (PROCESS) {
      if (owner != this) {
        return;
      }
      owner = null;
      PROCESS.notifyAll();
    }
  }

  private void ensureOpen() throws IOException {
    if (owner != this) {
      throw readerClosed();
    }
  }

  /** Records the request and gives its answer: a seek's card, or null. */
  private byte[] answer(int command, String operation) throws IOException {
    requests.add(command);
    final Answer next = script.peek();
    if (next != null && next.forSeek() && command != SEEK) {
      return null;  // accepted; the answer waits for its seek
    }
    Answer answer = script.poll();
    if (answer == null) {
      answer = new Answer(command == SEEK ? Kind.NO_CARD : Kind.ACCEPT, null, null);
    }
    if (answer.kind == Kind.NO_REPLY) {
      throw noReply(operation);
    }
    if (answer.kind == Kind.REFUSE) {
      throw refusal(operation, command, answer.rule);
    }
    if (answer.kind == Kind.ACCEPT && command == SEEK) {
      throw new IllegalStateException(
          "FakeCardReader: the app sent a seek, but the next scripted answer is accept(),"
              + " for an open or a move; script the answers in the order of the requests");
    }
    return answer.card;
  }

  private static TagReaderRefusedException refusal(
      String operation, int command, TagReaderRefusedException.Rule rule) {
    int status = STATUS_ACCEPTED;
    int replied = command;
    int target = TARGET;
    switch (rule) {
      case FAILURE_STATUS:
        status = 2;
        break;
      case OTHER_COMMAND:
        replied = command == OPEN ? MOVE : OPEN;
        break;
      case OTHER_TARGET:
        target = 6;
        break;
      case CARD_FLAG:
      case SHORT_DATA:
      default:
        if (command != SEEK) {
          throw new IllegalStateException(
              "FakeCardReader: the app sent "
                  + operation
                  + ", but the next scripted answer is refuse("
                  + rule
                  + "), which only a seek's reply can break");
        }
        break;
    }
    return new TagReaderRefusedException(operation, rule, status, replied, target);
  }

  private enum Kind {
    ACCEPT,
    CARD,
    NO_CARD,
    REFUSE,
    NO_REPLY
  }

  /** One scripted answer. */
  private static final class Answer {
    final Kind kind;
    final byte[] card;
    final TagReaderRefusedException.Rule rule;

    Answer(Kind kind, byte[] card, TagReaderRefusedException.Rule rule) {
      this.kind = kind;
      this.card = card;
      this.rule = rule;
    }

    boolean forSeek() {
      return kind == Kind.CARD || kind == Kind.NO_CARD;
    }
  }
}
