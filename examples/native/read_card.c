/* Reads one card through libtagport's C functions, with every check the
 * Java seek makes. Exit status 0 when a card was read, 1 otherwise.
 *
 *   export PKG_CONFIG_PATH=/opt/tagport/lib/pkgconfig
 *   cc -std=c99 read_card.c $(pkg-config --cflags --libs tagport) -o read_card
 */
#include <stdio.h>
#include <tagport/frame_link.h>
#include <tagport/reader.h>
#include <tagport/serial_port.h>
#include <termios.h>

/* One request and its reply: 0 when a reply frame to this request that
 * meets the reader's rules stands in MsgBuf, -1 when it was not sent or was
 * refused, -2 when no reply came. */
static int exchange(int command) {
  ClearPacket();
  /* Bytes waiting now cannot be the reply to a request not yet sent: they
   * are a late reply to an earlier one. Left in place, they would be read
   * and judged as this request's reply. */
  tcflush(FD_COM, TCIFLUSH);
  if (TagportReaderSend(command) <= 0) return -1;
  /* IsSuccessRecv judges the status byte alone... */
  const int status = IsSuccessRecv(TAGPORT_READER_REPLY_POLLS);
  if (status != 0) return status;
  /* ...so the other rules are the caller's to check. */
  const TagportReplyProblem problem =
      TagportReaderCheckReply(command, MsgBuf, MsgLen);
  if (problem != TAGPORT_REPLY_ACCEPTED) {
    printf("reply refused (rule %d)\n", (int)problem);
    return -1;
  }
  return 0;
}

int main(void) {
  int result = -1;
  if (Api_OpenSerial(TAGPORT_READER_PORT, TAGPORT_READER_RATE) != 1) {
    printf("port not opened\n");
  } else if ((result = exchange(TAGPORT_READER_OPEN)) != 0) {
    printf("open: %d\n", result);
  } else if ((result = exchange(TAGPORT_READER_SEEK)) != 0) {
    printf("seek: %d\n", result);
  } else {
    const int count = TagportReaderCardCount(MsgLen);
    printf("card:");
    for (int i = 0; i < count; ++i) {
      printf(" %02X", MsgBuf[TAGPORT_REPLY_CARD_DATA_OFFSET + i]);
    }
    printf(" (%d bytes)\n", count);
  }
  /* Also after a failure: a node that opened stays open until closed. */
  Api_CloseSerial();
  return result == 0 ? 0 : 1;
}
