#include <string.h>
#include <tagport/frame_link.h>
#include <tagport/serial_port.h>
#include <unistd.h>

#include "link/link_internal.h"

unsigned char MsgBuf[kFrameCapacity];
int32_t MsgLen;
int32_t PacketLen;

namespace {

const int kReadChunk = 1024;
const unsigned kPollSleepUs = 1000;

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
  if (i == 2) {
    PacketLen = MsgBuf[1] * 256 + MsgBuf[2];
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

int WaitForReply(int polls) {
  if (polls < 1) polls = 1;
  unsigned char chunk[kReadChunk];
  for (int poll = 0; poll < polls; ++poll) {
    const int count = Api_ReadSerial(chunk, kReadChunk);
    // Bytes behind the completing one are dropped with the chunk.
    for (int k = 0; k < count; ++k) {
      if (RxDecode(chunk[k]) == 1) return 1;
    }
    usleep(kPollSleepUs);
  }
  ResetCounters();
  return 0;
}

int IsSuccessRecv(int polls) {
  if (!WaitForReply(polls)) return -2;
  return MsgBuf[kStatusOffset] == 1 ? 0 : -1;
}
