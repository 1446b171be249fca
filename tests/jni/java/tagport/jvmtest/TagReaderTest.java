package tagport.jvmtest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotSame;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static tagport.jvmtest.Frames.MOVE;
import static tagport.jvmtest.Frames.OPEN;
import static tagport.jvmtest.Frames.SEEK;
import static tagport.jvmtest.Frames.TARGET;
import static tagport.jvmtest.Frames.bytes;
import static tagport.jvmtest.Frames.card;
import static tagport.jvmtest.Frames.concat;
import static tagport.jvmtest.Frames.seekReply;

import android.kq.Ctagport;
import android.kq.TagReader;
import android.kq.TagReaderRefusedException;
import android.kq.TagReaderRefusedException.Rule;
import android.kq.TagReaderTimeoutException;
import java.io.File;
import java.io.IOException;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.Callable;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;
import tagport.sim.SimulatedReader;
import tagport.sim.SimulatedReader.Fault;

/**
 * The reader for new code: exceptions instead of codes, exact-length data,
 * one reader at a time, and why a call failed, read from the link state
 * after it. Which replies are refused is the native side's business
 * (ReaderCommandsTest); here how each outcome comes out. What every
 * CardReader does alike is CardReaderContract's.
 */
class TagReaderTest extends ModuleFixture {
  private static final String ALREADY_OPEN =
      "a reader is already open in this process; close it first";

  private ExecutorService otherThreads;

  @BeforeEach
  void startThreads() {
    otherThreads = Executors.newCachedThreadPool();
  }

  @AfterEach
  void stopThreads() {
    otherThreads.shutdownNow();
  }

  /** The port is closed when move, which does not open it, sends nothing. */
  private void assertPortClosed() {
    final int before = module.requests().length;
    assertEquals(-1, Ctagport.move());
    assertEquals(before, module.requests().length, "a request went out");
  }

  /** The command bytes of every request the module received, in order. */
  private void assertRequests(int... commands) {
    final byte[][] requests = module.requests();
    final int[] received = new int[requests.length];
    for (int i = 0; i < requests.length; ++i) {
      received[i] = requests[i][6] & 0xFF;
    }
    assertArrayEquals(commands, received);
  }

  private void awaitRequests(int count) throws InterruptedException {
    while (module.requests().length < count) {
      Thread.sleep(1);
    }
  }

  @Test
  void theLargestCardIsWhatTheLibrarysFrameBufferHolds() {
    assertEquals(LibraryProbes.largestCardData(), TagReader.MAX_CARD_DATA);
  }

  @ParameterizedTest(name = "{0} data bytes")
  @ValueSource(ints = {8, 100, TagReader.MAX_CARD_DATA})
  void seekReturnsACopyOfExactlyTheData(int count) throws IOException {
    try (TagReader reader = TagReader.open()) {
      module.scriptRaw(seekReply(card(count)));
      final byte[] first = reader.seek();
      assertArrayEquals(card(count), first);
      module.scriptRaw(seekReply(card(count)));
      assertNotSame(first, reader.seek());
      reader.move();
    }
    assertPortClosed();
  }

  @Test
  void aRefusedOpenSaysWhatTheReplyBrokeAndHoldsNoPort() {
    module.script(Fault.WRONG_STATUS);
    final TagReaderRefusedException thrown =
        assertThrows(TagReaderRefusedException.class, TagReader::open);
    assertEquals(
        "open refused by the reader (failure status): reply status 2, command 0x40, target 5",
        thrown.getMessage());
    assertPortClosed();
  }

  /** A seek reply; its verdict: no card (rule null), or the rule and the reply's bytes. */
  static Stream<Arguments> seekReplies() {
    final byte[] noCardShort = SimulatedReader.frame(TARGET, 1, SEEK, bytes(0));
    return Stream.of(
        Arguments.of("no card", seekReply(TARGET, 1, SEEK, 0, card(8)), null, 0, 0, 0),
        Arguments.of("no card, 9-byte frame", noCardShort, null, 0, 0, 0),
        Arguments.of("no card, a card behind it", concat(noCardShort, seekReply(card(8))),
            null, 0, 0, 0),
        Arguments.of("8-byte frame, no flag byte", SimulatedReader.frame(TARGET, 1, SEEK, bytes()),
            Rule.SHORT_DATA, 1, SEEK, TARGET),
        Arguments.of("7 data bytes", seekReply(card(7)), Rule.SHORT_DATA, 1, SEEK, TARGET),
        Arguments.of("card flag 2", seekReply(TARGET, 1, SEEK, 2, card(8)),
            Rule.CARD_FLAG, 1, SEEK, TARGET),
        Arguments.of("no card, status 0", seekReply(TARGET, 0, SEEK, 0, card(8)),
            Rule.FAILURE_STATUS, 0, SEEK, TARGET),
        Arguments.of("no card, from target 6", seekReply(6, 1, SEEK, 0, card(8)),
            Rule.OTHER_TARGET, 1, SEEK, 6),
        Arguments.of("no card, open's command", seekReply(TARGET, 1, OPEN, 0, card(8)),
            Rule.OTHER_COMMAND, 1, OPEN, TARGET),
        Arguments.of("status and command FF", seekReply(TARGET, 0xFF, 0xFF, 1, card(8)),
            Rule.FAILURE_STATUS, 0xFF, 0xFF, TARGET),
        Arguments.of("target FE", seekReply(0xFE, 1, SEEK, 1, card(8)),
            Rule.OTHER_TARGET, 1, SEEK, 0xFE));
  }

  @ParameterizedTest(name = "{0}")
  @MethodSource("seekReplies")
  void seekTellsNoCardFromARefusedReply(
      String name, byte[] reply, Rule rule, int status, int command, int target)
      throws IOException {
    try (TagReader reader = TagReader.open()) {
      module.scriptRaw(reply);
      if (rule == null) {
        assertNull(reader.seek(), name);
      } else {
        final TagReaderRefusedException refused =
            assertThrows(TagReaderRefusedException.class, reader::seek, name);
        assertEquals(rule, refused.rule(), name);
        assertEquals(
            Arrays.asList(status, command, target),
            Arrays.asList(refused.status(), refused.command(), refused.target()),
            name + ": status, command, target");
      }
      module.scriptRaw(seekReply(card(8)));
      assertArrayEquals(card(8), reader.seek());
    }
  }

  @Test
  void aReplyWithABadChecksumIsNoReply() throws IOException {
    try (TagReader reader = TagReader.open()) {
      module.script(Fault.BAD_CHECKSUM);
      final TagReaderTimeoutException thrown =
          assertThrows(TagReaderTimeoutException.class, reader::seek);
      assertEquals(
          "seek: no reply from the reader in about a second (a reply with a bad checksum counts"
              + " as none); check that the module is powered and wired",
          thrown.getMessage());
    }
    assertPortClosed();
  }

  @Test
  void aLineHungUpGivesNoReplyThenARequestThatCannotBeWritten() throws IOException {
    try (TagReader reader = TagReader.open()) {
      module.script(Fault.HANG_UP);
      assertThrows(TagReaderTimeoutException.class, reader::move);
      final IOException thrown = assertThrows(IOException.class, reader::seek);
      assertEquals(IOException.class, thrown.getClass());
      assertEquals(
          "seek failed: the request could not be written; tagport-probe doctor on the device"
              + " tells why",
          thrown.getMessage());
    }
  }

  @Test
  void aCallAfterThePortWasClosedBehindTheReadersBackSaysNoPort() throws IOException {
    try (TagReader reader = TagReader.open()) {
      Ctagport.close();
      final IOException thrown = assertThrows(IOException.class, reader::move);
      assertEquals(IOException.class, thrown.getClass());
      assertEquals("move failed: no port open", thrown.getMessage());
    }
  }

  @Test
  void anOpenOnALineThatRefusesItsSettingsIsNoRefusalWhateverCameBefore() throws IOException {
    // A refused reply stays in the library's buffer after the call.
    try (TagReader reader = TagReader.open()) {
      module.script(Fault.WRONG_STATUS);
      assertThrows(TagReaderRefusedException.class, reader::seek);
    }
    LibraryProbes.failNextLineSettings();
    final IOException thrown = assertThrows(IOException.class, TagReader::open);
    assertEquals(IOException.class, thrown.getClass());
    assertEquals(
        "open failed: the line could not be configured, or the request could not be written;"
            + " tagport-probe doctor on the device tells why",
        thrown.getMessage());
    assertPortClosed();
  }

  @Test
  void aClosedReaderRefusesAndSendsNothing() throws IOException {
    final TagReader reader = TagReader.open();
    reader.close();
    reader.close();
    final int sent = module.requests().length;
    assertThrows(IOException.class, reader::seek);
    assertThrows(IOException.class, reader::move);
    assertEquals(sent, module.requests().length);
  }

  @Test
  void openFailsWithoutTheModuleAndHoldsNoPort() throws IOException {
    module.close();
    // The real node: absent here, or not answering as a reader.
    final IOException thrown = assertThrows(IOException.class, TagReader::open);
    if (!new File("/dev/ttyMT3").exists()) {
      assertEquals(IOException.class, thrown.getClass());
      assertEquals(
          "open failed: \"/dev/ttyMT3\" could not be opened (no such node, no permission, or"
              + " another program holds it); tagport-probe doctor on the device tells which",
          thrown.getMessage());
    }
    module = SimulatedReader.start();
    assertPortClosed();
  }

  @Test
  void aSecondOpenIsRefusedAndTheFirstReaderKeepsItsPort() throws IOException {
    try (TagReader first = TagReader.open()) {
      final IOException refused = assertThrows(IOException.class, TagReader::open);
      assertEquals(ALREADY_OPEN, refused.getMessage());
      first.move();
    }
    try (TagReader again = TagReader.open()) {
      again.move();
    }
    assertRequests(OPEN, MOVE, OPEN, MOVE);
  }

  @Test
  void anOpenFromAnotherThreadDuringACallIsRefusedAndTheCallCompletes() throws Exception {
    module.setCardData(card(10));
    try (TagReader reader = TagReader.open()) {
      module.script(Fault.NONE, 300, 1);  // the seek's reply comes late
      final Future<byte[]> seek = otherThreads.submit(reader::seek);
      awaitRequests(2);
      final IOException refused = assertThrows(IOException.class, TagReader::open);
      assertEquals(ALREADY_OPEN, refused.getMessage());
      assertArrayEquals(card(10), seek.get());
      reader.move();
    }
    assertRequests(OPEN, SEEK, MOVE);
  }

  @Test
  void ofEightThreadsOpeningAtOnceExactlyOneGetsTheReader() throws Exception {
    final int threads = 8;
    final CyclicBarrier start = new CyclicBarrier(threads);
    final List<Callable<TagReader>> openers = new ArrayList<>();
    for (int t = 0; t < threads; ++t) {
      openers.add(() -> {
        start.await();
        try {
          return TagReader.open();
        } catch (IOException e) {
          assertEquals(ALREADY_OPEN, e.getMessage());
          return null;
        }
      });
    }
    final List<TagReader> opened = new ArrayList<>();
    for (Future<TagReader> outcome : otherThreads.invokeAll(openers)) {
      if (outcome.get() != null) {
        opened.add(outcome.get());
      }
    }
    assertEquals(1, opened.size());
    opened.get(0).move();
    opened.get(0).close();
    assertRequests(OPEN, MOVE);
  }

  @Test
  void aClosedReaderNeverReachesTheNextReadersPortFromAnotherThread() throws Exception {
    final TagReader first = TagReader.open();
    first.close();
    try (TagReader second = TagReader.open()) {
      final Future<byte[]> stale = otherThreads.submit(first::seek);
      final ExecutionException thrown = assertThrows(ExecutionException.class, stale::get);
      assertEquals("reader is closed", thrown.getCause().getMessage());
      otherThreads.submit(first::close).get();
      second.move();
    }
    assertRequests(OPEN, OPEN, MOVE);
  }
}
