// The doctor's first check: the device node itself. Whether it exists, is a
// terminal, and who may open it, learnt through a descriptor wherever the
// node opens.
#ifndef TAGPORT_TOOLS_PROBE_NODE_CHECK_H_
#define TAGPORT_TOOLS_PROBE_NODE_CHECK_H_

#include <sys/stat.h>

#include <string>

#include "tools/probe/doctor_report.h"

namespace tagport_doctor {

// What the checks after this one need of the node.
struct NodeState {
  int fd = -1;              // the node open read-write, or -1
  bool identified = false;  // `info` holds the node's status
  struct stat info;
};

// Opens `path` as the app does (read-write, without becoming its controlling
// terminal and without waiting for a carrier; refused while another program
// holds it for itself alone) and examines it through that descriptor;
// where the open fails, through a path-only descriptor instead, which needs
// no permission on the node. The caller closes state->fd.
CheckResult CheckNode(const std::string& path, NodeState* state);

}  // namespace tagport_doctor

#endif  // TAGPORT_TOOLS_PROBE_NODE_CHECK_H_
