#include "tools/probe/node_check.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <vector>

#include "serial/device_nodes.h"
#include "tools/common/command_line.h"

namespace tagport_doctor {

namespace {

using tagport_tools::JsonArray;
using tagport_tools::JsonObject;

const char kLabelAttribute[] = "security.selinux";

// Where the node redirect, when it is loaded into the doctor, leads `path`
// ("/dev/ttyMT<n>"), with the variable that says so in *variable; empty when
// the node is itself. A mistyped target then reads as a missing node.
std::string RedirectTarget(const std::string& path, std::string* variable) {
  const std::string kNodes = TAGPORT_DEVICE_NODE_PREFIX;
  if (path.rfind(kNodes, 0) != 0 ||
      dlsym(RTLD_DEFAULT, "tagport_redirect_node_opens") == nullptr) {
    return "";
  }
  *variable = "TAGPORT_TTYMT" + path.substr(kNodes.size());
  const char* target = getenv(variable->c_str());
  return target != nullptr ? target : "";
}

std::string UserName(uid_t uid) {
  const struct passwd* user = getpwuid(uid);
  const std::string number = std::to_string(uid);
  return user ? std::string(user->pw_name) + " (" + number + ")" : number;
}

std::string GroupName(gid_t gid) {
  const struct group* group = getgrgid(gid);
  const std::string number = std::to_string(gid);
  return group ? std::string(group->gr_name) + " (" + number + ")" : number;
}

// "crw-rw----", as ls shows it.
std::string ModeText(mode_t mode) {
  std::string text = S_ISCHR(mode)    ? "c"
                     : S_ISBLK(mode)  ? "b"
                     : S_ISDIR(mode)  ? "d"
                     : S_ISLNK(mode)  ? "l"
                     : S_ISFIFO(mode) ? "p"
                     : S_ISSOCK(mode) ? "s"
                                      : "-";
  const char kLetters[] = "rwxrwxrwx";
  for (int bit = 0; bit < 9; ++bit) {
    text += (mode & (0400 >> bit)) ? kLetters[bit] : '-';
  }
  return text;
}

std::string TypeText(const struct stat& info) {
  if (S_ISCHR(info.st_mode)) {
    return "character device " + std::to_string(major(info.st_rdev)) + ":" +
           std::to_string(minor(info.st_rdev));
  }
  if (S_ISREG(info.st_mode)) return "regular file";
  if (S_ISDIR(info.st_mode)) return "directory";
  if (S_ISBLK(info.st_mode)) return "block device";
  if (S_ISFIFO(info.st_mode)) return "pipe";
  if (S_ISSOCK(info.st_mode)) return "socket";
  return "file of unknown type";
}

// The caller as the permission bits see it.
struct Caller {
  uid_t uid;
  gid_t gid;
  std::vector<gid_t> groups;
};

Caller CurrentCaller() {
  Caller caller{geteuid(), getegid(), {}};
  const int count = getgroups(0, nullptr);
  if (count > 0) {
    caller.groups.resize(static_cast<size_t>(count));
    const int got = getgroups(count, caller.groups.data());
    caller.groups.resize(got > 0 ? static_cast<size_t>(got) : 0);
  }
  return caller;
}

// Which class of the mode applies to the caller, and what it grants.
struct Access {
  std::string applies;  // owner, group, others or root
  bool read;
  bool write;
};

Access AccessByMode(const struct stat& info, const Caller& caller) {
  if (caller.uid == 0) return {"root", true, true};
  int shift = 0;  // others
  std::string applies = "others";
  bool in_group = caller.gid == info.st_gid;
  for (gid_t group : caller.groups) in_group = in_group || group == info.st_gid;
  if (caller.uid == info.st_uid) {
    shift = 6;
    applies = "owner";
  } else if (in_group) {
    shift = 3;
    applies = "group";
  }
  return {applies, ((info.st_mode >> shift) & 04) != 0,
          ((info.st_mode >> shift) & 02) != 0};
}

std::string AccessText(const Access& access) {
  if (access.applies == "root") return "the mode does not bind root";
  const std::string grants = access.read && access.write ? "read and write"
                             : access.read               ? "read only"
                             : access.write              ? "write only"
                                            : "neither read nor write";
  return "the " + access.applies + " bits apply: " + grants;
}

// The SELinux label through `fd` (a path-only descriptor is read through
// its /proc link). Empty, with the reason in *why, where there is none.
std::string Label(int fd, bool path_only, std::string* why) {
  char label[256];
  ssize_t n;
  if (path_only) {
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    n = getxattr(link.c_str(), kLabelAttribute, label, sizeof label - 1);
  } else {
    n = fgetxattr(fd, kLabelAttribute, label, sizeof label - 1);
  }
  if (n < 0) {
    *why =
        std::string("no ") + kLabelAttribute + " attribute: " + strerror(errno);
    return "";
  }
  label[n] = '\0';  // the attribute may or may not carry its own
  return label;
}

// Where the descriptor leads, when that is not `path` (a link, or a node
// redirected for a test); empty otherwise.
std::string OpenedPath(int fd, const std::string& path) {
  char target[4096];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
  if (n <= 0) return "";
  target[n] = '\0';
  return path == target ? "" : target;
}

std::string ErrnoName(int error) {
  switch (error) {
    case ENOENT:
      return "ENOENT";
    case EACCES:
      return "EACCES";
    case EPERM:
      return "EPERM";
    case EBUSY:
      return "EBUSY";
    case ENXIO:
      return "ENXIO";
    case ENODEV:
      return "ENODEV";
    case EIO:
      return "EIO";
    default:
      return "errno " + std::to_string(error);
  }
}

std::string OpenFailure(int error) {
  return ErrnoName(error) + ", " + strerror(error);
}

// Decides the check from what was learnt.
void Judge(const std::string& path, int open_error, const struct stat& info,
           bool tty, const Access& access, const std::string& label,
           CheckResult* result) {
  const char kChoosePort[] = "compare ls -l " TAGPORT_DEVICE_NODE_PREFIX
                             "*, and choose the port "
                             "with --port";
  if (!S_ISCHR(info.st_mode)) {
    result->Problem(Verdict::kNotATty,
                    std::string("the node must be the UART's character "
                                "device: ") +
                        kChoosePort);
  } else if ((open_error == EACCES || open_error == EPERM) &&
             (!access.read || !access.write)) {
    result->Problem(Verdict::kNoPermission,
                    "give the caller read and write access: run as root, or "
                    "as a member of the node's group, or have the node's "
                    "mode or group changed (ueventd.rc on Android)");
  } else if (open_error == EACCES || open_error == EPERM) {
    result->Problem(Verdict::kNoPermission,
                    "the mode allows it, so a security policy refuses it: "
                    "the caller's SELinux domain needs a rule for " +
                        (label.empty() ? std::string("the node's label")
                                       : "label " + label));
  } else if (open_error == EBUSY) {
    result->Problem(Verdict::kBusy,
                    std::string("another program holds it for itself alone "
                                "(TIOCEXCL), as the app does; ") +
                        kStopTheHolder);
  } else if (open_error != 0) {
    result->Problem(Verdict::kNoNode,
                    "no device answers behind " + path +
                        ": the UART may be disabled or its driver missing");
  } else if (!tty) {
    result->Problem(
        Verdict::kNotATty,
        std::string("this device is no serial line: ") + kChoosePort);
  } else {
    result->status = Status::kOk;
  }
}

}  // namespace

CheckResult CheckNode(const std::string& path, NodeState* state) {
  CheckResult result;
  result.name = "node";
  JsonObject& data = result.data;
  // As the app opens it, so that a node the app could not open does not
  // open here either.
  state->fd =
      open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_EXCL | O_CLOEXEC);
  const int open_error = state->fd < 0 ? errno : 0;
  data.AddString("open", open_error ? OpenFailure(open_error) : "ok");
  int look = state->fd;
  if (look < 0) look = open(path.c_str(), O_PATH | O_CLOEXEC);
  if (look < 0) {
    const int look_error = errno;
    data.AddBool("exists", look_error != ENOENT);
    if (look_error == EACCES || look_error == EPERM) {
      result.found =
          path + ": cannot even look at it (" + OpenFailure(look_error) + ")";
      result.Problem(Verdict::kNoPermission,
                     "the caller may not search the directories on the way: "
                     "run as root");
    } else {
      std::string variable;
      const std::string target = RedirectTarget(path, &variable);
      data.AddString("redirected_to", target);
      result.found = path + ": no such node (" + OpenFailure(look_error) + ")";
      if (target.empty()) {
        result.Problem(Verdict::kNoNode,
                       "check the port index (--port 0.." TAGPORT_TEXT(TAGPORT_LAST_PORT) " for " TAGPORT_DEVICE_NODE_PREFIX "0.." TAGPORT_DEVICE_NODE_PREFIX TAGPORT_TEXT(TAGPORT_LAST_PORT) ") and that the UART's driver is loaded");
      } else {
        result.found +=
            "; the node redirect leads it to " + target + " (" + variable + ")";
        result.Problem(Verdict::kNoNode, "check the path in " + variable +
                                             ", or unset it for the node "
                                             "itself");
      }
    }
    return result;
  }
  data.AddBool("exists", true);
  if (fstat(look, &state->info) != 0) {
    result.found = path + ": cannot read its status (" +
                   std::string(strerror(errno)) + ")";
    if (look != state->fd) close(look);
    return result;
  }
  state->identified = true;
  const struct stat& info = state->info;
  const bool tty = state->fd >= 0 && isatty(state->fd);
  const Caller caller = CurrentCaller();
  const Access access = AccessByMode(info, caller);
  std::string label_why;
  const std::string label = Label(look, look != state->fd, &label_why);
  const std::string opened = OpenedPath(look, path);
  if (look != state->fd) close(look);

  result.found = path + (opened.empty() ? "" : " (leads to " + opened + ")") +
                 ": " + TypeText(info) + (tty ? ", a terminal" : "") + "; " +
                 ModeText(info.st_mode) + " owner " + UserName(info.st_uid) +
                 ", group " + GroupName(info.st_gid) + "; uid " +
                 UserName(caller.uid) + ": " + AccessText(access) +
                 (open_error ? "; open refused: " + OpenFailure(open_error)
                             : "; opened read-write") +
                 "; SELinux label " +
                 (label.empty() ? "skipped (" + label_why + ")" : label);
  Judge(path, open_error, info, tty, access, label, &result);

  char mode[8];
  snprintf(mode, sizeof mode, "%04o",
           static_cast<unsigned>(info.st_mode & 07777));
  JsonArray groups;
  for (gid_t group : caller.groups) groups.AddNumber(group);
  data.AddString("leads_to", opened)
      .AddString("type", TypeText(info))
      .AddBool("terminal", tty)
      .AddString("mode", mode)
      .AddNumber("owner", info.st_uid)
      .AddNumber("group", info.st_gid)
      .AddObject("caller", JsonObject()
                               .AddNumber("uid", caller.uid)
                               .AddNumber("gid", caller.gid)
                               .AddArray("groups", groups))
      .AddString("mode_applies", access.applies)
      .AddBool("mode_allows_read", access.read)
      .AddBool("mode_allows_write", access.write)
      .AddObject("selinux",
                 JsonObject()
                     .AddString("status", label.empty() ? "skipped" : "ok")
                     .AddString("label", label)
                     .AddString("reason", label_why));
  return result;
}

}  // namespace tagport_doctor
