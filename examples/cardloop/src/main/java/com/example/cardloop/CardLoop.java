package com.example.cardloop;

import android.kq.CardReader;
import android.kq.TagReaderRefusedException;
import android.kq.TagReaderTimeoutException;
import java.io.IOException;
import java.io.InterruptedIOException;

/** Reads cards one after another on a thread of its own, never the UI thread. */
public final class CardLoop {
  /** What the loop tells; called on its thread, so post to the UI from there. */
  public interface Listener {
    /** A card was read and moved on. */
    void onCard(byte[] card);

    /** No card came for a while; the loop waits on. */
    void onNoCard();

    /** The loop has ended, and says why. */
    void onStopped(String why);
  }

  private final CardReader.Opener opener;
  private final Listener listener;
  private Thread thread;

  /**
   * @param opener {@code TagReader::open} in the app, a fake's in its tests.
   * @param listener told what happens.
   */
  public CardLoop(CardReader.Opener opener, Listener listener) {
    this.opener = opener;
    this.listener = listener;
  }

  /** Starts reading cards. */
  public synchronized void start() {
    thread = new Thread(this::run, "card loop");
    thread.start();
  }

  /** Ends the loop at its next pause; returns at once. */
  public synchronized void stop() {
    if (thread != null) {
      thread.interrupt();
      thread = null;
    }
  }

  private void run() {
    try (CardReader reader = opener.open()) {
      while (true) {
        final byte[] card = reader.awaitCard(10_000);
        if (card == null) {
          listener.onNoCard();
          continue;
        }
        reader.move();
        listener.onCard(card);
      }
    } catch (InterruptedIOException e) {
      listener.onStopped("stopped");
    } catch (TagReaderRefusedException e) {
      listener.onStopped("the reader refused (" + e.rule().text() + "): call service");
    } catch (TagReaderTimeoutException e) {
      listener.onStopped("the reader does not answer: call service");
    } catch (IOException e) {
      listener.onStopped("no reader: " + e.getMessage());
    }
  }
}
