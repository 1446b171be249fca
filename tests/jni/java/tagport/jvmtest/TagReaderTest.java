package tagport.jvmtest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static tagport.jvmtest.Frames.card;
import static tagport.jvmtest.Frames.seekReply;

import android.kq.Ctagport;
import android.kq.TagReader;
import android.kq.TagReaderTimeoutException;
import java.io.IOException;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;
import tagport.sim.SimulatedReader;
import tagport.sim.SimulatedReader.Fault;

/** The wrapper for new code: exceptions instead of codes, exact-length data. */
class TagReaderTest extends ModuleFixture {
  /** The port is closed when move, which does not open it, sends nothing. */
  private void assertPortClosed() {
    final int before = module.requests().length;
    assertEquals(-1, Ctagport.move());
    assertEquals(before, module.requests().length, "a request went out");
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

  static Stream<Arguments> failures() {
    return Stream.of(
        Arguments.of("open", Fault.WRONG_STATUS),
        Arguments.of("open", Fault.WRONG_TARGET),
        Arguments.of("seek", Fault.NO_CARD_FLAG),
        Arguments.of("seek", Fault.SHORT_SEEK),
        Arguments.of("seek", Fault.WRONG_COMMAND),
        Arguments.of("move", Fault.WRONG_COMMAND),
        Arguments.of("move", Fault.WRONG_STATUS));
  }

  private static void run(String operation) throws IOException {
    if (operation.equals("open")) {
      TagReader.open().close();
      return;
    }
    try (TagReader reader = TagReader.open()) {
      if (operation.equals("seek")) {
        reader.seek();
      } else {
        reader.move();
      }
    }
  }

  @ParameterizedTest(name = "{0} {1}")
  @MethodSource("failures")
  void aRefusedReplyIsAnIOExceptionButNoTimeout(String operation, Fault fault)
      throws IOException {
    if (!operation.equals("open")) {
      module.script(Fault.NONE);  // the open
    }
    module.script(fault);
    final IOException thrown = assertThrows(IOException.class, () -> run(operation));
    assertFalse(thrown instanceof TagReaderTimeoutException, thrown.toString());
    assertPortClosed();
  }

  @ParameterizedTest(name = "{0}")
  @ValueSource(strings = {"open", "seek"})
  void noReplyIsATimeout(String operation) {
    if (!operation.equals("open")) {
      module.script(Fault.NONE);
    }
    module.script(Fault.SILENT);
    assertThrows(TagReaderTimeoutException.class, () -> run(operation));
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
}
