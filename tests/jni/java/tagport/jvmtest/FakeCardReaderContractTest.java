package tagport.jvmtest;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import android.kq.CardReader;
import android.kq.TagReaderRefusedException;
import android.kq.TagReaderRefusedException.Rule;
import java.io.IOException;
import org.junit.jupiter.api.Test;
import tagport.fake.FakeCardReader;

/**
 * The contract on the test kit's FakeCardReader. Run in a JVM with no
 * library path and nothing preloaded: the fake needs no native code.
 */
class FakeCardReaderContractTest extends CardReaderContract {
  @Test
  void aSeeksAnswerWaitsForASeekAndAnAcceptNeverAnswersOne() throws IOException {
    final FakeCardReader fake = new FakeCardReader();
    fake.card(CARD).refuse(Rule.FAILURE_STATUS).accept();
    try (FakeCardReader reader = fake.open()) {
      reader.move();
      assertArrayEquals(CARD, reader.seek());
      assertEquals(
          Rule.FAILURE_STATUS,
          assertThrows(TagReaderRefusedException.class, reader::move).rule());
      final IllegalStateException misplaced =
          assertThrows(IllegalStateException.class, reader::seek);
      assertTrue(misplaced.getMessage().contains("accept()"), misplaced.getMessage());
    }
    assertArrayEquals(new int[] {OPEN, MOVE, SEEK, MOVE, SEEK}, fake.requests());
  }

  /** As TagReader.open while a TagReader is open: one fake open at a time, whichever. */
  @Test
  void aSecondFakeDoesNotOpenWhileOneIsOpen() throws IOException {
    final FakeCardReader first = new FakeCardReader();
    final FakeCardReader second = new FakeCardReader();
    first.open();
    try {
      final IOException refused = assertThrows(IOException.class, second::open);
      assertEquals(
          "a reader is already open in this process; close it first", refused.getMessage());
      assertArrayEquals(new int[0], second.requests());
    } finally {
      first.close();
    }
    second.open().close();
    assertArrayEquals(new int[] {FakeCardReader.OPEN}, second.requests());
  }

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
