#include "tests/support/process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

extern char** environ;

namespace tagport_test {

void SleepMs(int ms) {
  std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string ReadFile(const std::string& path) {
  std::string text;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) {
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return text;
}

bool UnprivilegedPrefix(std::vector<std::string>* prefix) {
  prefix->clear();
  if (geteuid() != 0) return true;
  *prefix = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
             "--clear-groups", "--"};
  return access(prefix->front().c_str(), X_OK) == 0;
}

bool StageForOtherUsers(const std::string& dir,
                        const std::vector<StagedFile>& files,
                        std::string* why) {
  if (chmod(dir.c_str(), 0755) != 0) {
    *why = dir + ": " + strerror(errno);
    return false;
  }
  for (const StagedFile& file : files) {
    const std::string to = dir + "/" + file.name;
    const int in = open(file.from.c_str(), O_RDONLY | O_CLOEXEC);
    const int out =
        open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0755);
    bool copied = in >= 0 && out >= 0;
    char buffer[65536];
    ssize_t n;
    while (copied && (n = read(in, buffer, sizeof buffer)) > 0) {
      copied = write(out, buffer, static_cast<size_t>(n)) == n;
    }
    if (in >= 0) close(in);
    if (out >= 0) copied = close(out) == 0 && copied;
    if (!copied || chmod(to.c_str(), 0755) != 0) {
      *why = file.from + " -> " + to + ": " + strerror(errno);
      return false;
    }
  }
  return true;
}

Process::Process(const std::string& dir, const std::string& name,
                 const std::vector<std::string>& args,
                 const std::vector<std::string>& extra_env)
    : out_path_(dir + "/" + name + ".out"),
      err_path_(dir + "/" + name + ".err") {
  std::vector<char*> argv;
  for (const std::string& arg : args) {
    argv.push_back(const_cast<char*>(arg.c_str()));
  }
  argv.push_back(nullptr);
  // An entry given replaces the inherited one of its name: the loader takes
  // the last LD_PRELOAD or LD_LIBRARY_PATH it finds, not the first.
  std::vector<std::string> env_text(extra_env);
  for (char** entry = environ; *entry; ++entry) {
    const std::string inherited = *entry;
    const std::string key = inherited.substr(0, inherited.find('=') + 1);
    bool replaced = false;
    for (const std::string& given : extra_env) {
      replaced = replaced || given.compare(0, key.size(), key) == 0;
    }
    if (!replaced) env_text.push_back(inherited);
  }
  std::vector<char*> envp;
  for (const std::string& entry : env_text) {
    envp.push_back(const_cast<char*>(entry.c_str()));
  }
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_path_.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(),
                  envp.data()) != 0) {
    pid_ = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
}

Process::~Process() {
  if (pid_ > 0 && !exited_) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

void Process::Signal(int signal_number) { kill(pid_, signal_number); }

int Process::Wait(int timeout_ms) {
  for (int waited = 0; !exited_ && waited < timeout_ms; waited += 10) {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
      exited_ = true;
      exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    } else {
      SleepMs(10);
    }
  }
  return exited_ ? exit_code_ : -1;
}

}  // namespace tagport_test
