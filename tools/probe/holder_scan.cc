#include "tools/probe/holder_scan.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <vector>

#include "tools/common/json.h"

namespace tagport_doctor {

namespace {

using tagport_tools::JsonArray;
using tagport_tools::JsonObject;

// Holders named in the text; the JSON lists all.
const size_t kNamedHolders = 8;

struct Holder {
  long pid;
  std::string command;
};

bool SameNode(const struct stat& node, const struct stat& other) {
  if (S_ISCHR(node.st_mode)) {
    return S_ISCHR(other.st_mode) && other.st_rdev == node.st_rdev;
  }
  return other.st_dev == node.st_dev && other.st_ino == node.st_ino;
}

// A process directory's pid, or -1 for the other entries of /proc.
long PidOf(const char* name) {
  char* end = nullptr;
  const long pid = strtol(name, &end, 10);
  return end != name && *end == '\0' && pid > 0 ? pid : -1;
}

std::string CommandOf(const std::string& process_dir) {
  FILE* file = fopen((process_dir + "/comm").c_str(), "re");
  if (!file) return "?";
  char name[64] = "";
  const bool read = fgets(name, sizeof name, file) != nullptr;
  fclose(file);
  if (!read) return "?";
  name[strcspn(name, "\n")] = '\0';
  return name;
}

// How far the scan could look into one process.
enum class Look { kLookedInto, kNotAllowed, kGone };

// Whether the process in `process_dir` holds the node; false also when it
// may not be looked into or has gone (*look says which).
bool Holds(const std::string& process_dir, const struct stat& node,
           Look* look) {
  *look = Look::kLookedInto;
  const std::string fd_dir = process_dir + "/fd";
  DIR* fds = opendir(fd_dir.c_str());
  if (!fds) {
    // A process that ended since /proc was listed was never looked into:
    // counting it would make a caller who may see nothing look partial.
    *look = errno == EACCES || errno == EPERM ? Look::kNotAllowed : Look::kGone;
    return false;
  }
  bool holds = false;
  while (const struct dirent* entry = readdir(fds)) {
    if (entry->d_name[0] == '.') continue;
    struct stat target;
    // The descriptor's link leads to the open file itself.
    if (stat((fd_dir + "/" + entry->d_name).c_str(), &target) == 0 &&
        SameNode(node, target)) {
      holds = true;
      break;
    }
  }
  closedir(fds);
  return holds;
}

// Whether /proc hides other users' processes from the caller altogether
// (mounted with hidepid=2, as on Android): they then count as neither
// looked into nor refused.
bool OthersHidden() {
  if (geteuid() == 0) return false;
  FILE* mounts = fopen("/proc/mounts", "re");
  if (!mounts) return false;
  bool hidden = false;
  char line[1024];
  while (fgets(line, sizeof line, mounts)) {
    char dir[256];
    char options[512];
    if (sscanf(line, "%*s %255s proc %511s", dir, options) == 2 &&
        strcmp(dir, "/proc") == 0) {
      hidden = strstr(options, "hidepid=2") != nullptr ||
               strstr(options, "hidepid=invisible") != nullptr;
    }
  }
  fclose(mounts);
  return hidden;
}

}  // namespace

CheckResult ScanHolders(const struct stat& node) {
  const std::string proc = "/proc";
  CheckResult result;
  result.name = "holders";
  DIR* processes = opendir(proc.c_str());
  if (!processes) {
    result.status = Status::kSkipped;
    result.found = "cannot list processes in " + proc + " (" +
                   std::string(strerror(errno)) + ")";
    return result;
  }
  const long self = getpid();
  std::vector<Holder> holders;
  int64_t looked_into = 0;
  int64_t not_allowed = 0;
  while (const struct dirent* entry = readdir(processes)) {
    const long pid = PidOf(entry->d_name);
    if (pid < 0 || pid == self) continue;
    const std::string process_dir = proc + "/" + entry->d_name;
    Look look = Look::kGone;
    if (Holds(process_dir, node, &look)) {
      holders.push_back({pid, CommandOf(process_dir)});
    }
    if (look == Look::kLookedInto) ++looked_into;
    if (look == Look::kNotAllowed) ++not_allowed;
  }
  closedir(processes);

  JsonArray held_by;
  std::string names;
  for (size_t k = 0; k < holders.size(); ++k) {
    const Holder& holder = holders[k];
    held_by.AddObject(JsonObject()
                          .AddNumber("pid", holder.pid)
                          .AddString("command", holder.command));
    if (k < kNamedHolders) {
      names += (names.empty() ? "" : ", ") + std::string("pid ") +
               std::to_string(holder.pid) + " (" + holder.command + ")";
    }
  }
  if (holders.size() > kNamedHolders) {
    names += " and " + std::to_string(holders.size() - kNamedHolders) + " more";
  }
  const bool others_hidden = OthersHidden();
  result.data.AddArray("held_by", held_by)
      .AddNumber("looked_into", looked_into)
      .AddNumber("not_allowed", not_allowed)
      .AddBool("others_hidden", others_hidden);
  const std::string counts =
      std::to_string(looked_into) + " processes looked into" +
      (not_allowed ? ", " + std::to_string(not_allowed) + " not allowed" : "") +
      (others_hidden ? "; other users' processes are hidden (hidepid=2)" : "");
  if (!holders.empty()) {
    result.found = "held open by " + names + " (" + counts + ")";
    result.Problem(Verdict::kBusy, kStopTheHolder);
  } else if (looked_into == 0 && not_allowed > 0) {
    result.status = Status::kSkipped;
    result.found =
        "not allowed to look into any other process (" + counts + ")";
    result.next = "run as root to see who holds the node";
  } else if (not_allowed > 0 || others_hidden) {
    result.status = Status::kPartial;
    result.found =
        "no other process holds it among those it could see (" + counts + ")";
    result.next = "run as root to look into every process";
  } else {
    result.status = Status::kOk;
    result.found = "no other process holds it open (" + counts + ")";
  }
  return result;
}

}  // namespace tagport_doctor
