package tagport.example;

import java.io.IOException;
import tagport.sim.SimulatedReader;

/**
 * {@link ReaderDemo} against a simulated reader module in this JVM, with every
 * frame on the line printed. The node redirect library must be preloaded.
 */
public final class SimulatedReaderDemo {
  private SimulatedReaderDemo() {}

  public static void main(String[] args) throws IOException {
    final boolean ok;
    try (SimulatedReader module = SimulatedReader.start()) {
      System.out.println("simulated reader module on " + module.linePath());
      System.out.flush();
      module.logTraffic();
      ok = ReaderDemo.run();
    }
    System.exit(ok ? 0 : 1);
  }
}
