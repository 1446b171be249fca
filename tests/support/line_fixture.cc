#include "tests/support/line_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <tagport/frame_link.h>
#include <tagport/serial_port.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "tools/common/hex.h"
#include "tools/redirect/node_redirect.h"

namespace tagport_test {

namespace {

// Whether the redirect sees the library's own calls. It does not when a
// sanitizer runtime comes ahead of it in symbol lookup: the runtime's
// interceptors are then the callers. Asked once, before any test runs, so
// that the probe's own read never lands in a test's counts.
bool ProbeRedirectSeesLibrary() {
  int pipe_fds[2];
  if (pipe(pipe_fds) != 0) return false;
  fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);
  const int32_t saved_port = FD_COM;
  FD_COM = pipe_fds[0];
  const long before = tagport_redirect_read_calls();
  unsigned char byte;
  Api_ReadSerial(&byte, 1);
  const bool counted = tagport_redirect_read_calls() > before;
  FD_COM = saved_port;
  close(pipe_fds[0]);
  close(pipe_fds[1]);
  tagport_redirect_reset();
  return counted;
}

const bool kRedirectSeesLibrary = ProbeRedirectSeesLibrary();

}  // namespace

std::vector<tagport_redirect_call> LibraryCalls() {
  std::vector<tagport_redirect_call> calls(256);
  const long recorded =
      tagport_redirect_calls(calls.data(), static_cast<long>(calls.size()));
  EXPECT_LE(recorded, static_cast<long>(calls.size()))
      << "more library calls than the redirect keeps";
  calls.resize(
      static_cast<size_t>(std::min(recorded, static_cast<long>(calls.size()))));
  return calls;
}

tagport_redirect_call OnlyCall(const std::vector<tagport_redirect_call>& calls,
                               int kind) {
  tagport_redirect_call found = {};
  int count = 0;
  for (const tagport_redirect_call& call : calls) {
    if (call.kind != kind) continue;
    if (++count == 1) found = call;
  }
  EXPECT_EQ(count, 1) << "calls of kind " << kind;
  return count == 1 ? found : tagport_redirect_call{};
}

CallSummary LibraryCallSummary() {
  CallSummary summary;
  for (const tagport_redirect_call& call : LibraryCalls()) {
    summary.emplace_back(call.kind, call.value);
  }
  return summary;
}

void RedirectNode(int index, const char* path) {
  const std::string name = "TAGPORT_TTYMT" + std::to_string(index);
  if (path) {
    setenv(name.c_str(), path, 1);
  } else {
    unsetenv(name.c_str());
  }
}

StdoutCapture::StdoutCapture() {
  fflush(stdout);
  char name[] = "/tmp/tagport-stdout-XXXXXX";
  file_fd_ = mkstemp(name);
  unlink(name);
  saved_fd_ = dup(STDOUT_FILENO);
  dup2(file_fd_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() {
  fflush(stdout);
  dup2(saved_fd_, STDOUT_FILENO);
  close(saved_fd_);
  close(file_fd_);
}

std::string StdoutCapture::Text() {
  // No fflush here: the library must have flushed its own diagnostics.
  std::string text;
  char buffer[256];
  ssize_t n;
  off_t at = 0;
  while ((n = pread(file_fd_, buffer, sizeof buffer, at)) > 0) {
    text.append(buffer, static_cast<size_t>(n));
    at += n;
  }
  return text;
}

std::string StdoutOf(const std::function<void()>& action) {
  StdoutCapture capture;
  action();
  return capture.Text();
}

int OpenDescriptorCount() {
  int count = 0;
  DIR* dir = opendir("/proc/self/fd");
  if (!dir) return -1;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // the directory's own descriptor
}

Bytes Copy(const unsigned char* data, int n) {
  return n > 0 ? Bytes(data, data + n) : Bytes();
}

Bytes HexBytes(const std::string& text) {
  Bytes bytes;
  EXPECT_TRUE(tagport_tools::ParseHex(text, &bytes)) << "bad hex: " << text;
  return bytes;
}

bool WaitForInput(int fd, size_t count, int timeout_ms) {
  for (int waited_ms = 0;; ++waited_ms) {
    int waiting = 0;
    if (ioctl(fd, FIONREAD, &waiting) != 0) return false;
    if (static_cast<size_t>(waiting) >= count) return true;
    if (waited_ms >= timeout_ms) return false;
    const struct timespec one_ms = {0, 1000000};
    nanosleep(&one_ms, nullptr);
  }
}

long ThreadTimerSlack() { return prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0); }

void KeepTimeOnThisThread() {
  const long kForegroundSlackNs = 50000;
  EXPECT_EQ(prctl(PR_SET_TIMERSLACK, kForegroundSlackNs, 0, 0, 0), 0);
}

ScopedTimerSlack::ScopedTimerSlack(long slack_ns)
    : saved_ns_(ThreadTimerSlack()) {
  EXPECT_EQ(prctl(PR_SET_TIMERSLACK, slack_ns, 0, 0, 0), 0);
  EXPECT_EQ(ThreadTimerSlack(), slack_ns);
}

ScopedTimerSlack::~ScopedTimerSlack() {
  prctl(PR_SET_TIMERSLACK, saved_ns_, 0, 0, 0);
}

namespace {
void IgnoreSignal(int) {}
}  // namespace

SignalStorm::SignalStorm(int period_us) {
  struct sigaction action = {};
  action.sa_handler = IgnoreSignal;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  EXPECT_EQ(sigaction(SIGUSR1, &action, nullptr), 0);
  const pthread_t target = pthread_self();
  sender_ = std::thread([this, target, period_us] {
    KeepTimeOnThisThread();
    while (!stop_) {
      pthread_kill(target, SIGUSR1);
      ++sent_;
      std::this_thread::sleep_for(std::chrono::microseconds(period_us));
    }
  });
}

SignalStorm::~SignalStorm() {
  stop_ = true;
  sender_.join();
}

PipeLine::PipeLine() {
  int fds[2];
  if (pipe(fds) != 0) return;
  read_fd_ = fds[0];
  write_fd_ = fds[1];
  fcntl(read_fd_, F_SETFL, O_NONBLOCK);
  EXPECT_EQ(FD_COM, -1) << "a port is open";
  FD_COM = read_fd_;
}

PipeLine::~PipeLine() {
  if (FD_COM == read_fd_) FD_COM = -1;
  close(read_fd_);
  close(write_fd_);
}

void PipeLine::Write(const Bytes& bytes) {
  EXPECT_EQ(write(write_fd_, bytes.data(), bytes.size()),
            static_cast<ssize_t>(bytes.size()));
}

void LineTest::SetUp() {
  ASSERT_TRUE(kRedirectSeesLibrary)
      << "the node redirect does not see libtagport.so's calls: preload it "
         "ahead of any sanitizer runtime (LD_PRELOAD), as "
         "scripts/ci/sanitize.sh does";
  ASSERT_TRUE(reader_.ok()) << "no pseudo-terminal";
  Api_CloseSerial();
  ClearPacket();
  RedirectNode(3, reader_.slave_path().c_str());
  tagport_redirect_reset();
}

void LineTest::TearDown() {
  Api_CloseSerial();
  reader_.Stop();
  for (int index = 0; index < 4; ++index) RedirectNode(index, nullptr);
}

Bytes LineTest::ReadLine(size_t count, int timeout_ms) {
  Bytes bytes;
  unsigned char buffer[4096];
  while (bytes.size() < count) {
    struct pollfd line = {reader_.master_fd(), POLLIN, 0};
    if (poll(&line, 1, timeout_ms) <= 0) break;
    const ssize_t n = read(reader_.master_fd(), buffer, sizeof buffer);
    if (n <= 0) break;
    bytes.insert(bytes.end(), buffer, buffer + n);
  }
  return bytes;
}

void LineTest::WriteLine(const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n =
        write(reader_.master_fd(), bytes.data() + done, bytes.size() - done);
    if (n <= 0) {
      struct pollfd line = {reader_.master_fd(), POLLOUT, 0};
      ASSERT_GT(poll(&line, 1, 1000), 0) << "line stays full";
      continue;
    }
    done += static_cast<size_t>(n);
  }
}

}  // namespace tagport_test
