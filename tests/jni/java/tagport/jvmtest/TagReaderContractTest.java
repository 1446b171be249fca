package tagport.jvmtest;

import android.kq.CardReader;
import android.kq.Ctagport;
import android.kq.TagReader;
import java.io.IOException;
import tagport.sim.SimulatedReader;
import tagport.sim.SimulatedReader.Fault;

/** The contract on TagReader, the simulated module answering it. */
class TagReaderContractTest extends CardReaderContract {
  @Override
  Bench startBench() throws IOException {
    final SimulatedReader module = SimulatedReader.start();
    Ctagport.close();
    return new Bench() {
      @Override
      public CardReader open() throws IOException {
        return TagReader.open();
      }

      @Override
      public void answer(Answer answer) {
        switch (answer.name) {
          case "accept":
            module.script(Fault.NONE);
            break;
          case "card":
            module.scriptRaw(Frames.seekReply(answer.card));
            break;
          case "noCard":
            module.script(Fault.NO_CARD_FLAG);
            break;
          case "noReply":
            module.script(Fault.SILENT);
            break;
          default:
            refuse(answer);
            break;
        }
      }

      private void refuse(Answer answer) {
        switch (answer.rule) {
          case FAILURE_STATUS:
            module.script(Fault.WRONG_STATUS);
            break;
          case OTHER_COMMAND:
            module.script(Fault.WRONG_COMMAND);
            break;
          case OTHER_TARGET:
            module.script(Fault.WRONG_TARGET);
            break;
          case SHORT_DATA:
            module.script(Fault.SHORT_SEEK);
            break;
          case CARD_FLAG:
          default:
            module.scriptRaw(Frames.seekReply(Frames.TARGET, 1, SEEK, 2, Frames.card(8)));
            break;
        }
      }

      @Override
      public int[] requests() {
        final byte[][] frames = module.requests();
        final int[] commands = new int[frames.length];
        for (int i = 0; i < frames.length; ++i) {
          commands[i] = frames[i][6] & 0xFF;
        }
        return commands;
      }

      @Override
      public void stop() {
        Ctagport.close();
        module.close();
      }
    };
  }
}
