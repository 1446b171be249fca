// A native caller of libtagport.so, built from the installed headers and
// library only (find_package(tagport) or pkg-config), as an app's own C
// code would be. Prints each call and its result; any result off fails the
// program (exit status 1).
//
//   native_caller             calls that need no module
//   native_caller exchange    also one open request, which needs a module
//                             (or the simulator) behind "/dev/ttyMT3"
#include <stdio.h>
#include <string.h>
#include <tagport/frame_link.h>
#include <tagport/reader.h>
#include <tagport/serial_port.h>

static int failures;

static void expect(const char* what, long actual, long wanted) {
  printf("%-30s %ld", what, actual);
  if (actual == wanted) {
    printf("\n");
  } else {
    printf("  WRONG, %ld expected\n", wanted);
    ++failures;
  }
}

static void print_bytes(const char* what, const unsigned char* bytes,
                        int length) {
  printf("%-30s", what);
  for (int i = 0; i < length; ++i) printf(" %02X", bytes[i]);
}

static void expect_bytes(const char* what, const unsigned char* actual,
                         const unsigned char* wanted, int length) {
  print_bytes(what, actual, length);
  if (memcmp(actual, wanted, (size_t)length) == 0) {
    printf("\n");
  } else {
    printf("  WRONG\n");
    ++failures;
  }
}

// The open request as the reader expects it, written out byte for byte: the
// oracle for the frame the headers and the library build.
static const unsigned char kOpenRequest[] = {0x1E, 0x00, 0x09, 0x05, 0x00,
                                             0xFF, 0x40, 0x01, 0x6C};
enum { kOpenRequestLength = (int)sizeof kOpenRequest };

static void exchange_open_request(void) {
  expect("Api_OpenSerial(3, 115200)",
         Api_OpenSerial(TAGPORT_READER_PORT, TAGPORT_READER_RATE), 1);
  ClearPacket();
  expect("TagportReaderSend(open)", TagportReaderSend(TAGPORT_READER_OPEN),
         kOpenRequestLength);
  expect_bytes("SentBuf", SentBuf, kOpenRequest, kOpenRequestLength);
  expect("IsSuccessRecv(1000)", IsSuccessRecv(TAGPORT_READER_REPLY_POLLS), 0);
  print_bytes("MsgBuf", MsgBuf, PacketLen);
  printf("\n");
  expect("reply PacketLen", PacketLen, 9);
  expect("reply meets the open rules",
         TagportReaderCheckReply(TAGPORT_READER_OPEN, MsgBuf, MsgLen),
         TAGPORT_REPLY_ACCEPTED);
  // The rules by hand as well, against the bytes the reader must send.
  expect("reply target (MsgBuf[3])", MsgBuf[3], 5);
  expect("reply status (MsgBuf[5])", MsgBuf[5], 1);
  expect("reply command (MsgBuf[6])", MsgBuf[6], 0x40);
  expect("Api_CloseSerial()", Api_CloseSerial(), 1);
}

int main(int argc, char** argv) {
  // The checksum byte of the open request covers the bytes before it.
  expect("GetChkSum(open request, 8)", GetChkSum(kOpenRequest, 8),
         kOpenRequest[8]);
  // Only ports 0..3 exist; no node is opened for another index.
  expect("Api_OpenSerial(4, 115200)", Api_OpenSerial(4, 115200), 0);
  expect("FD_COM", FD_COM, -1);
  if (argc > 1 && strcmp(argv[1], "exchange") == 0) exchange_open_request();

  printf("native caller: %s\n", failures ? "FAILED" : "ok");
  return failures ? 1 : 0;
}
