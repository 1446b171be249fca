package com.example.scanner;

import android.kq.TagReader;
import android.kq.TagReaderRefusedException;
import android.kq.TagReaderTimeoutException;
import java.io.IOException;

/** Reads one card and says what happened, for the screen. */
public final class CardScanner {
  public String scan() {
    try (TagReader reader = TagReader.open()) {
      final byte[] card = reader.seek();
      if (card == null) {
        return "hold a card to the reader";
      }
      reader.move();
      final StringBuilder text = new StringBuilder("card");
      for (byte b : card) {
        text.append(String.format(" %02X", b & 0xFF));
      }
      return text.toString();
    } catch (TagReaderRefusedException e) {
      return "the reader refused: " + e.rule().text();
    } catch (TagReaderTimeoutException e) {
      return "the reader does not answer";
    } catch (IOException e) {
      return "no reader";
    }
  }
}
