// The frame as both directions lay it out (defined in <tagport/frame_link.h>
// for native callers too), and the rhythm of the reply wait: the library's
// builder, decoder and wait, and the reader protocol, all take these numbers
// from here.
#ifndef TAGPORT_LINK_FRAME_LAYOUT_H_
#define TAGPORT_LINK_FRAME_LAYOUT_H_

#include <tagport/frame_link.h>

#ifdef __cplusplus
extern "C" {
#endif

// TAGPORT_FRAME_CAPACITY as a constant of the language, for the checks.
enum { kFrameCapacity = TAGPORT_FRAME_CAPACITY };

// The frame's layout as constants of the language, for the checks.
enum {
  kStartByte = TAGPORT_FRAME_START,
  kLengthHighOffset = TAGPORT_FRAME_LENGTH_HIGH_OFFSET,
  kLengthLowOffset = TAGPORT_FRAME_LENGTH_LOW_OFFSET,
  kTargetOffset = TAGPORT_FRAME_TARGET_OFFSET,
  kZeroOffset = TAGPORT_FRAME_ZERO_OFFSET,
  kStatusOffset = TAGPORT_FRAME_STATUS_OFFSET,
  kCommandOffset = TAGPORT_FRAME_COMMAND_OFFSET,
  kPayloadOffset = TAGPORT_FRAME_PAYLOAD_OFFSET,
  kFrameOverhead = TAGPORT_FRAME_OVERHEAD,
  kRequestStatus = TAGPORT_FRAME_REQUEST_STATUS,
  kStatusAccepted = TAGPORT_FRAME_STATUS_ACCEPTED
};

// One poll of the reply wait: a read of up to kReadChunk bytes, then, when
// no frame completed, a sleep of kPollSleepUs microseconds.
enum { kReadChunk = 1024, kPollSleepUs = 1000 };

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // TAGPORT_LINK_FRAME_LAYOUT_H_
