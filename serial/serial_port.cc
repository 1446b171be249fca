#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <tagport/serial_port.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include "serial/device_nodes.h"
#include "serial/line_rates.h"

int32_t FD_COM = -1;

namespace {

// The stall a write may ride out in all, on top of the time its bytes need
// on the wire: callers are told a request returns after a little over a
// second, so a line that takes a byte now and then must not hold the
// calling thread for minutes.
const int64_t kWriteStallMs = 1000;

// The diagnostics carry no newline; flush so that they survive an abnormal
// end of the process. A failing stdout leaves nowhere to report to.
void PrintDiagnostic(const char* text) {
  (void)fputs(text, stdout);
  (void)fflush(stdout);
}

int OpenSerialDevice(const char* path) {
  FD_COM = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_EXCL);
  if (FD_COM == -1) {
    PrintDiagnostic("openSerial failed");
    return 0;
  }
  return 1;
}

// Lifts the exclusive mark, then closes the recorded descriptor. The mark
// belongs to the terminal, not to the descriptor: on a line whose other side
// stays open (a pseudo-terminal, a UART its driver keeps) it outlives the
// close and would lock the next opener out. A line that never took the mark
// refuses to lift it, and is closed all the same.
void ClosePort() {
  (void)ioctl(FD_COM, TIOCNXCL);
  (void)close(FD_COM);
  FD_COM = -1;
}

// The monotonic clock in milliseconds, in 64 bits: devices stay up for
// months, and a 32-bit count of milliseconds overflows after 24.9 days.
// False when the clock cannot be read.
bool MonotonicMs(int64_t* now_ms) {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return false;
  *now_ms = static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  return true;
}

// Bits one character takes on `line`: start bit, data bits, parity bit,
// stop bits.
int64_t BitsPerCharacter(const struct termios& line) {
  const tcflag_t size = line.c_cflag & CSIZE;
  const int64_t data = size == CS5 ? 5 : size == CS6 ? 6 : size == CS7 ? 7 : 8;
  return 1 + data + ((line.c_cflag & PARENB) != 0 ? 1 : 0) +
         ((line.c_cflag & CSTOPB) != 0 ? 2 : 1);
}

// Milliseconds `bytes` need on the wire at the rate the line is set to,
// rounded up. Settings that cannot be read, or a speed outside the rate
// table, count at the slowest rate the port accepts: a slow line may take
// longer than it needs, but a working one is never cut short.
int64_t WireMs(int bytes) {
  unsigned count = 0;
  int64_t rate = TagportLineRates(&count)[0].rate;
  int64_t bits = 10;
  struct termios line;
  if (tcgetattr(FD_COM, &line) == 0) {
    int32_t line_rate = 0;
    if (TagportRateForSpeed(cfgetospeed(&line), &line_rate)) rate = line_rate;
    bits = BitsPerCharacter(line);
  }
  return (static_cast<int64_t>(bytes) * bits * 1000 + rate - 1) / rate;
}

// Waits until the port can take more bytes or the write's deadline passes.
// The deadline is set at the write's first wait (*deadline_ms is 0 until
// then), so a write that never meets a full line reads neither the clock
// nor the line's settings; progress does not move it. A clock that cannot
// be read leaves no deadline to keep: the wait counts as expired and the
// write fails as on a stalled line, bounded, rather than guess at how long
// it has waited.
bool WaitWritable(int length, int64_t* deadline_ms) {
  for (;;) {
    int64_t now_ms = 0;
    if (!MonotonicMs(&now_ms)) return false;
    if (*deadline_ms == 0) {
      *deadline_ms = now_ms + kWriteStallMs + WireMs(length);
    }
    const int64_t left = *deadline_ms - now_ms;
    if (left <= 0) return false;
    // A huge write on a slow line may have more time left than poll's
    // int holds.
    struct pollfd port = {FD_COM, POLLOUT, 0};
    int ready =
        poll(&port, 1, static_cast<int>(left < INT_MAX ? left : INT_MAX));
    if (ready > 0) return (port.revents & POLLOUT) != 0;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace

int Api_OpenSerial(uint32_t index, int32_t rate) {
  if (index > 3) return 0;
  // Reopening must not strand the descriptor recorded before.
  if (FD_COM != -1) ClosePort();
  if (!OpenSerialDevice(TagportDeviceNode(index))) return 0;
  // O_EXCL means nothing to a device node: the terminal's own mark is what
  // keeps a second program from taking the replies off the line. Others but
  // root are then refused the node as long as the port is open. A line
  // without exclusive mode is used as it is.
  (void)ioctl(FD_COM, TIOCEXCL);

  struct termios line;
  if (tcgetattr(FD_COM, &line) != 0) return 0;
  cfmakeraw(&line);
  line.c_cflag &= ~CSIZE;

  speed_t speed;
  if (!TagportSpeedForRate(rate, &speed)) return 0;
  cfsetispeed(&line, speed);
  cfsetospeed(&line, speed);

  line.c_cc[VMIN] = 1;
  line.c_cc[VTIME] = 0;
  line.c_cflag &= ~(PARENB | CSTOPB);
  line.c_cflag |= CS8;
  line.c_iflag &= ~INPCK;

  tcflush(FD_COM, TCIFLUSH);
  return tcsetattr(FD_COM, TCSANOW, &line) == 0 ? 1 : 0;
}

int Api_CloseSerial(void) {
  if (FD_COM != -1) ClosePort();
  return 1;
}

int Api_WriteSerial(const unsigned char* data, int length) {
  if (FD_COM == -1) return 0;
  if (length < 0) {
    PrintDiagnostic("write error: ");
    return 0;
  }
  // Callers take any count above 0 as a whole frame sent, so finish the
  // write across partial writes, interruptions and a full line, within one
  // bound for the whole call. Bytes already gone out cannot be taken back:
  // a write that fails after progress is still reported as a failure.
  int64_t deadline_ms = 0;  // no wait yet
  int written = 0;
  do {
    ssize_t n =
        write(FD_COM, data + written, static_cast<size_t>(length - written));
    if (n > 0) {
      written += static_cast<int>(n);
    } else if (n < 0 && errno == EINTR) {  // NOLINT(bugprone-branch-clone)
      // Kept apart from the full-line case: only that one waits.
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
               WaitWritable(length, &deadline_ms)) {
      continue;
    } else {
      PrintDiagnostic("write error: ");
      return 0;
    }
  } while (written < length);
  return written;
}

int Api_ReadSerial(unsigned char* buffer, int capacity) {
  if (FD_COM == -1 || capacity <= 0) return 0;
  ssize_t n = read(FD_COM, buffer, static_cast<size_t>(capacity));
  return n < 0 ? 0 : static_cast<int>(n);
}
