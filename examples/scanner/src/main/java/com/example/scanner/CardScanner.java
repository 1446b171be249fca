package com.example.scanner;

import android.kq.TagReader;
import android.kq.TagReaderTimeoutException;
import java.io.IOException;

/** Reads one card and says what happened, for the screen. */
public final class CardScanner {
  public String scan() {
    try (TagReader reader = TagReader.open()) {
      final byte[] card = reader.seek();
      reader.move();
      final StringBuilder text = new StringBuilder("card");
      for (byte b : card) {
        text.append(String.format(" %02X", b & 0xFF));
      }
      return text.toString();
    } catch (TagReaderTimeoutException e) {
      return "the reader does not answer";
    } catch (IOException e) {
      return "no card read";
    }
  }
}
