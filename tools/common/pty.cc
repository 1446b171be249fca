#include "tools/common/pty.h"

#include <fcntl.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

namespace tagport_tools {

void OpenRawPty(int* master, int* slave, std::string* slave_path) {
  *master = -1;
  *slave = -1;
  const int fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return;
  char name[128];
  if (grantpt(fd) != 0 || unlockpt(fd) != 0 ||
      ptsname_r(fd, name, sizeof name) != 0) {
    close(fd);
    return;
  }
  const int slave_fd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  struct termios line;
  if (slave_fd < 0 || tcgetattr(slave_fd, &line) != 0) {
    if (slave_fd >= 0) close(slave_fd);
    close(fd);
    return;
  }
  // Raw from the start: no echo of replies that arrive before the library
  // configures its end.
  cfmakeraw(&line);
  tcsetattr(slave_fd, TCSANOW, &line);
  *master = fd;
  *slave = slave_fd;
  *slave_path = name;
}

}  // namespace tagport_tools
