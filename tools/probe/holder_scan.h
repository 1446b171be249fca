// The doctor's second check: other processes that hold the node open, found
// by looking through every process's open descriptors under /proc, as far
// as the caller may look.
#ifndef TAGPORT_TOOLS_PROBE_HOLDER_SCAN_H_
#define TAGPORT_TOOLS_PROBE_HOLDER_SCAN_H_

#include <sys/stat.h>

#include "tools/probe/doctor_report.h"

namespace tagport_doctor {

// Looks for descriptors of other processes that lead to the node whose
// status is `node`: a device matches by its device number (whichever node
// it was opened through), anything else by its inode.
CheckResult ScanHolders(const struct stat& node);

}  // namespace tagport_doctor

#endif  // TAGPORT_TOOLS_PROBE_HOLDER_SCAN_H_
