package tagport.jvmtest;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.ByteArrayOutputStream;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.util.function.BooleanSupplier;
import org.junit.jupiter.api.Test;
import tagport.example.ReaderDemo;
import tagport.sim.SimulatedReader.Fault;

/** The demonstration program's report, step by step. */
class ReaderDemoTest extends ModuleFixture {
  private static String[] capture(BooleanSupplier expectOk, boolean ok) {
    final PrintStream saved = System.out;
    final ByteArrayOutputStream text = new ByteArrayOutputStream();
    System.setOut(new PrintStream(text, true, StandardCharsets.UTF_8));
    try {
      assertEquals(ok, expectOk.getAsBoolean());
    } finally {
      System.setOut(saved);
    }
    return text.toString(StandardCharsets.UTF_8).split("\n");
  }

  @Test
  void reportsEveryStepOfASuccessfulRead() {
    module.setCardData(Frames.card(9));
    final String[] lines = capture(ReaderDemo::run, true);
    assertEquals(5, lines.length, String.join("\n", lines));
    assertTrue(lines[0].matches("open +-> +0 +success"), lines[0]);
    assertTrue(lines[1].matches("seek +-> +9 +success, 9 data bytes"), lines[1]);
    assertEquals("card   :  01 08 0F 16 1D 24 2B 32 39", lines[2]);
    assertTrue(lines[3].matches("move +-> +0 +success"), lines[3]);
    assertTrue(lines[4].matches("close +-> +0 +success"), lines[4]);
  }

  @Test
  void reportsARefusedOpenAndStillCloses() {
    module.script(Fault.WRONG_STATUS);
    final String[] lines = capture(ReaderDemo::run, false);
    assertEquals(2, lines.length, String.join("\n", lines));
    assertTrue(lines[0].matches("open +-> +-1 +failure.*"), lines[0]);
    assertTrue(lines[1].matches("close +-> +0 +success"), lines[1]);
  }

  @Test
  void reportsASeekWithoutReply() {
    module.script(Fault.NONE);
    module.script(Fault.SILENT);
    final String[] lines = capture(ReaderDemo::run, false);
    assertTrue(lines[1].matches("seek +-> +-2 +no reply.*"), lines[1]);
    assertFalse(lines[2].startsWith("card"), lines[2]);
  }
}
