/* Reads one card through libtagport's C functions, with every check the
 * Java seek makes. Exit status 0 when a card was read, 1 otherwise.
 *
 *   export PKG_CONFIG_PATH=/opt/tagport/lib/pkgconfig
 *   cc -std=c99 read_card.c $(pkg-config --cflags --libs tagport) -o read_card
 */
#include <stdio.h>
#include <tagport/frame_link.h>
#include <tagport/serial_port.h>
#include <termios.h>

enum { kTarget = 5, kOpen = 0x40, kSeek = 0x41, kPolls = 1000 };

/* One request and its reply: 0 when a reply frame from the reader to this
 * command stands in MsgBuf with status 1, -1 when it was not sent or was
 * refused, -2 when no reply came. */
static int exchange(int command, const unsigned char* payload, int n) {
  ClearPacket();
  /* Bytes waiting now cannot be the reply to a request not yet sent: they
   * are a late reply to an earlier one. Left in place, they would be read
   * and judged as this request's reply. */
  tcflush(FD_COM, TCIFLUSH);
  if (SentPacket(kTarget, command, payload, n) <= 0) return -1;
  /* IsSuccessRecv judges the status byte alone... */
  const int status = IsSuccessRecv(kPolls);
  if (status != 0) return status;
  /* ...so the target and command bytes are the caller's to check. */
  if (MsgBuf[3] != kTarget || MsgBuf[6] != command) return -1;
  return 0;
}

int main(void) {
  static const unsigned char kOpenPayload[] = {0x01};
  static const unsigned char kSeekPayload[] = {0x04, 0x00, 0x00};
  int result = -1;
  if (Api_OpenSerial(3, 115200) != 1) {
    printf("port not opened\n");
  } else if ((result = exchange(kOpen, kOpenPayload, 1)) != 0) {
    printf("open: %d\n", result);
  } else if ((result = exchange(kSeek, kSeekPayload, 3)) != 0) {
    printf("seek: %d\n", result);
  } else if (MsgBuf[7] != 1 || MsgLen < 20) {
    /* A card reply: byte 7 is 1, and at least 8 data bytes lie between
     * byte 11 and the checksum. */
    printf("seek: no card (byte 7 %d, %d bytes)\n", MsgBuf[7], (int)MsgLen);
    result = -1;
  } else {
    printf("card:");
    for (int i = 11; i < MsgLen - 1; ++i) printf(" %02X", MsgBuf[i]);
    printf(" (%d bytes)\n", (int)MsgLen - 12);
  }
  /* Also after a failure: a node that opened stays open until closed. */
  Api_CloseSerial();
  return result == 0 ? 0 : 1;
}
