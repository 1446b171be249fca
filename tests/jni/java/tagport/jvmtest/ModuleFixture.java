package tagport.jvmtest;

import android.kq.Ctagport;
import java.io.IOException;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import tagport.sim.SimulatedReader;

/**
 * A fresh simulated module behind "/dev/ttyMT3" for every test, and no port
 * left open by the test before.
 */
abstract class ModuleFixture {
  /** The module of the running test. */
  SimulatedReader module;

  @BeforeEach
  void startModule() throws IOException {
    module = SimulatedReader.start();
    Ctagport.close();
  }

  @AfterEach
  void stopModule() {
    Ctagport.close();
    module.close();
  }
}
