package tagport.jvmtest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertDoesNotThrow;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static tagport.jvmtest.Frames.bytes;
import static tagport.jvmtest.Frames.card;

import android.kq.Ctagport;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.List;
import java.util.Set;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.function.Executable;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import tagport.sim.SimulatedReader;
import tagport.sim.SimulatedReader.Fault;

/** The simulated reader that apps test against: its life, its faults, its frames. */
class SimulatedReaderTest {
  @AfterEach
  void closePort() {
    Ctagport.close();
  }

  @Test
  void oneRunsAtATimeAndAStoppedOneRefusesEveryCall() throws IOException {
    final SimulatedReader first = SimulatedReader.start();
    try {
      assertTrue(Files.exists(Paths.get(first.linePath())), first.linePath());
      assertThrows(IllegalStateException.class, SimulatedReader::start);
      assertEquals(0, Ctagport.open(), "the first one still serves");
    } finally {
      first.close();
    }
    first.close();
    final List<Executable> calls = Arrays.asList(
        () -> first.setCardData(card(8)),
        () -> first.script(Fault.NONE),
        () -> first.scriptRaw(bytes(0x1E)),
        first::requests,
        first::logTraffic);
    for (Executable call : calls) {
      assertThrows(IllegalStateException.class, call);
    }
    try (SimulatedReader second = SimulatedReader.start()) {
      assertEquals(0, Ctagport.open());
      assertEquals(1, second.requests().length, "requests of the first one");
    }
  }

  @Test
  void everyFaultIsTakenByTheSimulatorAndCheckedBelow() throws IOException {
    final Set<Fault> checked =
        faults().map(row -> (Fault) row.get()[0]).collect(Collectors.toSet());
    try (SimulatedReader module = SimulatedReader.start()) {
      for (Fault fault : Fault.values()) {
        assertDoesNotThrow(() -> module.script(fault), fault.name());
        assertTrue(checked.contains(fault), fault + " has no row in faults()");
      }
    }
  }

  static Stream<Arguments> faults() {
    return Stream.of(
        Arguments.of(Fault.NONE, "seek", 8),
        Arguments.of(Fault.SILENT, "seek", -2),
        Arguments.of(Fault.BAD_CHECKSUM, "move", -2),
        Arguments.of(Fault.WRONG_STATUS, "seek", -1),
        Arguments.of(Fault.WRONG_TARGET, "move", -1),
        Arguments.of(Fault.WRONG_COMMAND, "seek", -1),
        Arguments.of(Fault.SHORT_SEEK, "seek", -1),
        Arguments.of(Fault.SHORT_SEEK, "move", 0),
        Arguments.of(Fault.NO_CARD_FLAG, "seek", -1),
        Arguments.of(Fault.NO_CARD_FLAG, "move", 0),
        Arguments.of(Fault.HANG_UP, "seek", -2));
  }

  @ParameterizedTest(name = "{0} on {1}")
  @MethodSource("faults")
  void aFaultReachesTheLibraryAsItSays(Fault fault, String request, int expected)
      throws IOException {
    try (SimulatedReader module = SimulatedReader.start()) {
      assertEquals(0, Ctagport.open());
      module.script(fault);
      final int result = request.equals("seek") ? Ctagport.seek(new byte[64]) : Ctagport.move();
      assertEquals(expected, result);
    }
  }

  @Test
  void scriptRefusesANegativeDelayAndFewerThanOnePiece() throws IOException {
    try (SimulatedReader module = SimulatedReader.start()) {
      assertThrows(IllegalArgumentException.class, () -> module.script(Fault.NONE, -1, 1));
      assertThrows(IllegalArgumentException.class, () -> module.scriptRaw(bytes(0x1E), 0, 0));
    }
  }

  @Test
  void frameBuildsLengthAndChecksum() {
    assertArrayEquals(
        bytes(0x1E, 0x00, 0x09, 0x05, 0x00, 0x01, 0x40, 0x00, 0x6D),
        SimulatedReader.frame(5, 1, 0x40, bytes(0x00)));
  }
}
