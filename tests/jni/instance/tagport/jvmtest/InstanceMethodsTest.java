package tagport.jvmtest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;

import android.kq.Ctagport;
import java.io.IOException;
import java.util.Arrays;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import tagport.sim.SimulatedReader;
import tagport.sim.SimulatedReader.Fault;

/** The library's methods bound to instance native methods. */
class InstanceMethodsTest {
  private final Ctagport reader = new Ctagport();
  private SimulatedReader module;

  @BeforeEach
  void startModule() throws IOException {
    module = SimulatedReader.start();
  }

  @AfterEach
  void stopModule() {
    reader.close();
    module.close();
  }

  @Test
  void openSeekMoveCloseWorkAsInstanceMethods() {
    final byte[] cardData = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    module.setCardData(cardData);
    assertEquals(0, reader.open());
    final byte[] data = new byte[16];
    assertEquals(cardData.length, reader.seek(data));
    assertArrayEquals(cardData, Arrays.copyOf(data, cardData.length));
    assertEquals(0, reader.move());
    assertEquals(0, reader.close());
    assertEquals(-1, reader.move(), "move after close");
    assertEquals(3, module.requests().length);
  }

  @Test
  void refusalsAndTimeoutsComeThroughAsInstanceMethods() {
    module.script(Fault.WRONG_TARGET);
    assertEquals(-1, reader.open());
    module.script(Fault.SILENT);
    assertEquals(-2, reader.seek(new byte[16]));
    assertEquals(-1, reader.seek(null));
  }
}
