package android.kq;

/**
 * A variant of the shipped class whose native methods are instance methods,
 * as some apps declare them. The library must bind either way.
 */
public class Ctagport {
  static {
    System.loadLibrary("tagport");
  }

  public native int open();

  public native int close();

  public native int seek(byte[] data);

  public native int move();
}
