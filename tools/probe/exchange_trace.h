// One request to the reader with everything that came back during its
// reply wait: every byte read and when, whole frames or not. It runs on
// the library's exported building blocks (SentPacket, Api_ReadSerial,
// RxDecode, MsgBuf) with the library's poll rhythm, so what it sees is
// what the library's commands see.
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
  int64_t at_us;  // since just before the request was sent
  Bytes bytes;
};

struct FrameSeen {
  size_t read;    // index of the read that brought its last byte
  int64_t at_us;  // that read's time
  Bytes bytes;
};

// Reads what waits on the open port now. Before a request it cannot be the
// reply, only a late reply to an earlier request, which the library's
// commands discard unseen; a tool reads it to show it. At most 64 reads, so
// a line that never stops sending is taken in part.
Bytes ReadWaitingInput();

struct ExchangeTrace {
  ReaderRequestId id = kReaderOpen;
  Bytes stale;                   // waiting before the request, discarded
  Bytes request;                 // the frame as SentBuf held it
  int written = 0;               // SentPacket's result
  std::vector<ReadChunk> reads;  // every read that gave bytes, in order
  // Whole frames with a right checksum, in order of completion; echoes of
  // the request included.
  std::vector<FrameSeen> frames;
  Outcome outcome = Outcome::kNoBytes;
  ReaderReplyProblem problem = kReaderReplyAccepted;
  int64_t round_trip_us = -1;  // until the deciding frame completed
  int polls = 0;               // polls run

  size_t ByteCount() const;
  // The frame that decided: the first whole frame, or null without one.
  const FrameSeen* DecidingFrame() const;
};

// Sends request `id` on the open port and waits up to `polls` polls of the
// library's rhythm (one read, then 1 ms of sleep without a frame). The wait
// ends at the first whole frame that is not an echo of the request; an echo
// (which already decides the outcome) is recorded and the wait goes on, to
// show whether a reply follows it.
ExchangeTrace TraceExchange(ReaderRequestId id, int polls);

// The trace as lines: sent, each read with its time, each frame.
std::vector<std::string> TraceLines(const ExchangeTrace& trace,
                                    size_t max_reads);

}  // namespace tagport_probe

#endif  // TAGPORT_TOOLS_PROBE_EXCHANGE_TRACE_H_
