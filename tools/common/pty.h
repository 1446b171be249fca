// Pseudo-terminals for the tools and tests that play the far end of a line.
#ifndef TAGPORT_TOOLS_COMMON_PTY_H_
#define TAGPORT_TOOLS_COMMON_PTY_H_

#include <string>

namespace tagport_tools {

// Opens a pseudo-terminal pair with the slave already raw, both ends
// close-on-exec; -1 in *master and *slave on failure.
void OpenRawPty(int* master, int* slave, std::string* slave_path);

}  // namespace tagport_tools

#endif  // TAGPORT_TOOLS_COMMON_PTY_H_
