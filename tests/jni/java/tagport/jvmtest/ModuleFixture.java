package tagport.jvmtest;

import android.kq.Ctagport;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;

/**
 * A fresh simulated module behind "/dev/ttyMT3" for every test, and no port
 * left open by the test before.
 */
abstract class ModuleFixture {
  @BeforeEach
  void startModule() {
    SimulatedModule.start();
    Ctagport.close();
  }

  @AfterEach
  void stopModule() {
    Ctagport.close();
    SimulatedModule.stop();
  }
}
