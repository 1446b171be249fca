package tagport.jvmtest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static tagport.jvmtest.Frames.MOVE;
import static tagport.jvmtest.Frames.OPEN;
import static tagport.jvmtest.Frames.SEEK;
import static tagport.jvmtest.Frames.card;
import static tagport.jvmtest.Frames.seekReply;

import android.kq.Ctagport;
import android.kq.TagReader;
import android.kq.TagReaderTimeoutException;
import java.io.IOException;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.Callable;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.ValueSource;
import tagport.sim.SimulatedReader;
import tagport.sim.SimulatedReader.Fault;

/**
 * The wrapper for new code: exceptions instead of codes, exact-length data,
 * one reader at a time. Which replies are refused is the native side's
 * business (ReaderCommandsTest); here only how -1 and -2 come out.
 */
class TagReaderTest extends ModuleFixture {
  private static final String ALREADY_OPEN =
      "a reader is already open in this process; close it first";

  private static final String REFUSED =
      " failed (result -1): no port open, or the request could not be written, or the reply was"
          + " refused: a failure status, another command or target, no card, or short data;"
          + " tagport-probe doctor on the device tells which";

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
  void aRefusedOpenIsAnIOExceptionButNoTimeoutAndHoldsNoPort() {
    module.script(Fault.WRONG_STATUS);
    final IOException thrown = assertThrows(IOException.class, TagReader::open);
    assertFalse(thrown instanceof TagReaderTimeoutException, thrown.toString());
    assertEquals("open" + REFUSED, thrown.getMessage());
    assertPortClosed();
  }

  @Test
  void aRefusedSeekOrMoveSaysWhatRefusedMeans() throws IOException {
    try (TagReader reader = TagReader.open()) {
      module.script(Fault.NO_CARD_FLAG);
      assertEquals("seek" + REFUSED, assertThrows(IOException.class, reader::seek).getMessage());
      module.script(Fault.WRONG_COMMAND);
      assertEquals("move" + REFUSED, assertThrows(IOException.class, reader::move).getMessage());
    }
  }

  @Test
  void noReplyIsATimeout() throws IOException {
    try (TagReader reader = TagReader.open()) {
      module.script(Fault.SILENT);
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
    assertThrows(IOException.class, TagReader::open);
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
