// One request to the reader with everything that came back during its
// reply wait: every byte read and when, whole frames or not. It runs the
// library's own exchange, watching it, so what it sees and the result it
// gets are what the library's commands see and get.
#ifndef TAGPORT_TOOLS_PROBE_EXCHANGE_TRACE_H_
#define TAGPORT_TOOLS_PROBE_EXCHANGE_TRACE_H_

#include <stdint.h>

#include <string>
#include <vector>

#include "protocol/reader_protocol.h"
#include "tools/common/hex.h"

namespace tagport_probe {

using tagport_tools::Bytes;

// The monotonic clock in microseconds, 64 bits wide on every ABI.
int64_t MonotonicUs();

// "1.234 ms"
std::string Milliseconds(int64_t us);

// What an exchange came to, as the doctor names it.
enum class Outcome {
  kAccepted,  // a reply that meets the request's rules
  kNotSent,   // SentPacket wrote nothing
  kNoBytes,   // nothing at all came back
  kNoFrame,   // bytes, but no frame with a right checksum
  kEcho,      // the first frame was the request itself
  kRefused,   // the first frame broke a rule (`problem` says which)
};

struct ReadChunk {
  int64_t at_us;  // since the exchange began, just before its request
  Bytes bytes;
};

struct FrameSeen {
  size_t read;    // index of the read that brought its last byte
  int64_t at_us;  // that read's time
  Bytes bytes;
};

struct ExchangeTrace {
  ReaderRequestId id = kReaderOpen;
  int result = -1;  // the exchange's, as the library's command gets it
  // Waiting before the request: a late reply to an earlier request, which
  // the library's commands discard unseen.
  Bytes stale;
  Bytes request;                 // the frame as SentBuf held it
  int written = 0;               // SentPacket's result
  std::vector<ReadChunk> reads;  // every read that gave bytes, in order
  // Whole frames with a right checksum, in order of completion; echoes of
  // the request included.
  std::vector<FrameSeen> frames;
  Bytes rest;  // of the last frame's read, behind it: the wait drops them
  Outcome outcome = Outcome::kNoBytes;
  ReaderReplyProblem problem = kReaderReplyAccepted;
  int64_t round_trip_us = -1;  // until the deciding frame completed
  int polls = 0;               // polls run

  size_t ByteCount() const;
  // The frame that decided: the first whole frame, or null without one.
  const FrameSeen* DecidingFrame() const;
};

// Runs the library's exchange of request `id` on the open port with a reply
// wait of `polls` polls; the outcome follows from its result. It ends at the
// first whole frame, as the library's does. With `watch_after_echo`, an echo
// of the request (which has decided the outcome) is followed by more of the
// wait, over the polls left, to show whether a reply follows it.
ExchangeTrace TraceExchange(ReaderRequestId id, int polls,
                            bool watch_after_echo);

// The trace as lines: sent, each read with its time, each frame.
std::vector<std::string> TraceLines(const ExchangeTrace& trace,
                                    size_t max_reads);

}  // namespace tagport_probe

#endif  // TAGPORT_TOOLS_PROBE_EXCHANGE_TRACE_H_
