// Programs run as child processes, with their output kept in files: the
// tools as a user runs them.
#ifndef TAGPORT_TESTS_SUPPORT_PROCESS_H_
#define TAGPORT_TESTS_SUPPORT_PROCESS_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace tagport_test {

// Enough for a loaded machine; a failing wait is a failure, not a flake.
constexpr int kWaitMs = 20000;

void SleepMs(int ms);

// The whole contents of a file; empty when it cannot be read.
std::string ReadFile(const std::string& path);

// The words to put before a program so that it runs as uid and gid 65534
// with no supplementary groups: root passes the permission bits and
// exclusive marks that the tests are about. Empty when the tests do not run
// as root; false when root has no setpriv to drop its rights with.
bool UnprivilegedPrefix(std::vector<std::string>* prefix);

// The names a program and the libraries it loads are staged under, and the
// paths they are copied from.
struct StagedFile {
  std::string from;
  std::string name;
};

// Copies `files` into `dir` and makes the folder and the copies reachable by
// every user, so that a program run as another user (behind
// UnprivilegedPrefix) can load them wherever the build lies: a checkout in
// a folder only its owner may enter, as `mktemp -d` makes them. The program
// then runs from its copy with LD_LIBRARY_PATH=`dir`. False, with the
// reason in *why, when a copy fails.
bool StageForOtherUsers(const std::string& dir,
                        const std::vector<StagedFile>& files, std::string* why);

// A program run with its standard output and error in <dir>/<name>.out and
// <dir>/<name>.err, killed when the object goes if it has not exited.
class Process {
 public:
  // Starts args[0] with `args`, the environment plus `extra_env`
  // ("NAME=value", in place of the inherited entries of those names).
  Process(const std::string& dir, const std::string& name,
          const std::vector<std::string>& args,
          const std::vector<std::string>& extra_env = {});
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }
  void Signal(int signal_number);

  // The exit status, or -1 when it did not exit normally in time.
  int Wait(int timeout_ms = kWaitMs);

  std::string Out() const { return ReadFile(out_path_); }
  std::string Err() const { return ReadFile(err_path_); }

 private:
  std::string out_path_;
  std::string err_path_;
  pid_t pid_ = -1;
  bool exited_ = false;
  int exit_code_ = -1;
};

}  // namespace tagport_test

#endif  // TAGPORT_TESTS_SUPPORT_PROCESS_H_
