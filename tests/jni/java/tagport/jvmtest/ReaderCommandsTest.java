package tagport.jvmtest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assumptions.assumeFalse;
import static tagport.jvmtest.Frames.MOVE;
import static tagport.jvmtest.Frames.OPEN;
import static tagport.jvmtest.Frames.SEEK;
import static tagport.jvmtest.Frames.TARGET;
import static tagport.jvmtest.Frames.bytes;
import static tagport.jvmtest.Frames.card;
import static tagport.jvmtest.Frames.concat;
import static tagport.jvmtest.Frames.filled;
import static tagport.jvmtest.Frames.hex;
import static tagport.jvmtest.Frames.seekReply;

import android.kq.Ctagport;
import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.function.IntSupplier;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;
import tagport.sim.SimulatedReader;
import tagport.sim.SimulatedReader.Fault;

/** open, seek, move and close of the shipped class against the simulated module. */
class ReaderCommandsTest extends ModuleFixture {
  private static final byte[] OPEN_REQUEST =
      bytes(0x1E, 0x00, 0x09, 0x05, 0x00, 0xFF, 0x40, 0x01, 0x6C);
  private static final byte[] SEEK_REQUEST =
      bytes(0x1E, 0x00, 0x0B, 0x05, 0x00, 0xFF, 0x41, 0x04, 0x00, 0x00, 0x72);
  private static final byte[] MOVE_REQUEST =
      bytes(0x1E, 0x00, 0x09, 0x05, 0x00, 0xFF, 0x50, 0x00, 0x7B);

  private static void openReader() {
    assertEquals(0, Ctagport.open(), "open on a willing module");
  }

  @Test
  void eachMethodSendsItsRequestFrame() {
    openReader();
    Ctagport.seek(new byte[64]);
    Ctagport.move();
    final byte[][] requests = module.requests();
    assertEquals(3, requests.length);
    assertEquals(hex(OPEN_REQUEST), hex(requests[0]));
    assertEquals(hex(SEEK_REQUEST), hex(requests[1]));
    assertEquals(hex(MOVE_REQUEST), hex(requests[2]));
  }

  /** An open or move reply with the usual one-byte payload. */
  private static byte[] reply(int target, int status, int command) {
    return SimulatedReader.frame(target, status, command, bytes(0));
  }

  static Stream<Arguments> openAndMoveReplies() {
    return Stream.of(
        Arguments.of("accepted", OPEN, 0, reply(TARGET, 1, OPEN)),
        Arguments.of("literal accepted reply", OPEN, 0,
            bytes(0x1E, 0x00, 0x09, 0x05, 0x00, 0x01, 0x40, 0x00, 0x6D)),
        Arguments.of("no payload", OPEN, 0, SimulatedReader.frame(TARGET, 1, OPEN, bytes())),
        Arguments.of("failure status", OPEN, -1, reply(TARGET, 2, OPEN)),
        Arguments.of("status 0", OPEN, -1, reply(TARGET, 0, OPEN)),
        Arguments.of("target 6", OPEN, -1, reply(6, 1, OPEN)),
        Arguments.of("move's command", OPEN, -1, reply(TARGET, 1, MOVE)),
        Arguments.of("noise ahead", OPEN, 0,
            concat(bytes(0x00, 0x55, 0xAA), reply(TARGET, 1, OPEN))),
        Arguments.of("first frame refused, second fine", OPEN, -1,
            concat(reply(TARGET, 2, OPEN), reply(TARGET, 1, OPEN))),
        Arguments.of("move accepted", MOVE, 0, reply(TARGET, 1, MOVE)),
        Arguments.of("move failure status", MOVE, -1, reply(TARGET, 2, MOVE)),
        Arguments.of("move target 6", MOVE, -1, reply(6, 1, MOVE)),
        Arguments.of("move answered as open", MOVE, -1, reply(TARGET, 1, OPEN)),
        Arguments.of("move answered as seek", MOVE, -1, seekReply(TARGET, 1, SEEK, 1, card(8))));
  }

  @ParameterizedTest(name = "{0}")
  @MethodSource("openAndMoveReplies")
  void openAndMoveJudgeTheFirstReplyFrame(String name, int command, int expected, byte[] reply) {
    if (command == MOVE) {
      openReader();
    }
    module.scriptRaw(reply);
    final int result = command == OPEN ? Ctagport.open() : Ctagport.move();
    assertEquals(expected, result, name);
  }

  static Stream<Arguments> refusedSeekReplies() {
    return Stream.of(
        Arguments.of("19-byte frame", seekReply(card(7))),
        Arguments.of("flag byte 0", seekReply(TARGET, 1, SEEK, 0, card(8))),
        Arguments.of("flag byte 2", seekReply(TARGET, 1, SEEK, 2, card(8))),
        Arguments.of("failure status", seekReply(TARGET, 2, SEEK, 1, card(8))),
        Arguments.of("target 6", seekReply(6, 1, SEEK, 1, card(8))),
        Arguments.of("open's command", seekReply(TARGET, 1, OPEN, 1, card(8))),
        Arguments.of("short frame with the flag",
            SimulatedReader.frame(TARGET, 1, SEEK, bytes(1))),
        Arguments.of("more data than the array", seekReply(card(33))));
  }

  @ParameterizedTest(name = "{0}")
  @MethodSource("refusedSeekReplies")
  void seekRefusesAndLeavesTheArrayAlone(String name, byte[] reply) {
    openReader();
    module.scriptRaw(reply);
    final byte[] data = filled(32);
    assertEquals(-1, Ctagport.seek(data), name);
    assertArrayEquals(filled(32), data, name);
  }

  @ParameterizedTest(name = "{0} data bytes")
  @ValueSource(ints = {8, 9, 32, 255, 2036})
  void seekDeliversTheDataAndLeavesTheRest(int count) {
    openReader();
    final byte[] expected = card(count);
    module.scriptRaw(seekReply(expected));
    final int spare = 40;
    final byte[] data = filled(count + spare);
    assertEquals(count, Ctagport.seek(data));
    assertArrayEquals(expected, Arrays.copyOf(data, count));
    assertArrayEquals(filled(spare), Arrays.copyOfRange(data, count, count + spare));
  }

  static Stream<Arguments> seekOutcomes() {
    return Stream.of(
        Arguments.of("accepted", true, seekReply(card(8)), 8),
        Arguments.of("refused", true, seekReply(TARGET, 1, SEEK, 0, card(8)), -1),
        Arguments.of("more data than the array", true, seekReply(card(33)), -1),
        Arguments.of("no reply", true, null, -2),
        Arguments.of("not sent", false, null, -1));
  }

  /** A copy the JVM made is freed only by a release in mode 0 or JNI_ABORT. */
  @ParameterizedTest(name = "{0}")
  @MethodSource("seekOutcomes")
  void seekReleasesTheElementsItGotOnceInModeZero(
      String name, boolean open, byte[] reply, int expected) {
    if (open) {
      openReader();
      if (reply == null) {
        module.script(Fault.SILENT);
      } else {
        module.scriptRaw(reply);
      }
    }
    final int[] seek = LibraryProbes.seekWatchingElements(filled(32));
    assertEquals(expected, seek[LibraryProbes.SEEK_RESULT], "result");
    assertEquals(1, seek[LibraryProbes.SEEK_GETS], "gets");
    assertEquals(1, seek[LibraryProbes.SEEK_RELEASES], "releases");
    assertEquals(0, seek[LibraryProbes.SEEK_LAST_RELEASE_MODE], "release mode");
    assertEquals(1, seek[LibraryProbes.SEEK_RELEASES_OF_WHAT_WAS_GOT], "elements released");
  }

  @Test
  void seekFillsAnArrayOfExactlyTheDataLength() {
    openReader();
    module.scriptRaw(seekReply(card(20)));
    final byte[] data = filled(20);
    assertEquals(20, Ctagport.seek(data));
    assertArrayEquals(card(20), data);
  }

  @Test
  void seekUsesTheModulesCardDataInPiecesAndLate() {
    openReader();
    final byte[] expected = card(16);
    module.setCardData(expected);
    module.script(Fault.NONE, 30, 6);
    final byte[] data = filled(16);
    assertEquals(16, Ctagport.seek(data));
    assertArrayEquals(expected, data);
  }

  static Stream<Arguments> arraysThatCannotTakeACard() {
    return Stream.of(
        Arguments.of("null", null),
        Arguments.of("empty", new byte[0]),
        Arguments.of("7 bytes", filled(7)));
  }

  @ParameterizedTest(name = "{0}")
  @MethodSource("arraysThatCannotTakeACard")
  void seekRefusesAnArrayThatCannotTakeACardAndSendsNothing(String name, byte[] data) {
    openReader();
    assertEquals(-1, Ctagport.seek(data), name);
    assertEquals(1, module.requests().length, "only the open request");
  }

  @Test
  void seekAndMoveWithoutAnOpenPortFailAndSendNothing() {
    final byte[] data = filled(16);
    assertEquals(-1, Ctagport.seek(data));
    assertArrayEquals(filled(16), data);
    assertEquals(-1, Ctagport.move());
    assertEquals(0, module.requests().length);
  }

  @Test
  void closeAlwaysGivesZero() {
    assertEquals(0, Ctagport.close(), "nothing open");
    openReader();
    assertEquals(0, Ctagport.close(), "open port");
    assertEquals(0, Ctagport.close(), "closed again");
  }

  @Test
  void openFailsWhenTheNodeIsMissingAndWorksOnceItIsThere() throws IOException {
    module.close();
    assumeFalse(Files.exists(Paths.get("/dev/ttyMT3")), "a real reader node is present");
    assertEquals(-1, Ctagport.open());
    assertEquals(0, Ctagport.close());
    module = SimulatedReader.start();
    openReader();
  }

  private static long openDescriptors() throws IOException {
    try (Stream<?> entries = Files.list(Paths.get("/proc/self/fd"))) {
      return entries.count();
    }
  }

  @Test
  void repeatedOpenWithoutCloseKeepsOneDescriptor() throws IOException {
    openReader();
    assertEquals(0, Ctagport.close());
    final long before = openDescriptors();
    final int opens = 20;
    for (int i = 0; i < opens; ++i) {
      openReader();
    }
    final long whileOpen = openDescriptors();
    // One port descriptor; a leak would add one per open. A little slack for
    // descriptors the JVM itself may open meanwhile.
    assertTrue(whileOpen - before <= 2, "descriptors grew from " + before + " to " + whileOpen);
    assertEquals(0, Ctagport.close());
    assertTrue(openDescriptors() - before <= 1, "descriptor left open after close");
    assertEquals(opens + 1, module.requests().length);
  }

  static Stream<Arguments> unansweredRequests() {
    return Stream.of(
        Arguments.of("open", (IntSupplier) Ctagport::open),
        Arguments.of("seek", (IntSupplier) () -> Ctagport.seek(filled(16))),
        Arguments.of("move", (IntSupplier) Ctagport::move));
  }

  @ParameterizedTest(name = "{0}")
  @MethodSource("unansweredRequests")
  void noReplyGivesMinusTwoAfterAllPolls(String name, IntSupplier request) {
    if (!name.equals("open")) {
      openReader();
    }
    module.script(Fault.SILENT);
    LibraryProbes.resetLibraryCounts();
    final long start = System.nanoTime();
    assertEquals(-2, request.getAsInt(), name);
    final double seconds = (System.nanoTime() - start) / 1e9;
    assertTrue(seconds >= 1.0, name + " returned after " + seconds + " s");
    assertTrue(seconds < 10.0, name + " took " + seconds + " s");
    assertEquals(1000, LibraryProbes.libraryReads(), "reads");
    assertEquals(1000, LibraryProbes.librarySleeps(), "sleeps");
  }

  @Test
  void aReplyWithABadChecksumIsNoReply() {
    openReader();
    module.script(Fault.BAD_CHECKSUM);
    assertEquals(-2, Ctagport.move());
  }

  @Test
  void theLinkRecoversAfterRefusedAndMissingReplies() {
    openReader();
    module.script(Fault.WRONG_STATUS);
    module.script(Fault.SILENT);
    assertEquals(-1, Ctagport.move());
    assertEquals(-2, Ctagport.seek(filled(16)));
    final byte[] data = filled(8);
    assertEquals(8, Ctagport.seek(data));
    assertEquals(0, Ctagport.move());
  }

  /** Waits, up to a generous bound, until `count` bytes wait on the library's port. */
  private static void awaitPortInput(int count) throws InterruptedException {
    for (int waited = 0; LibraryProbes.portInputWaiting() < count; waited += 10) {
      assertTrue(waited < 20_000, "the late reply never reached the port");
      Thread.sleep(10);
    }
  }

  /**
   * A reply delay that falls after the library's wait: the wait is 1000 polls, not a time, and
   * takes longer on a loaded machine, so twice what a silent request's wait takes now.
   */
  private int afterTheWaitMs() {
    module.script(Fault.SILENT);
    final long start = System.nanoTime();
    assertEquals(-2, Ctagport.seek(filled(16)));
    return (int) (2 * (System.nanoTime() - start) / 1_000_000) + 500;
  }

  /**
   * A reply that arrives after its request's wait has ended, and before the next request goes
   * out, is discarded with the input waiting then: never judged as the next request's reply,
   * whether it carries the next request's command or another.
   */
  @Test
  void aLateReplyWaitingWhenTheNextRequestGoesOutIsNeverTakenForIt()
      throws InterruptedException {
    openReader();
    final byte[] firstCard = bytes(0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8);
    final byte[] secondCard = bytes(0xB1, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9);
    final int late = afterTheWaitMs();
    module.setCardData(firstCard);
    module.script(Fault.NONE, late, 1);
    assertEquals(-2, Ctagport.seek(filled(16)), "the reply comes after the wait");
    awaitPortInput(20);

    module.setCardData(secondCard);
    final byte[] data = filled(16);
    assertEquals(secondCard.length, Ctagport.seek(data), "the previous card's reply was judged");
    assertArrayEquals(secondCard, Arrays.copyOf(data, secondCard.length));

    module.script(Fault.NONE, late, 1);
    assertEquals(-2, Ctagport.seek(filled(16)));
    awaitPortInput(21);
    assertEquals(0, Ctagport.move(), "a late seek reply was judged as the move's");
    assertEquals(6, module.requests().length);
  }
}
