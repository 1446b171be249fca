// Library-internal parts of the reader link, shared with the Java commands.
#ifndef TAGPORT_LINK_LINK_INTERNAL_H_
#define TAGPORT_LINK_LINK_INTERNAL_H_

#include <tagport/frame_link.h>

#ifdef __cplusplus
extern "C" {
#endif

// TAGPORT_FRAME_CAPACITY as a constant of the language, for the checks.
enum { kFrameCapacity = TAGPORT_FRAME_CAPACITY };

// Frame layout offsets and the start byte.
enum {
  kStartByte = 0x1E,
  kTargetOffset = 3,
  kStatusOffset = 5,
  kCommandOffset = 6,
  kPayloadOffset = 7,
  kFrameOverhead = 8
};

// Polls the port up to `polls` times (at least once), feeding RxDecode.
// 1 when a frame stands in MsgBuf, 0 on timeout (counters then 0).
int WaitForReply(int polls);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // TAGPORT_LINK_LINK_INTERNAL_H_
