package tagport.jvmtest;

import android.kq.CardReader;
import java.io.IOException;
import tagport.fake.FakeCardReader;

/**
 * The contract on the test kit's FakeCardReader. Run in a JVM with no
 * library path and nothing preloaded: the fake needs no native code.
 */
class FakeCardReaderContractTest extends CardReaderContract {
  @Override
  Bench startBench() {
    final FakeCardReader fake = new FakeCardReader();
    return new Bench() {
      @Override
      public CardReader open() throws IOException {
        return fake.open();
      }

      @Override
      public void answer(Answer answer) {
        switch (answer.name) {
          case "accept":
            fake.accept();
            break;
          case "card":
            fake.card(answer.card);
            break;
          case "noCard":
            fake.noCard();
            break;
          case "noReply":
            fake.noReply();
            break;
          default:
            fake.refuse(answer.rule);
            break;
        }
      }

      @Override
      public int[] requests() {
        return fake.requests();
      }

      @Override
      public void stop() {
        fake.close();
      }
    };
  }
}
