package tagport.jvmtest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertNotSame;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import android.kq.CardReader;
import android.kq.TagReaderRefusedException;
import android.kq.TagReaderRefusedException.Rule;
import android.kq.TagReaderTimeoutException;
import java.io.IOException;
import java.io.InterruptedIOException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicReference;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;

/**
 * What an app's code gets from a {@link CardReader}, whichever it is: these
 * cases run on TagReader against the simulated module and on the test kit's
 * FakeCardReader, so the fake an app tests with cannot drift from the reader
 * it ships with. Each case scripts the answers to the requests it makes, in
 * their order.
 */
abstract class CardReaderContract {
  static final int OPEN = 0x40;
  static final int SEEK = 0x41;
  static final int MOVE = 0x50;

  static final byte[] CARD = Frames.card(12);

  /** The pause between tries of awaitCard, as the documents promise it. */
  static final long PAUSE_MILLIS = 100;

  /** A reader of one kind, and the way to script the answers it gets. */
  interface Bench {
    CardReader open() throws IOException;

    /** The answer to the next request not yet answered. */
    void answer(Answer answer);

    /** The command byte of every request the reader sent. */
    int[] requests();

    void stop();
  }

  /** One answer of the reader, in the terms of the fake's script. */
  static final class Answer {
    final String name;
    final byte[] card;
    final Rule rule;

    private Answer(String name, byte[] card, Rule rule) {
      this.name = name;
      this.card = card;
      this.rule = rule;
    }

    static Answer accept() {
      return new Answer("accept", null, null);
    }

    static Answer card(byte[] data) {
      return new Answer("card", data, null);
    }

    static Answer noCard() {
      return new Answer("noCard", null, null);
    }

    static Answer refuse(Rule rule) {
      return new Answer("refuse", null, rule);
    }

    static Answer noReply() {
      return new Answer("noReply", null, null);
    }

    @Override
    public String toString() {
      return rule == null ? name : name + "(" + rule + ")";
    }
  }

  private Bench bench;
  private final List<CardReader> opened = new ArrayList<>();
  private ExecutorService otherThreads;

  abstract Bench startBench() throws IOException;

  @BeforeEach
  void start() throws IOException {
    bench = startBench();
    otherThreads = Executors.newCachedThreadPool();
  }

  @AfterEach
  void stop() {
    otherThreads.shutdownNow();
    for (CardReader reader : opened) {
      reader.close();
    }
    bench.stop();
  }

  private void answer(Answer... answers) {
    for (Answer answer : answers) {
      bench.answer(answer);
    }
  }

  private CardReader open() throws IOException {
    final CardReader reader = bench.open();
    opened.add(reader);
    return reader;
  }

  /** An open reader; its open was accepted. */
  private CardReader opened() throws IOException {
    answer(Answer.accept());
    return open();
  }

  private void assertRequests(int... commands) {
    assertEquals(Arrays.toString(commands), Arrays.toString(bench.requests()));
  }

  /** The requests after the open, which must all be seeks: their count. */
  private int seeksAfterOpen() {
    final int[] requests = bench.requests();
    for (int i = 1; i < requests.length; ++i) {
      assertEquals(SEEK, requests[i], "request " + i);
    }
    return requests.length - 1;
  }

  private void awaitSeeks(int count) throws InterruptedException {
    while (bench.requests().length < 1 + count) {
      Thread.sleep(1);
    }
  }

  private static long millisSince(long nanos) {
    return (System.nanoTime() - nanos) / 1_000_000;
  }

  @Test
  void seekGivesTheCardOrNullForNoCard() throws IOException {
    final CardReader reader = opened();
    answer(Answer.card(CARD), Answer.noCard(), Answer.card(CARD));
    final byte[] first = reader.seek();
    assertArrayEquals(CARD, first);
    assertNull(reader.seek());
    final byte[] again = reader.seek();
    assertArrayEquals(CARD, again);
    assertNotSame(first, again);
    reader.move();
    assertRequests(OPEN, SEEK, SEEK, SEEK, MOVE);
  }

  static Stream<Arguments> refusals() {
    return Stream.of(
        Arguments.of("open", Rule.FAILURE_STATUS, 2, OPEN, 5),
        Arguments.of("open", Rule.OTHER_COMMAND, 1, MOVE, 5),
        Arguments.of("open", Rule.OTHER_TARGET, 1, OPEN, 6),
        Arguments.of("seek", Rule.FAILURE_STATUS, 2, SEEK, 5),
        Arguments.of("seek", Rule.OTHER_COMMAND, 1, OPEN, 5),
        Arguments.of("seek", Rule.OTHER_TARGET, 1, SEEK, 6),
        Arguments.of("seek", Rule.CARD_FLAG, 1, SEEK, 5),
        Arguments.of("seek", Rule.SHORT_DATA, 1, SEEK, 5),
        Arguments.of("move", Rule.FAILURE_STATUS, 2, MOVE, 5),
        Arguments.of("move", Rule.OTHER_COMMAND, 1, OPEN, 5),
        Arguments.of("move", Rule.OTHER_TARGET, 1, MOVE, 6));
  }

  /** Makes the call `operation` names on `reader` (open: opens a new one). */
  private void call(String operation, CardReader reader) throws IOException {
    if (operation.equals("open")) {
      open();
    } else if (operation.equals("seek")) {
      reader.seek();
    } else {
      reader.move();
    }
  }

  @ParameterizedTest(name = "{0} refused by {1}")
  @MethodSource("refusals")
  void aRefusalCarriesTheReplysBytesAndTheRuleAndTheReaderGoesOn(
      String operation, Rule rule, int status, int command, int target) throws IOException {
    final boolean opening = operation.equals("open");
    final CardReader reader = opening ? null : opened();
    answer(Answer.refuse(rule));
    final TagReaderRefusedException refused =
        assertThrows(TagReaderRefusedException.class, () -> call(operation, reader));
    assertEquals(rule, refused.rule());
    assertEquals(status, refused.status(), "status");
    assertEquals(command, refused.command(), "command");
    assertEquals(target, refused.target(), "target");
    assertTrue(
        refused.getMessage().startsWith(operation + " refused by the reader (" + rule.text() + ")"),
        refused.getMessage());
    // A refused open leaves no reader open; a refused call leaves its reader
    // usable.
    final CardReader next = opening ? opened() : reader;
    answer(Answer.card(CARD));
    assertArrayEquals(CARD, next.seek());
  }

  @Test
  void anOpenWithoutReplyTimesOutAndLeavesNoReaderOpen() throws IOException {
    answer(Answer.noReply());
    final TagReaderTimeoutException thrown =
        assertThrows(TagReaderTimeoutException.class, this::open);
    assertEquals(
        "open: no reply from the reader in about a second (a reply with a bad checksum counts"
            + " as none); check that the module is powered and wired",
        thrown.getMessage());
    opened().move();
    assertRequests(OPEN, OPEN, MOVE);
  }

  @Test
  void aSecondOpenIsRefusedAndAClosedReaderSendsNothing() throws IOException {
    final CardReader first = opened();
    final IOException refused = assertThrows(IOException.class, this::open);
    assertEquals("a reader is already open in this process; close it first", refused.getMessage());
    first.move();
    first.close();
    first.close();
    for (Executable call :
        new Executable[] {first::seek, first::move, () -> first.awaitCard(1000)}) {
      assertEquals("reader is closed", assertThrows(IOException.class, call).getMessage());
    }
    assertRequests(OPEN, MOVE);
  }

  @Test
  void awaitCardGivesACardThatIsThereAtOnce() throws IOException {
    final CardReader reader = opened();
    answer(Answer.card(CARD));
    assertArrayEquals(CARD, reader.awaitCard(60_000));
    assertRequests(OPEN, SEEK);
  }

  @Test
  void awaitCardTriesAgainAfterEachPauseUntilACardComes() throws IOException {
    final CardReader reader = opened();
    answer(Answer.noCard(), Answer.noCard(), Answer.card(CARD));
    final long start = System.nanoTime();
    assertArrayEquals(CARD, reader.awaitCard(60_000));
    final long took = millisSince(start);
    assertEquals(3, seeksAfterOpen());
    // Two pauses; the upper bound only catches a pause far too long.
    assertTrue(took >= 2 * PAUSE_MILLIS - 5, took + " ms");
    assertTrue(took < 15 * PAUSE_MILLIS, took + " ms");
  }

  @Test
  void awaitCardGivesNullWhenNoCardCameInTime() throws IOException {
    final CardReader reader = opened();
    for (int i = 0; i < 10; ++i) {
      answer(Answer.noCard());
    }
    final long timeout = 250;
    final long start = System.nanoTime();
    assertNull(reader.awaitCard(timeout));
    assertTrue(millisSince(start) >= timeout, millisSince(start) + " ms");
    // A try at the start and one after each pause, the last cut short at the
    // end: never more, however slow the machine makes the tries.
    final int seeks = seeksAfterOpen();
    final long mostTries = 1 + (timeout + PAUSE_MILLIS - 1) / PAUSE_MILLIS;
    assertTrue(seeks >= 1 && seeks <= mostTries, seeks + " seeks");
  }

  @Test
  void awaitCardForNoTimeTriesOnce() throws IOException {
    final CardReader reader = opened();
    answer(Answer.noCard(), Answer.card(CARD));
    assertNull(reader.awaitCard(0));
    assertEquals(1, seeksAfterOpen());
  }

  @Test
  void awaitCardThrowsARefusalAtOnce() throws IOException {
    final CardReader reader = opened();
    answer(Answer.noCard(), Answer.refuse(Rule.FAILURE_STATUS), Answer.card(CARD));
    assertEquals(
        Rule.FAILURE_STATUS,
        assertThrows(TagReaderRefusedException.class, () -> reader.awaitCard(60_000)).rule());
    assertEquals(2, seeksAfterOpen());
  }

  @Test
  void awaitCardThrowsNoReplyAtOnce() throws IOException {
    final CardReader reader = opened();
    answer(Answer.noReply(), Answer.card(CARD));
    assertThrows(TagReaderTimeoutException.class, () -> reader.awaitCard(60_000));
    assertEquals(1, seeksAfterOpen());
  }

  @Test
  void awaitCardRefusesANegativeTimeoutAndSendsNothing() throws IOException {
    final CardReader reader = opened();
    assertThrows(IllegalArgumentException.class, () -> reader.awaitCard(-1));
    assertRequests(OPEN);
  }

  /** Answers enough no-card replies for every try of a wait that is ended from outside. */
  private void noCardForAWhile() {
    for (int i = 0; i < 40; ++i) {
      answer(Answer.noCard());
    }
  }

  @Test
  void anInterruptEndsAwaitCardAndTheThreadStaysInterrupted() throws Exception {
    final CardReader reader = opened();
    noCardForAWhile();
    final AtomicReference<Throwable> ended = new AtomicReference<>();
    final AtomicBoolean stillInterrupted = new AtomicBoolean();
    final Thread waiter =
        new Thread(
            () -> {
              try {
                reader.awaitCard(60_000);
              } catch (Throwable e) {
                ended.set(e);
              }
              stillInterrupted.set(Thread.currentThread().isInterrupted());
            });
    waiter.start();
    awaitSeeks(2);
    waiter.interrupt();
    waiter.join(5_000);
    assertFalse(waiter.isAlive(), "awaitCard goes on after the interrupt");
    assertInstanceOf(InterruptedIOException.class, ended.get());
    assertTrue(stillInterrupted.get());
    // An interrupted thread tries no more.
    final int sent = bench.requests().length;
    Thread.currentThread().interrupt();
    try {
      assertThrows(InterruptedIOException.class, () -> reader.awaitCard(60_000));
      assertTrue(Thread.currentThread().isInterrupted());
    } finally {
      Thread.interrupted();
    }
    assertEquals(sent, bench.requests().length);
  }

  @Test
  void closeFromAnotherThreadEndsAwaitCardPromptly() throws Exception {
    final CardReader reader = opened();
    noCardForAWhile();
    final Future<byte[]> wait = otherThreads.submit(() -> reader.awaitCard(60_000));
    awaitSeeks(2);
    final long closing = System.nanoTime();
    reader.close();
    final ExecutionException thrown =
        assertThrows(ExecutionException.class, () -> wait.get(5, TimeUnit.SECONDS));
    assertInstanceOf(IOException.class, thrown.getCause());
    assertEquals("reader is closed", thrown.getCause().getMessage());
    // close() waits for a try in progress, then the pause ends at once.
    assertTrue(millisSince(closing) < 2_000, millisSince(closing) + " ms");
    final int sent = bench.requests().length;
    Thread.sleep(2 * PAUSE_MILLIS);
    assertEquals(sent, bench.requests().length, "a request after close");
  }
}
