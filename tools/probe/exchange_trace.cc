#include "tools/probe/exchange_trace.h"

#include <stdio.h>
#include <tagport/frame_link.h>
#include <time.h>

#include <utility>

#include "protocol/reader_exchange.h"
#include "tools/probe/reply_text.h"

namespace tagport_probe {

namespace {

using tagport_tools::Hex;

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

// What the result means, from what the exchange showed on its way.
void Classify(ExchangeTrace* trace) {
  const FrameSeen* first = trace->DecidingFrame();
  if (first) {
    trace->round_trip_us = first->at_us;
    trace->problem = ReaderCheckReply(trace->id, first->bytes.data(),
                                      static_cast<int>(first->bytes.size()));
  }
  if (trace->result == 0) {
    trace->outcome = Outcome::kAccepted;
  } else if (trace->result == -2) {
    trace->outcome =
        trace->reads.empty() ? Outcome::kNoBytes : Outcome::kNoFrame;
  } else if (trace->written <= 0 || !first) {
    trace->outcome = Outcome::kNotSent;
  } else {
    trace->outcome =
        first->bytes == trace->request ? Outcome::kEcho : Outcome::kRefused;
  }
}

// The exchange's observer: fills in a trace.
struct Recorder {
  ExchangeTrace* trace;
  int64_t start_us;
};

ExchangeTrace& TraceOf(void* context) {
  return *static_cast<Recorder*>(context)->trace;
}

void OnStale(void* context, const unsigned char* bytes, int count) {
  TraceOf(context).stale.insert(TraceOf(context).stale.end(), bytes,
                                bytes + count);
}

void OnSent(void* context, int written) {
  ExchangeTrace& trace = TraceOf(context);
  trace.written = written;
  trace.request.assign(SentBuf, SentBuf + SentLen);
}

void OnRead(void* context, const unsigned char* bytes, int count) {
  const Recorder& recorder = *static_cast<Recorder*>(context);
  ++recorder.trace->polls;
  if (count <= 0) return;
  recorder.trace->reads.push_back(
      {MonotonicUs() - recorder.start_us, Bytes(bytes, bytes + count)});
}

// The frame stands in MsgBuf; it completed in the last read.
void OnFrame(void* context, const unsigned char* rest, int count) {
  ExchangeTrace& trace = TraceOf(context);
  trace.frames.push_back({trace.reads.size() - 1, trace.reads.back().at_us,
                          Bytes(MsgBuf, MsgBuf + PacketLen)});
  trace.rest.assign(rest, rest + count);
}

// The library stops at the echo. The wait goes on over the polls left,
// beginning with the bytes its read brought behind the echo; the outcome
// stands whatever follows.
void WatchAfterEcho(ExchangeTrace* trace, int polls,
                    const ExchangeObserver& observer) {
  while (trace->frames.back().bytes == trace->request && trace->polls < polls) {
    ClearPacket();
    const Bytes rest = std::move(trace->rest);
    trace->rest.clear();
    const int fed = FeedUntilFrame(rest.data(), static_cast<int>(rest.size()));
    if (fed >= 0) {
      OnFrame(observer.context, rest.data() + fed,
              static_cast<int>(rest.size()) - fed);
    } else if (!WaitForReply(polls - trace->polls, &observer)) {
      return;
    }
  }
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

ExchangeTrace TraceExchange(ReaderRequestId id, int polls,
                            bool watch_after_echo) {
  ExchangeTrace trace;
  trace.id = id;
  Recorder recorder = {&trace, MonotonicUs()};
  const ExchangeObserver observer = {&recorder, OnStale, OnSent, OnRead,
                                     OnFrame};
  trace.result = ReaderExchange(id, polls, &observer);
  Classify(&trace);
  if (watch_after_echo && trace.outcome == Outcome::kEcho) {
    WatchAfterEcho(&trace, polls, observer);
  }
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
