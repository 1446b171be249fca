#include "tools/probe/exchange_trace.h"

#include <stdio.h>
#include <tagport/frame_link.h>
#include <tagport/serial_port.h>
#include <time.h>
#include <unistd.h>

#include "tools/probe/reply_text.h"

namespace tagport_probe {

namespace {

using tagport_tools::Hex;

// One read of the library's reply wait, and its sleep between polls.
const int kReadSize = 1024;
const useconds_t kPollSleepUs = 1000;

std::string At(int64_t us) {
  char text[40];
  snprintf(text, sizeof text, "+%10s  ", Milliseconds(us).c_str());
  return text;
}

std::string FrameVerdict(const ExchangeTrace& trace, const FrameSeen& frame) {
  if (frame.bytes == trace.request) return "echo of the request";
  const ReaderReplyProblem problem = ReaderCheckReply(
      trace.id, frame.bytes.data(), static_cast<int>(frame.bytes.size()));
  if (problem == kReaderReplyAccepted) return "accepted";
  return "refused: " + RefusalText(problem, trace.id, frame.bytes.data(),
                                   static_cast<int>(frame.bytes.size()));
}

void Classify(ExchangeTrace* trace) {
  if (trace->written <= 0) {
    trace->outcome = Outcome::kNotSent;
    return;
  }
  const FrameSeen* first = trace->DecidingFrame();
  if (!first) {
    trace->outcome =
        trace->reads.empty() ? Outcome::kNoBytes : Outcome::kNoFrame;
    return;
  }
  trace->round_trip_us = first->at_us;
  if (first->bytes == trace->request) {
    trace->outcome = Outcome::kEcho;
    return;
  }
  trace->problem = ReaderCheckReply(trace->id, first->bytes.data(),
                                    static_cast<int>(first->bytes.size()));
  trace->outcome = trace->problem == kReaderReplyAccepted ? Outcome::kAccepted
                                                          : Outcome::kRefused;
}

}  // namespace

std::string Milliseconds(int64_t us) {
  char text[32];
  snprintf(text, sizeof text, "%lld.%03lld ms",
           static_cast<long long>(us / 1000),
           static_cast<long long>(us % 1000));
  return text;
}

int64_t MonotonicUs() {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  return static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
}

size_t ExchangeTrace::ByteCount() const {
  size_t count = 0;
  for (const ReadChunk& read : reads) count += read.bytes.size();
  return count;
}

const FrameSeen* ExchangeTrace::DecidingFrame() const {
  return frames.empty() ? nullptr : &frames.front();
}

Bytes ReadWaitingInput() {
  Bytes waiting;
  unsigned char chunk[kReadSize];
  for (int reads = 0; reads < 64; ++reads) {
    const int n = Api_ReadSerial(chunk, kReadSize);
    if (n <= 0) break;
    waiting.insert(waiting.end(), chunk, chunk + n);
  }
  return waiting;
}

ExchangeTrace TraceExchange(ReaderRequestId id, int polls) {
  ExchangeTrace trace;
  trace.id = id;
  const ReaderRequest& request = *ReaderRequestFor(id);
  ClearPacket();
  trace.stale = ReadWaitingInput();
  const int64_t start = MonotonicUs();
  trace.written = SentPacket(kReaderTarget, request.command, request.payload,
                             request.payload_length);
  trace.request.assign(SentBuf, SentBuf + SentLen);
  bool replied = false;
  while (trace.written > 0 && !replied && trace.polls < polls) {
    ++trace.polls;
    unsigned char buffer[kReadSize];
    const int n = Api_ReadSerial(buffer, kReadSize);
    if (n > 0) {
      const int64_t at = MonotonicUs() - start;
      trace.reads.push_back({at, Bytes(buffer, buffer + n)});
      for (int k = 0; k < n && !replied; ++k) {
        if (RxDecode(buffer[k]) != 1) continue;
        const Bytes frame(MsgBuf, MsgBuf + PacketLen);
        trace.frames.push_back({trace.reads.size() - 1, at, frame});
        replied = frame != trace.request;
        // The library would stop here; the trace goes on after an echo to
        // show what follows it.
        if (!replied) ClearPacket();
      }
    }
    if (!replied) usleep(kPollSleepUs);
  }
  Classify(&trace);
  return trace;
}

std::vector<std::string> TraceLines(const ExchangeTrace& trace,
                                    size_t max_reads) {
  std::vector<std::string> lines;
  if (!trace.stale.empty()) {
    lines.push_back(At(0) + "stale " + Hex(trace.stale) +
                    " (waiting before the request: discarded)");
  }
  lines.push_back(At(0) + "sent  " + Hex(trace.request) +
                  " (SentPacket = " + std::to_string(trace.written) + ")");
  size_t frame = 0;
  for (size_t k = 0; k < trace.reads.size(); ++k) {
    const ReadChunk& read = trace.reads[k];
    if (k < max_reads)
      lines.push_back(At(read.at_us) + "read  " + Hex(read.bytes));
    // Frames complete within the read that brought their last byte.
    for (; frame < trace.frames.size() && trace.frames[frame].read == k;
         ++frame) {
      lines.push_back(At(read.at_us) + "frame " +
                      Hex(trace.frames[frame].bytes) + " (" +
                      FrameVerdict(trace, trace.frames[frame]) + ")");
    }
  }
  if (trace.reads.size() > max_reads) {
    lines.push_back("(" + std::to_string(trace.reads.size() - max_reads) +
                    " more reads not shown)");
  }
  if (trace.written > 0) {
    lines.push_back("wait: " + std::to_string(trace.polls) + " polls, " +
                    std::to_string(trace.ByteCount()) + " bytes read, " +
                    "whole frames: " + std::to_string(trace.frames.size()));
  }
  return lines;
}

}  // namespace tagport_probe
