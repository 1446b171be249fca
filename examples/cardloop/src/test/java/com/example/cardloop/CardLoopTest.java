package com.example.cardloop;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static tagport.fake.FakeCardReader.MOVE;
import static tagport.fake.FakeCardReader.OPEN;
import static tagport.fake.FakeCardReader.SEEK;

import android.kq.TagReaderRefusedException.Rule;
import java.util.Arrays;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;
import java.util.concurrent.TimeUnit;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import tagport.fake.FakeCardReader;

class CardLoopTest {
  private final FakeCardReader reader = new FakeCardReader();
  private final BlockingQueue<String> told = new LinkedBlockingQueue<>();
  private final CardLoop loop =
      new CardLoop(
          reader::open,
          new CardLoop.Listener() {
            @Override
            public void onCard(byte[] card) {
              told.add("card of " + card.length + " bytes");
            }

            @Override
            public void onNoCard() {
              told.add("no card");
            }

            @Override
            public void onStopped(String why) {
              told.add(why);
            }
          });

  private String next() throws InterruptedException {
    final String what = told.poll(5, TimeUnit.SECONDS);
    assertNotNull(what, "the loop told nothing");
    return what;
  }

  @AfterEach
  void stopLoop() {
    loop.stop();
  }

  @Test
  void readsCardsAsTheyCome() throws InterruptedException {
    reader.noCard().card(new byte[8]);  // the open and the move are accepted
    reader.noCard().noCard().card(new byte[12]);
    loop.start();
    assertEquals("card of 8 bytes", next());
    assertEquals("card of 12 bytes", next());
    loop.stop();
    assertEquals("stopped", next());
    final int[] requests = {OPEN, SEEK, SEEK, MOVE, SEEK, SEEK, SEEK, MOVE};
    assertArrayEquals(requests, Arrays.copyOf(reader.requests(), requests.length));
  }

  @Test
  void stopsWhenTheReaderRefuses() throws InterruptedException {
    reader.accept().refuse(Rule.FAILURE_STATUS);  // the open, then the first seek
    loop.start();
    assertEquals("the reader refused (failure status): call service", next());
  }

  @Test
  void stopsWhenTheReaderDoesNotAnswer() throws InterruptedException {
    reader.noReply();  // the open
    loop.start();
    assertEquals("the reader does not answer: call service", next());
  }
}
