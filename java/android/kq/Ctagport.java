package android.kq;

/**
 * The card reader on the UART "/dev/ttyMT3", driven by libtagport.
 *
 * <p>The native side keeps one port and one link state for the whole process
 * and does no locking of its own. The methods are therefore {@code static
 * synchronized}: every call, through any instance or none, holds the lock of
 * this class, so calls from several threads never overlap. Calling them
 * through an instance ({@code new Ctagport().open()}) works as well.
 *
 * <p>New code may prefer {@link TagReader}, which turns the result codes into
 * exceptions and returns card data as an array of exactly its length.
 *
 * <p>Result codes shared by all methods:
 * <ul>
 *   <li>{@code 0}: success ({@link #seek} returns the data count instead);
 *   <li>{@code -1}: failure: the port could not be opened or configured, the
 *       request could not be written, or the reply was refused;
 *   <li>{@code -2}: no reply frame within the 1000 polls of the wait: about
 *       1.1 s, never more than 1.5 s, on any thread.
 * </ul>
 */
public class Ctagport {
  static {
    System.loadLibrary("tagport");
  }

  /**
   * Opens "/dev/ttyMT3" at 115200 bit/s and sends the start request (0x40).
   *
   * @return 0 when the reader accepted; -1 when the port could not be opened
   *     or configured, the request was not written, or the reply carried a
   *     failure status, another command or another target; -2 when no reply
   *     came. The port stays open after -1 or -2 once its node opened; call
   *     {@link #close} in every case.
   */
  public static synchronized native int open();

  /**
   * Closes the port, if one is open.
   *
   * @return 0, always.
   */
  public static synchronized native int close();

  /**
   * Reads a card (request 0x41) and copies its data to the start of
   * {@code data}; the array's other bytes are left as they were.
   *
   * @param data receives the card data; must hold all of it (at least 8
   *     bytes).
   * @return the number of data bytes delivered (8 or more) on success; -1
   *     when {@code data} is null or too short for the data (it is then left
   *     unchanged), no port is open, the request was not written, or the reply
   *     was refused (failure status, other command or target, no card flag,
   *     fewer than 8 data bytes); -2 when no reply came. A null array or one
   *     shorter than 8 bytes gives -1 at once, without a request.
   */
  public static synchronized native int seek(byte[] data);

  /**
   * Sends the move request (0x50) on the open port.
   *
   * @return 0 when the reader accepted; -1 when no port is open, the request
   *     was not written, or the reply was refused; -2 when no reply came.
   */
  public static synchronized native int move();
}
