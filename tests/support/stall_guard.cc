// Runs one test command while timing a pseudo-terminal of its own, and runs
// it again when it failed while this machine held pseudo-terminal bytes back.
//
// The kernel hands a pseudo-terminal's bytes to its reader from a worker
// thread shared by every terminal on the machine. A saturated machine can
// keep that worker off the processor for a second or more, and then every
// reply on every line is late: a module that answered at once looks silent
// to the library's 1000 polls. Such a failure says nothing about the code
// under test, so it is not a verdict; a failure on a machine that passed
// bytes promptly is, and is returned at once.
//
//   tagport_stall_guard [--stall-ms N] [--runs N] COMMAND [ARG]...
//
// Exit status: the last run's (128 + the signal for a run killed by one);
// 2 for bad options or a command that could not start.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

#include "tools/common/pty.h"

extern char** environ;

namespace {

// Shorter than the least slack any timed case keeps (a 500-poll scan window
// against a module that answers at once).
const long kDefaultStallMs = 200;
const int kDefaultRuns = 3;
const int kProbeGapMs = 20;

long long NowMs() {
  struct timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// Sends one byte at a time through a raw pseudo-terminal of its own and
// keeps the longest time one took to come out at the other end.
class StallMeter {
 public:
  bool Start() {
    std::string slave_path;
    tagport_tools::OpenRawPty(&master_, &slave_, &slave_path);
    if (master_ < 0) return false;
    thread_ = std::thread([this] { Measure(); });
    return true;
  }

  // The longest delay since the last call, and a fresh start.
  long TakeLongestMs() { return longest_ms_.exchange(0); }

  ~StallMeter() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
  }

 private:
  void Note(long long since) {
    const long delay = static_cast<long>(NowMs() - since);
    long seen = longest_ms_.load();
    while (delay > seen && !longest_ms_.compare_exchange_weak(seen, delay)) {
    }
  }

  void Measure() {
    char byte = 'x';
    while (!stop_) {
      const long long sent = NowMs();
      if (write(master_, &byte, 1) != 1) return;
      bool arrived = false;
      while (!stop_ && !arrived) {
        struct pollfd line = {slave_, POLLIN, 0};
        arrived = poll(&line, 1, 100) > 0;
        // A stall still under way when the command ends counts too.
        Note(sent);
      }
      char sent_back;
      if (arrived && read(slave_, &sent_back, 1) != 1) return;
      usleep(kProbeGapMs * 1000);
    }
  }

  int master_ = -1;
  int slave_ = -1;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<long> longest_ms_{0};
};

int RunOnce(char** command) {
  pid_t child;
  if (posix_spawnp(&child, command[0], nullptr, nullptr, command, environ) !=
      0) {
    fprintf(stderr, "tagport_stall_guard: cannot run %s\n", command[0]);
    return -1;
  }
  int status = 0;
  while (waitpid(child, &status, 0) < 0) {
  }
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return WEXITSTATUS(status);
}

int Usage() {
  fprintf(stderr,
          "Usage: tagport_stall_guard [--stall-ms N] [--runs N] COMMAND "
          "[ARG]...\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  long stall_ms = kDefaultStallMs;
  int runs = kDefaultRuns;
  int first = 1;
  while (first < argc && strncmp(argv[first], "--", 2) == 0) {
    if (first + 1 >= argc) return Usage();
    char* end = nullptr;
    const long value = strtol(argv[first + 1], &end, 10);
    if (*end != '\0' || value < 0) return Usage();
    if (strcmp(argv[first], "--stall-ms") == 0) {
      stall_ms = value;
    } else if (strcmp(argv[first], "--runs") == 0 && value >= 1) {
      runs = static_cast<int>(value);
    } else {
      return Usage();
    }
    first += 2;
  }
  if (first >= argc) return Usage();
  char** command = argv + first;

  StallMeter meter;
  const bool measuring = meter.Start();
  if (!measuring) {
    fprintf(stderr,
            "tagport_stall_guard: no pseudo-terminal to time; a failure is "
            "final\n");
  }
  for (int run = 1;; ++run) {
    meter.TakeLongestMs();
    const int status = RunOnce(command);
    if (status < 0) return 2;
    const long longest = measuring ? meter.TakeLongestMs() : 0;
    if (status == 0) {
      if (run > 1) {
        fprintf(stderr, "tagport_stall_guard: passed on run %d of %d\n", run,
                runs);
      }
      return 0;
    }
    if (!measuring || longest < stall_ms) {
      if (measuring) {
        fprintf(stderr,
                "tagport_stall_guard: run %d failed (status %d) with "
                "pseudo-terminal bytes passing within %ld ms: a real "
                "failure\n",
                run, status, longest);
      }
      return status;
    }
    fprintf(stderr,
            "tagport_stall_guard: run %d of %d failed (status %d) while this "
            "machine held pseudo-terminal bytes back for %ld ms (%ld ms or "
            "more counts): %s\n",
            run, runs, status, longest, stall_ms,
            run < runs ? "running it again" : "no runs left");
    if (run >= runs) return status;
  }
}
