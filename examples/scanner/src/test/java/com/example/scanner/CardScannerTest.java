package com.example.scanner;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.io.IOException;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;
import tagport.sim.SimulatedReader;
import tagport.sim.SimulatedReader.Fault;

class CardScannerTest {
  private SimulatedReader module;

  @BeforeEach
  void startModule() throws IOException {
    module = SimulatedReader.start();
  }

  @AfterEach
  void stopModule() {
    if (module != null) {  // when start() failed, its exception says why
      module.close();
    }
  }

  @Test
  void showsTheCard() {
    module.setCardData(new byte[] {0x04, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x6F, 0x70});
    assertEquals("card 04 1A 2B 3C 4D 5E 6F 70", new CardScanner().scan());
    assertEquals(3, module.requests().length);  // open, seek, move
  }

  @Test
  void saysWhenNoCardIsThere() {
    module.script(Fault.NONE);          // the open
    module.script(Fault.NO_CARD_FLAG);  // the seek
    assertEquals("hold a card to the reader", new CardScanner().scan());
  }

  @Test
  void saysWhenTheReaderDoesNotAnswer() {
    module.script(Fault.SILENT);  // the open
    assertEquals("the reader does not answer", new CardScanner().scan());
  }
}
