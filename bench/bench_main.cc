// Figures for libtagport.so as built, over pseudo-terminals with the
// simulated reader module on the other end: decoder throughput, the round
// trip of one exchange against an event-driven floor, the reply wait on an
// idle line (both also on a thread with a background thread's timer slack),
// and heap use by the library. Google Benchmark prints its own table; a
// summary with targets follows.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <tagport/frame_link.h>
#include <tagport/serial_port.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bench/heap_counter.h"
#include "protocol/reader_protocol.h"
#include "tools/redirect/node_redirect.h"
#include "tools/sim/frame_codec.h"
#include "tools/sim/simulated_reader.h"

namespace {

using Clock = std::chrono::steady_clock;
using tagport_tools::Bytes;

// What the Java seek asks for, in the way it asks.
const ReaderRequest& kSeek = *ReaderRequestFor(kReaderSeek);
const ReaderRequest& kMove = *ReaderRequestFor(kReaderMove);

constexpr int kWarmUpExchanges = 20;
constexpr int kRoundTrips = 3000;
constexpr int kIdleWaits = 5;
constexpr int kCountedExchanges = 10000;
constexpr size_t kDecodeStreamBytes = 1 << 20;

// The timer slack Android gives a background thread; the exchange and the
// idle wait run with it too.
constexpr long kBackgroundSlackNs = 40000000;

// Targets.
constexpr double kMinDecodeMBps = 200.0;
constexpr double kMaxExchangeMedianMs = 1.2;
constexpr double kMaxBackgroundExchangeMedianMs = 3.0;
constexpr double kMinIdleWaitS = 1.0;
constexpr double kMaxIdleWaitS = 1.2;
constexpr double kMaxBackgroundIdleWaitS = 1.6;

double Seconds(Clock::duration elapsed) {
  return std::chrono::duration<double>(elapsed).count();
}

double ThreadCpuSeconds() {
  struct timespec now;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) +
         static_cast<double>(now.tv_nsec) / 1e9;
}

// Counts are 64-bit throughout: `long` is 32 bits on 32-bit ARM.
struct Latency {
  double median_s = 0;
  double p99_s = 0;
  int64_t failures = 0;
};

Latency Summarize(std::vector<double> samples, int64_t failures) {
  Latency latency;
  latency.failures = failures;
  if (samples.empty()) return latency;
  std::sort(samples.begin(), samples.end());
  const size_t n = samples.size();
  latency.median_s =
      n % 2 ? samples[n / 2] : (samples[n / 2 - 1] + samples[n / 2]) / 2;
  latency.p99_s = samples[(n * 99 + 99) / 100 - 1];
  return latency;
}

struct HeapFigures {
  tagport_bench::HeapCounts counts;
  int64_t exchanges = 0;
  int64_t failures = 0;
};

// Filled in by the benchmarks, read by the summary.
struct Figures {
  // CPU time is the verdict's measure: on a shared machine the wall clock
  // also counts the time other processes held the core.
  std::optional<double> decode_mb_per_cpu_s;
  std::optional<double> decode_mb_per_wall_s;
  std::optional<Latency> library_exchange;
  std::optional<double> library_polls_per_exchange;
  std::optional<Latency> background_exchange;
  std::optional<Latency> event_driven_exchange;
  std::optional<Latency> idle_wait;
  std::optional<Latency> background_idle_wait;
  std::optional<HeapFigures> heap;
} figures;

// The benchmark's thread with the timer slack its argument gives (0: the
// thread's own) for as long as this lives.
class ThreadSlack {
 public:
  explicit ThreadSlack(const benchmark::State& state)
      : saved_ns_(prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0)),
        background_(state.range(0) != 0) {
    if (background_) prctl(PR_SET_TIMERSLACK, state.range(0), 0, 0, 0);
  }
  ~ThreadSlack() {
    if (background_) prctl(PR_SET_TIMERSLACK, saved_ns_, 0, 0, 0);
  }
  ThreadSlack(const ThreadSlack&) = delete;
  ThreadSlack& operator=(const ThreadSlack&) = delete;

  bool background() const { return background_; }

 private:
  long saved_ns_;
  bool background_;
};

void ReportLatency(benchmark::State& state, const Latency& latency) {
  state.counters["median_us"] = latency.median_s * 1e6;
  state.counters["p99_us"] = latency.p99_s * 1e6;
  state.counters["failures"] = static_cast<double>(latency.failures);
}

// A byte stream as a noisy line delivers it: valid frames of several sizes
// among noise, frames with a wrong checksum and frames that declare a
// length below 8. Knows how many frames must decode from it.
struct DecodeStream {
  Bytes bytes;
  int64_t frames = 0;
};

DecodeStream BuildDecodeStream() {
  std::mt19937 random(20261208);
  auto random_bytes = [&random](size_t n, bool allow_start_byte) {
    Bytes bytes(n);
    for (uint8_t& byte : bytes) {
      do {
        byte = static_cast<uint8_t>(random());
      } while (!allow_start_byte && byte == tagport_sim::kStartByte);
    }
    return bytes;
  };
  DecodeStream stream;
  while (stream.bytes.size() < kDecodeStreamBytes) {
    Bytes piece;
    switch (random() % 6) {
      case 0:
      case 1:  // a seek reply
        piece = tagport_sim::BuildFrame(kReaderTarget, 1, kSeek.command,
                                        random_bytes(12, true));
        ++stream.frames;
        break;
      case 2:  // a frame of up to 1 KiB
        piece = tagport_sim::BuildFrame(kReaderTarget, 1, kMove.command,
                                        random_bytes(random() % 1024, true));
        ++stream.frames;
        break;
      case 3:
        piece = random_bytes(1 + random() % 64, false);
        break;
      case 4:
        piece = tagport_sim::BuildFrame(kReaderTarget, 1, kSeek.command,
                                        random_bytes(12, true));
        piece.back() = static_cast<uint8_t>(piece.back() + 1);
        break;
      default:
        piece = {tagport_sim::kStartByte, 0x00,
                 static_cast<uint8_t>(random() % tagport_sim::kFrameOverhead)};
        break;
    }
    stream.bytes.insert(stream.bytes.end(), piece.begin(), piece.end());
  }
  return stream;
}

void BM_DecodeStream(benchmark::State& state) {
  static const DecodeStream stream = BuildDecodeStream();
  int64_t frames = 0;
  // Per pass, so that the median pass speaks for the decoder rather than for
  // whatever else ran on the machine meanwhile.
  std::vector<double> cpu_passes;
  std::vector<double> wall_passes;
  ClearPacket();
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    const double cpu_start = ThreadCpuSeconds();
    for (const uint8_t byte : stream.bytes) {
      if (RxDecode(byte) == 1) {
        ++frames;
        ClearPacket();
      }
    }
    cpu_passes.push_back(ThreadCpuSeconds() - cpu_start);
    wall_passes.push_back(Seconds(Clock::now() - start));
  }
  const int64_t passes = state.iterations();
  if (frames != stream.frames * passes) {
    state.SkipWithError("the decoder missed or invented frames");
    return;
  }
  const double pass_bytes = static_cast<double>(stream.bytes.size());
  state.SetBytesProcessed(static_cast<int64_t>(pass_bytes) * passes);
  state.counters["frames_per_pass"] = static_cast<double>(stream.frames);
  figures.decode_mb_per_cpu_s =
      pass_bytes / Summarize(std::move(cpu_passes), 0).median_s / 1e6;
  figures.decode_mb_per_wall_s =
      pass_bytes / Summarize(std::move(wall_passes), 0).median_s / 1e6;
}

// "/dev/ttyMT3" led to a fresh pseudo-terminal and opened by the library,
// with the simulated module serving the far end when `serve` is set.
class ReaderLine {
 public:
  explicit ReaderLine(bool serve) {
    if (!reader_.ok()) return;
    if (serve) reader_.Start();
    setenv("TAGPORT_TTYMT3", reader_.slave_path().c_str(), 1);
    open_ = Api_OpenSerial(kReaderPort, kReaderRate) == 1;
  }
  ~ReaderLine() { Api_CloseSerial(); }
  ReaderLine(const ReaderLine&) = delete;
  ReaderLine& operator=(const ReaderLine&) = delete;

  bool open() const { return open_; }
  const std::string& slave_path() const { return reader_.slave_path(); }

 private:
  tagport_sim::SimulatedReader reader_;
  bool open_ = false;
};

// False, with the benchmark marked failed, when the library has no port.
bool PortOpen(benchmark::State& state, const ReaderLine& line) {
  if (!line.open()) state.SkipWithError("cannot open the redirected port");
  return line.open();
}

// One seek exchange through the library: 0 when the reply had status 1.
int LibraryExchange() {
  ClearPacket();
  if (SentPacket(kReaderTarget, kSeek.command, kSeek.payload,
                 kSeek.payload_length) == 0) {
    return -3;
  }
  return IsSuccessRecv(kReaderReplyPolls);
}

// Runs the benchmark's iterations of `exchange` after `warm_up` untimed
// ones, timing each; a result other than `expected` counts as a failure.
Latency TimeExchanges(benchmark::State& state, int warm_up, int expected,
                      int (*exchange)(void*), void* context) {
  for (int k = 0; k < warm_up; ++k) exchange(context);
  std::vector<double> samples;
  // max_iterations is 64-bit; a 32-bit size_t would truncate it.
  constexpr int64_t kMostReserved = 1 << 20;
  samples.reserve(
      static_cast<size_t>(std::min(state.max_iterations, kMostReserved)));
  int64_t failures = 0;
  for (auto _ : state) {
    const Clock::time_point start = Clock::now();
    const int result = exchange(context);
    const double elapsed = Seconds(Clock::now() - start);
    state.SetIterationTime(elapsed);
    samples.push_back(elapsed);
    if (result != expected) ++failures;
  }
  return Summarize(std::move(samples), failures);
}

// The library's reads and sleeps, per exchange, as the node redirect counted
// them.
double ReportPolls(benchmark::State& state, double exchanges) {
  const double reads =
      static_cast<double>(tagport_redirect_read_calls()) / exchanges;
  state.counters["reads_per_exchange"] = reads;
  state.counters["sleeps_per_exchange"] =
      static_cast<double>(tagport_redirect_sleep_calls()) / exchanges;
  return reads;
}

void BM_ExchangeLibrary(benchmark::State& state) {
  ReaderLine line(/*serve=*/true);
  if (!PortOpen(state, line)) return;
  // After the module's thread has started, which keeps the slack it had.
  ThreadSlack slack(state);
  // Counted from here on: the warm-up's polls come along, a small bias.
  tagport_redirect_reset();
  const Latency latency = TimeExchanges(
      state, kWarmUpExchanges, 0, [](void*) { return LibraryExchange(); },
      nullptr);
  const double polls = ReportPolls(
      state, static_cast<double>(state.iterations() + kWarmUpExchanges));
  ReportLatency(state, latency);
  if (slack.background()) {
    figures.background_exchange = latency;
    return;
  }
  figures.library_exchange = latency;
  figures.library_polls_per_exchange = polls;
}

// The floor: the same request and the same decoder, but the reader blocks
// in poll(2) until the reply arrives instead of sleeping between reads.
class EventDrivenReader {
 public:
  explicit EventDrivenReader(const std::string& path)
      : request_(tagport_sim::BuildFrame(
            kReaderTarget, kRequestStatus, kSeek.command,
            Bytes(kSeek.payload, kSeek.payload + kSeek.payload_length))) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  }
  ~EventDrivenReader() {
    if (fd_ >= 0) close(fd_);
  }
  EventDrivenReader(const EventDrivenReader&) = delete;
  EventDrivenReader& operator=(const EventDrivenReader&) = delete;

  bool ok() const { return fd_ >= 0; }

  // 0 status 1, -1 other status, -2 no reply within a second, -3 not sent.
  int Exchange() {
    ClearPacket();
    if (write(fd_, request_.data(), request_.size()) !=
        static_cast<ssize_t>(request_.size())) {
      return -3;
    }
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(1);
    unsigned char chunk[1024];
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - Clock::now());
      if (left.count() <= 0) return -2;
      struct pollfd line = {fd_, POLLIN, 0};
      if (poll(&line, 1, static_cast<int>(left.count())) <= 0) continue;
      const ssize_t n = read(fd_, chunk, sizeof chunk);
      for (ssize_t k = 0; k < n; ++k) {
        if (RxDecode(chunk[k]) == 1) {
          return MsgBuf[kStatusOffset] == kStatusAccepted ? 0 : -1;
        }
      }
    }
  }

 private:
  Bytes request_;
  int fd_ = -1;
};

void BM_ExchangeEventDriven(benchmark::State& state) {
  tagport_sim::SimulatedReader reader;
  reader.Start();
  EventDrivenReader event_driven(reader.slave_path());
  if (!reader.ok() || !event_driven.ok()) {
    state.SkipWithError("cannot open a pseudo-terminal");
    return;
  }
  const Latency latency = TimeExchanges(
      state, kWarmUpExchanges, 0,
      [](void* context) {
        return static_cast<EventDrivenReader*>(context)->Exchange();
      },
      &event_driven);
  ReportLatency(state, latency);
  figures.event_driven_exchange = latency;
}

void BM_IdleReplyWait(benchmark::State& state) {
  ReaderLine line(/*serve=*/false);
  if (!PortOpen(state, line)) return;
  ThreadSlack slack(state);
  tagport_redirect_reset();
  const Latency latency = TimeExchanges(
      state, 0, -2,
      [](void*) {
        ClearPacket();
        return IsSuccessRecv(kReaderReplyPolls);
      },
      nullptr);
  ReportPolls(state, static_cast<double>(state.iterations()));
  ReportLatency(state, latency);
  (slack.background() ? figures.background_idle_wait : figures.idle_wait) =
      latency;
}

void BM_ExchangeHeapUse(benchmark::State& state) {
  ReaderLine line(/*serve=*/true);
  if (!PortOpen(state, line)) return;
  for (int k = 0; k < kWarmUpExchanges; ++k) LibraryExchange();
  HeapFigures heap;
  const tagport_bench::HeapCounts before = tagport_bench::ReadHeapCounts();
  for (auto _ : state) {
    int result;
    {
      tagport_bench::LibraryCallScope scope;
      result = LibraryExchange();
    }
    if (result != 0) ++heap.failures;
  }
  heap.counts = tagport_bench::ReadHeapCounts() - before;
  heap.exchanges = state.iterations();
  state.counters["library_heap_calls"] =
      static_cast<double>(heap.counts.library_direct);
  state.counters["library_thread_heap_calls"] =
      static_cast<double>(heap.counts.library_thread);
  state.counters["process_heap_calls"] =
      static_cast<double>(heap.counts.process);
  state.counters["failures"] = static_cast<double>(heap.failures);
  figures.heap = heap;
}

BENCHMARK(BM_DecodeStream)->MinTime(0.5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExchangeLibrary)
    ->Arg(0)
    ->Arg(kBackgroundSlackNs)
    ->ArgName("slack_ns")
    ->Iterations(kRoundTrips)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ExchangeEventDriven)
    ->Iterations(kRoundTrips)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IdleReplyWait)
    ->Arg(0)
    ->Arg(kBackgroundSlackNs)
    ->ArgName("slack_ns")
    ->Iterations(kIdleWaits)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExchangeHeapUse)
    ->Iterations(kCountedExchanges)
    ->Unit(benchmark::kMicrosecond);

// One line of the summary. A row without a verdict is for information.
enum class Verdict { kInfo, kPass, kFail, kNotRun };

struct SummaryRow {
  std::string figure;
  std::string measured;
  std::string target;
  Verdict verdict;
};

std::string Format(const char* format, double value) {
  char text[64];
  snprintf(text, sizeof text, format, value);
  return text;
}

Verdict Check(bool met) { return met ? Verdict::kPass : Verdict::kFail; }

std::string Failures(int64_t failures) {
  return failures ? " (" + std::to_string(failures) + " failed)" : "";
}

std::vector<SummaryRow> SummaryRows() {
  std::vector<SummaryRow> rows;
  const std::string not_run = "not run";
  const std::string mb_target = Format(">= %.0f MB/s", kMinDecodeMBps);
  if (figures.decode_mb_per_cpu_s) {
    rows.push_back({"decoder throughput, median pass, CPU time",
                    Format("%.1f MB/s", *figures.decode_mb_per_cpu_s),
                    mb_target,
                    Check(*figures.decode_mb_per_cpu_s >= kMinDecodeMBps)});
    rows.push_back({"decoder throughput, median pass, wall clock",
                    Format("%.1f MB/s", *figures.decode_mb_per_wall_s), "",
                    Verdict::kInfo});
  } else {
    rows.push_back({"decoder throughput (RxDecode)", not_run, mb_target,
                    Verdict::kNotRun});
  }

  const std::string median_target = Format("<= %.1f ms", kMaxExchangeMedianMs);
  const auto& library = figures.library_exchange;
  const auto& floor = figures.event_driven_exchange;
  if (library) {
    rows.push_back({"exchange, library: median",
                    Format("%.3f ms", library->median_s * 1e3) +
                        Failures(library->failures),
                    median_target,
                    Check(library->median_s * 1e3 <= kMaxExchangeMedianMs &&
                          library->failures == 0)});
    rows.push_back({"exchange, library: p99",
                    Format("%.3f ms", library->p99_s * 1e3), "",
                    Verdict::kInfo});
    rows.push_back({"exchange, library: reads per exchange",
                    Format("%.2f", *figures.library_polls_per_exchange), "",
                    Verdict::kInfo});
  } else {
    rows.push_back({"exchange, library: median", not_run, median_target,
                    Verdict::kNotRun});
  }
  const std::string background_target =
      Format("<= %.1f ms", kMaxBackgroundExchangeMedianMs);
  if (const auto& background = figures.background_exchange) {
    rows.push_back(
        {"exchange, library, 40 ms slack: median",
         Format("%.3f ms", background->median_s * 1e3) +
             Failures(background->failures),
         background_target,
         Check(background->median_s * 1e3 <= kMaxBackgroundExchangeMedianMs &&
               background->failures == 0)});
  } else {
    rows.push_back({"exchange, library, 40 ms slack: median", not_run,
                    background_target, Verdict::kNotRun});
  }
  if (floor) {
    rows.push_back(
        {"exchange, event-driven floor: median",
         Format("%.3f ms", floor->median_s * 1e3) + Failures(floor->failures),
         "", floor->failures ? Verdict::kFail : Verdict::kInfo});
    rows.push_back({"exchange, event-driven floor: p99",
                    Format("%.3f ms", floor->p99_s * 1e3), "", Verdict::kInfo});
  }
  if (library && floor && floor->median_s > 0) {
    rows.push_back({"exchange median, library / floor",
                    Format("%.1f x", library->median_s / floor->median_s), "",
                    Verdict::kInfo});
  }

  const std::string idle_target =
      Format("%.1f", kMinIdleWaitS) + " .. " + Format("%.1f s", kMaxIdleWaitS);
  if (figures.idle_wait) {
    const double median = figures.idle_wait->median_s;
    rows.push_back(
        {"reply wait, 1000 polls, idle: median",
         Format("%.3f s", median) + Failures(figures.idle_wait->failures),
         idle_target,
         Check(median >= kMinIdleWaitS && median <= kMaxIdleWaitS &&
               figures.idle_wait->failures == 0)});
  } else {
    rows.push_back({"reply wait, 1000 polls, idle: median", not_run,
                    idle_target, Verdict::kNotRun});
  }
  const std::string background_idle_target =
      Format("%.1f", kMinIdleWaitS) + " .. " +
      Format("%.1f s", kMaxBackgroundIdleWaitS);
  if (const auto& background = figures.background_idle_wait) {
    rows.push_back({"reply wait, idle, 40 ms slack: median",
                    Format("%.3f s", background->median_s) +
                        Failures(background->failures),
                    background_idle_target,
                    Check(background->median_s >= kMinIdleWaitS &&
                          background->median_s <= kMaxBackgroundIdleWaitS &&
                          background->failures == 0)});
  } else {
    rows.push_back({"reply wait, idle, 40 ms slack: median", not_run,
                    background_idle_target, Verdict::kNotRun});
  }

  if (figures.heap) {
    const HeapFigures& heap = *figures.heap;
    const std::string exchanges = std::to_string(heap.exchanges);
    rows.push_back(
        {"library heap calls, " + exchanges + " exchanges",
         std::to_string(heap.counts.library_direct) + Failures(heap.failures),
         "0", Check(heap.counts.library_direct == 0 && heap.failures == 0)});
    rows.push_back({"  on the caller's thread inside library calls",
                    std::to_string(heap.counts.library_thread), "0",
                    Check(heap.counts.library_thread == 0)});
    rows.push_back({"  whole process (the counter works)",
                    std::to_string(heap.counts.process), "> 0",
                    Check(heap.counts.process > 0)});
  } else {
    rows.push_back(
        {"library heap calls in exchanges", not_run, "0", Verdict::kNotRun});
  }
  return rows;
}

const char* VerdictText(Verdict verdict) {
  switch (verdict) {
    case Verdict::kPass:
      return "pass";
    case Verdict::kFail:
      return "FAIL";
    case Verdict::kNotRun:
      return "not run";
    case Verdict::kInfo:
      break;
  }
  return "";
}

// Prints the summary; true when every target was measured and met.
bool PrintSummary() {
  const std::vector<SummaryRow> rows = SummaryRows();
  bool all_met = true;
  printf("\n%-46s %-22s %-14s %s\n", "figure", "measured", "target", "result");
  printf("%s\n", std::string(90, '-').c_str());
  for (const SummaryRow& row : rows) {
    printf("%-46s %-22s %-14s %s\n", row.figure.c_str(), row.measured.c_str(),
           row.target.c_str(), VerdictText(row.verdict));
    if (row.verdict == Verdict::kFail || row.verdict == Verdict::kNotRun) {
      all_met = false;
    }
  }
  printf("%s\n", all_met ? "all targets met" : "some targets missed");
  fflush(stdout);
  return all_met;
}

}  // namespace

int main(int argc, char** argv) {
  // --strict is ours; everything else goes to Google Benchmark.
  bool strict = false;
  std::vector<char*> arguments;
  for (int k = 0; k < argc; ++k) {
    if (strcmp(argv[k], "--strict") == 0) {
      strict = true;
    } else {
      arguments.push_back(argv[k]);
    }
  }
  int count = static_cast<int>(arguments.size());
  arguments.push_back(nullptr);
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) {
    return 2;
  }
  if (!tagport_bench::LocateLibrary()) {
    fprintf(stderr, "libtagport.so is not loaded\n");
    return 2;
  }
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  const bool all_met = PrintSummary();
  return strict && !all_met ? 1 : 0;
}
