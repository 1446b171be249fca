#include <string.h>
#include <tagport/frame_link.h>
#include <tagport/serial_port.h>

#include "link/frame_layout.h"

unsigned char SentBuf[kFrameCapacity];
int32_t SentLen;

int GetChkSum(const unsigned char* data, int length) {
  unsigned char sum = 0;
  if (data == nullptr) return 0;
  for (int i = 0; i < length; ++i) {
    sum = static_cast<unsigned char>(sum + data[i]);
  }
  return sum;
}

int SentPacket(int target, int command, const unsigned char* payload, int n) {
  if (n < 0 || n > kFrameCapacity - kFrameOverhead) return 0;
  if (payload == nullptr && n > 0) return 0;

  SentLen = n + kFrameOverhead;
  SentBuf[0] = kStartByte;
  SentBuf[kLengthHighOffset] = static_cast<unsigned char>(SentLen >> 8);
  SentBuf[kLengthLowOffset] = static_cast<unsigned char>(SentLen);
  SentBuf[kTargetOffset] = static_cast<unsigned char>(target);
  SentBuf[kZeroOffset] = 0x00;
  SentBuf[kStatusOffset] = kRequestStatus;
  SentBuf[kCommandOffset] = static_cast<unsigned char>(command);
  // memmove: a caller may hand in bytes that already live in SentBuf.
  if (n > 0) memmove(SentBuf + kPayloadOffset, payload, static_cast<size_t>(n));
  SentBuf[kPayloadOffset + n] =
      static_cast<unsigned char>(GetChkSum(SentBuf, kPayloadOffset + n));
  return Api_WriteSerial(SentBuf, SentLen);
}
