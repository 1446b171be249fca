// The frame as both directions lay it out, and the rhythm of the reply wait:
// the library's builder, decoder and wait, and the reader protocol, all
// take these numbers from here.
#ifndef TAGPORT_LINK_FRAME_LAYOUT_H_
#define TAGPORT_LINK_FRAME_LAYOUT_H_

#include <tagport/frame_link.h>

#ifdef __cplusplus
extern "C" {
#endif

// TAGPORT_FRAME_CAPACITY as a constant of the language, for the checks.
enum { kFrameCapacity = TAGPORT_FRAME_CAPACITY };

// Byte offsets in a frame, the start byte, and the bytes a frame carries
// besides its payload (7 ahead of it, the checksum behind it).
enum {
  kStartByte = 0x1E,
  kLengthHighOffset = 1,
  kLengthLowOffset = 2,
  kTargetOffset = 3,
  kZeroOffset = 4,
  kStatusOffset = 5,
  kCommandOffset = 6,
  kPayloadOffset = 7,
  kFrameOverhead = 8
};

// The status byte of every request, and of a reply that reports success.
enum { kRequestStatus = 0xFF, kStatusAccepted = 1 };

// One poll of the reply wait: a read of up to kReadChunk bytes, then, when
// no frame completed, a sleep of kPollSleepUs microseconds.
enum { kReadChunk = 1024, kPollSleepUs = 1000 };

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // TAGPORT_LINK_FRAME_LAYOUT_H_
