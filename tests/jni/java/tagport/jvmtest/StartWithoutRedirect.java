package tagport.jvmtest;

import java.io.IOException;
import tagport.sim.SimulatedReader;

/**
 * Run without the node redirect preloaded: the simulated reader must refuse
 * to start, or the library would open the real node and find nobody there.
 * The refusal must name the library to preload, the path in args[0].
 */
public final class StartWithoutRedirect {
  private StartWithoutRedirect() {}

  public static void main(String[] args) throws IOException {
    try {
      SimulatedReader.start().close();
    } catch (IllegalStateException e) {
      System.out.println("refused: " + e.getMessage());
      System.exit(e.getMessage().endsWith("LD_PRELOAD=" + args[0]) ? 0 : 1);
    }
    System.out.println("started without the node redirect");
    System.exit(1);
  }
}
