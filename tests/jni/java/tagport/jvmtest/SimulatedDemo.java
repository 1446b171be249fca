package tagport.jvmtest;

import tagport.example.ReaderDemo;

/** Runs the demonstration against a simulated reader module in this JVM. */
public final class SimulatedDemo {
  private SimulatedDemo() {}

  public static void main(String[] args) {
    System.out.println("simulated reader module on " + SimulatedModule.start());
    System.out.flush();
    SimulatedModule.logTraffic();
    final boolean ok = ReaderDemo.run();
    SimulatedModule.stop();
    System.exit(ok ? 0 : 1);
  }
}
