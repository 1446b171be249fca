package tagport.jvmtest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;

import android.kq.Ctagport;
import java.util.Arrays;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** The library's methods bound to instance native methods. */
class InstanceMethodsTest {
  private final Ctagport reader = new Ctagport();

  @BeforeEach
  void startModule() {
    SimulatedModule.start();
  }

  @AfterEach
  void stopModule() {
    reader.close();
    SimulatedModule.stop();
  }

  @Test
  void openSeekMoveCloseWorkAsInstanceMethods() {
    final byte[] cardData = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    SimulatedModule.setCardData(cardData);
    assertEquals(0, reader.open());
    final byte[] data = new byte[16];
    assertEquals(cardData.length, reader.seek(data));
    assertArrayEquals(cardData, Arrays.copyOf(data, cardData.length));
    assertEquals(0, reader.move());
    assertEquals(0, reader.close());
    assertEquals(-1, reader.move(), "move after close");
    assertEquals(3, SimulatedModule.requests().length);
  }

  @Test
  void refusalsAndTimeoutsComeThroughAsInstanceMethods() {
    SimulatedModule.script("wrong-target");
    assertEquals(-1, reader.open());
    SimulatedModule.script("silent");
    assertEquals(-2, reader.seek(new byte[16]));
    assertEquals(-1, reader.seek(null));
  }
}
