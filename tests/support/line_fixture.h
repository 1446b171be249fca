// Shared test fixture: a simulated reader module on a pseudo-terminal that
// "/dev/ttyMT3" leads to, and a clean library state for every test.
#ifndef TAGPORT_TESTS_SUPPORT_LINE_FIXTURE_H_
#define TAGPORT_TESTS_SUPPORT_LINE_FIXTURE_H_

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tools/common/hex.h"
#include "tools/redirect/node_redirect.h"
#include "tools/sim/simulated_reader.h"

namespace tagport_test {

using tagport_tools::Bytes;

// The calls libtagport.so made since the last reset, as the node redirect
// recorded them.
std::vector<tagport_redirect_call> LibraryCalls();

// The one call of `kind` among `calls`; a test failure, and a call of kind
// 0, when there is not exactly one.
tagport_redirect_call OnlyCall(const std::vector<tagport_redirect_call>& calls,
                               int kind);

// The same calls as (kind, value) pairs, for comparing whole sequences.
using CallSummary = std::vector<std::pair<int, long long>>;
CallSummary LibraryCallSummary();

// Points "/dev/ttyMT<index>" at `path` (nullptr: the real node).
void RedirectNode(int index, const char* path);

// Captures what the process writes to standard output.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  // Everything written since construction (the capture goes on).
  std::string Text();

 private:
  int saved_fd_ = -1;
  int file_fd_ = -1;
};

// What `action` writes to standard output. Test failures inside `action`
// would be captured too, so keep assertions outside it.
std::string StdoutOf(const std::function<void()>& action);

// Descriptors this process has open.
int OpenDescriptorCount();

// Bytes as the library's globals hold them.
Bytes Copy(const unsigned char* data, int n);

// "1E 00 09 ..." as bytes; a malformed text fails the calling test.
Bytes HexBytes(const std::string& text);

// Waits up to `timeout_ms` until `count` bytes wait to be read on the
// terminal `fd`. False on timeout.
bool WaitForInput(int fd, size_t count, int timeout_ms = 1000);

// The calling thread's timer slack in nanoseconds, as prctl reports it.
long ThreadTimerSlack();

// Gives the calling thread the timer slack of a foreground thread (50 us):
// for the threads that play the module or send signals, which must keep
// time whatever the slack of the thread that started them (a thread starts
// with its creator's).
void KeepTimeOnThisThread();

// Gives the calling thread `slack_ns` of timer slack, as Android does to a
// background thread (40 ms), and puts the thread's own back at the end.
class ScopedTimerSlack {
 public:
  explicit ScopedTimerSlack(long slack_ns);
  ~ScopedTimerSlack();
  ScopedTimerSlack(const ScopedTimerSlack&) = delete;
  ScopedTimerSlack& operator=(const ScopedTimerSlack&) = delete;

 private:
  long saved_ns_;
};

// Interrupts the thread that made it with a signal (a no-op handler,
// SA_RESTART) every `period_us`, until it goes.
class SignalStorm {
 public:
  explicit SignalStorm(int period_us);
  ~SignalStorm();
  SignalStorm(const SignalStorm&) = delete;
  SignalStorm& operator=(const SignalStorm&) = delete;

  long sent() const { return sent_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<long> sent_{0};
  std::thread sender_;
};

// A pipe as the library's port: bytes written reach the library's next
// read at once, without the kernel's shared worker that passes a
// pseudo-terminal's bytes on (and that a busy machine holds up). For
// tests of the reply wait, where the line's settings play no part.
class PipeLine {
 public:
  PipeLine();
  ~PipeLine();
  PipeLine(const PipeLine&) = delete;
  PipeLine& operator=(const PipeLine&) = delete;

  bool ok() const { return write_fd_ >= 0; }
  // Writes `bytes` for the library to read.
  void Write(const Bytes& bytes);

 private:
  int read_fd_ = -1;
  int write_fd_ = -1;
};

class LineTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Reads what the library wrote to the line, waiting up to `timeout_ms` for
  // `count` bytes (when the module is not serving).
  Bytes ReadLine(size_t count, int timeout_ms = 1000);

  // Writes `bytes` from the module's end of the line (when the module is not
  // serving).
  void WriteLine(const Bytes& bytes);

  tagport_sim::SimulatedReader reader_;
};

}  // namespace tagport_test

#endif  // TAGPORT_TESTS_SUPPORT_LINE_FIXTURE_H_
