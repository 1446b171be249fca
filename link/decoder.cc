#include <string.h>
#include <tagport/frame_link.h>
#include <tagport/serial_port.h>

#include "link/link_internal.h"

unsigned char MsgBuf[kFrameCapacity];
int32_t MsgLen;
int32_t PacketLen;

namespace {

void ResetCounters() {
  MsgLen = 0;
  PacketLen = 0;
}

bool FrameComplete() {
  return PacketLen >= kFrameOverhead && MsgLen >= PacketLen;
}

}  // namespace

void ClearPacket(void) {
  ResetCounters();
  memset(MsgBuf, 0, sizeof MsgBuf);
}

int RxDecode(int byte) {
  // The counters are exported; never trust them to index MsgBuf.
  if (MsgLen < 0 || MsgLen > kFrameCapacity || PacketLen < 0 ||
      PacketLen > kFrameCapacity) {
    ResetCounters();
  }
  if (MsgLen == kFrameCapacity) {
    // A completed frame stays intact; trailing bytes are no longer stored.
    if (FrameComplete()) return 0;
    // A frame that would outgrow the buffer is dropped.
    ResetCounters();
    return 0;
  }

  const int32_t i = MsgLen;
  MsgBuf[i] = static_cast<unsigned char>(byte);
  MsgLen = i + 1;

  if (i == 0) {
    if (MsgBuf[0] != kStartByte) MsgLen = 0;
    return 0;
  }
  if (i == kLengthLowOffset) {
    PacketLen = MsgBuf[kLengthHighOffset] * 256 + MsgBuf[kLengthLowOffset];
    // Too short to be a frame, or too long for MsgBuf: hunt again.
    if (PacketLen < kFrameOverhead || PacketLen > kFrameCapacity)
      ResetCounters();
    return 0;
  }
  if (PacketLen == i + 1) {
    if (GetChkSum(MsgBuf, i) == MsgBuf[i]) return 1;
    ResetCounters();
  }
  return 0;
}

int IsSuccessRecv(int polls) {
  if (!WaitForReply(polls, nullptr)) return -2;
  return MsgBuf[kStatusOffset] == kStatusAccepted ? 0 : -1;
}
