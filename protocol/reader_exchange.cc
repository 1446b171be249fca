#include "protocol/reader_exchange.h"

#include <tagport/frame_link.h>
#include <tagport/serial_port.h>

#include "serial/serial_internal.h"

namespace {

// A line that never stops sending is shown in part.
const int kMaxStaleReads = 64;

// Out of line: the library's own path, which shows nothing, keeps the one
// read buffer of its wait on the stack.
__attribute__((noinline)) void ShowStaleInput(
    const ExchangeObserver* observer) {
  unsigned char chunk[kReadChunk];
  for (int reads = 0; reads < kMaxStaleReads; ++reads) {
    const int count = Api_ReadSerial(chunk, kReadChunk);
    if (count <= 0) return;
    observer->stale(observer->context, chunk, count);
  }
}

}  // namespace

int ReaderExchange(ReaderRequestId id, int polls,
                   const ExchangeObserver* observer) {
  const ReaderRequest* request = ReaderRequestFor(id);
  ClearPacket();
  // Bytes already waiting cannot answer a request not yet sent: they are a
  // late reply to an earlier one, which would otherwise be judged as this
  // request's reply (the frames carry no sequence number).
  if (observer != nullptr) ShowStaleInput(observer);
  DiscardPendingInput();
  const int written = SentPacket(kReaderTarget, request->command,
                                 request->payload, request->payload_length);
  if (observer != nullptr) observer->sent(observer->context, written);
  if (written <= 0) return -1;
  if (!WaitForReply(polls, observer)) return -2;
  return ReaderCheckReply(id, MsgBuf, MsgLen) == kReaderReplyAccepted ? 0 : -1;
}
