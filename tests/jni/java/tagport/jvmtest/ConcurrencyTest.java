package tagport.jvmtest;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static tagport.jvmtest.Frames.MOVE;
import static tagport.jvmtest.Frames.SEEK;
import static tagport.jvmtest.Frames.card;

import android.kq.Ctagport;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.Callable;
import java.util.concurrent.CyclicBarrier;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import org.junit.jupiter.api.Test;

/** Several Java threads share the one port through the synchronised class. */
class ConcurrencyTest extends ModuleFixture {
  private static final int THREADS = 8;
  private static final int ROUNDS = 25;

  @Test
  void eightThreadsSeekAndMoveAtOnceAndEveryCallIsAnswered() throws Exception {
    final byte[] cardData = card(12);
    module.setCardData(cardData);
    assertEquals(0, Ctagport.open());

    final CyclicBarrier start = new CyclicBarrier(THREADS);
    final List<Callable<String>> workers = new ArrayList<>();
    for (int t = 0; t < THREADS; ++t) {
      workers.add(() -> {
        start.await();
        for (int round = 0; round < ROUNDS; ++round) {
          final byte[] data = new byte[64];
          final int count = Ctagport.seek(data);
          if (count != cardData.length
              || !Arrays.equals(cardData, Arrays.copyOf(data, count))) {
            return "seek gave " + count + " in round " + round;
          }
          final int moved = Ctagport.move();
          if (moved != 0) {
            return "move gave " + moved + " in round " + round;
          }
        }
        return "ok";
      });
    }
    final ExecutorService pool = Executors.newFixedThreadPool(THREADS);
    try {
      for (Future<String> outcome : pool.invokeAll(workers)) {
        assertEquals("ok", outcome.get());
      }
    } finally {
      pool.shutdownNow();
    }

    final byte[][] requests = module.requests();
    assertEquals(1 + 2 * THREADS * ROUNDS, requests.length);
    int seeks = 0;
    int moves = 0;
    for (int i = 1; i < requests.length; ++i) {
      final int command = requests[i][6] & 0xFF;
      if (command == SEEK) {
        ++seeks;
      } else if (command == MOVE) {
        ++moves;
      }
    }
    assertEquals(THREADS * ROUNDS, seeks);
    assertEquals(THREADS * ROUNDS, moves);
  }
}
