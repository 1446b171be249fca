#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <tagport/serial_port.h>
#include <termios.h>
#include <unistd.h>

#include "serial/device_nodes.h"
#include "serial/line_rates.h"
#include "serial/serial_internal.h"

int32_t FD_COM = -1;

namespace {

// The time a write may take in all, on top of the time its bytes need on
// the wire: callers are told a request returns after a little over a
// second, so a line that takes a byte now and then must not hold the
// calling thread for minutes.
const int64_t kWriteSlackMs = 1000;

// The time a write may go without any byte taken, however much of its whole
// bound is left: a line that takes nothing (flow control held off, a stuck
// driver) fails as soon as it shows it, not after the bytes' wire time.
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
  // A program the app starts (fork, then exec) must not take the line with
  // it and hold it past the app's close. The open's flags stay as they are
  // documented, so the mark comes after; a descriptor that cannot take it
  // is used all the same.
  (void)fcntl(FD_COM, F_SETFD, FD_CLOEXEC);
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

// The monotonic clock in milliseconds; false when it cannot be read.
bool MonotonicMs(int64_t* now_ms) {
  int64_t now_us = 0;
  if (MonotonicUs(&now_us) == 0) return false;
  *now_ms = now_us / 1000;
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

// The deadlines of one write, in monotonic milliseconds, set when the write
// first has to wait: a write that goes out at once reads neither the clock
// nor the line's settings.
struct WriteBounds {
  int64_t whole_ms = 0;      // the whole write, 0 until set
  int64_t stall_ms = 0;      // the next byte, 0 until set
  int written_at_stall = 0;  // bytes written when stall_ms was set
};

// Milliseconds the write of `length` bytes, `written` of them gone, may
// still wait; 0 once either bound has passed. Progress since the last call
// moves the stall bound, never the whole one. A clock that cannot be read
// leaves no bound to keep: the write fails as on a stalled line, bounded,
// rather than guess at how long it has waited.
int64_t WriteTimeLeft(int length, int written, WriteBounds* bounds) {
  int64_t now_ms = 0;
  if (!MonotonicMs(&now_ms)) return 0;
  if (bounds->whole_ms == 0) {
    bounds->whole_ms = now_ms + kWriteSlackMs + WireMs(length);
  }
  if (bounds->stall_ms == 0 || written != bounds->written_at_stall) {
    bounds->stall_ms = now_ms + kWriteStallMs;
    bounds->written_at_stall = written;
  }
  const int64_t deadline_ms =
      bounds->whole_ms < bounds->stall_ms ? bounds->whole_ms : bounds->stall_ms;
  return deadline_ms > now_ms ? deadline_ms - now_ms : 0;
}

// Waits until the port can take more bytes or a bound of the write passes.
bool WaitWritable(int length, int written, WriteBounds* bounds) {
  for (;;) {
    const int64_t left = WriteTimeLeft(length, written, bounds);
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

// Whether a write that failed with `error`, `written` of its `length` bytes
// gone, may be tried again: an interruption at once, a full line once it
// has room, either only within the write's bounds, so that a write
// interrupted without end still returns.
bool MayRetryWrite(int error, int length, int written, WriteBounds* bounds) {
  if (error == EINTR) return WriteTimeLeft(length, written, bounds) > 0;
  if (error == EAGAIN || error == EWOULDBLOCK) {
    return WaitWritable(length, written, bounds);
  }
  return false;
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
  // write across partial writes, interruptions and a full line, within its
  // bounds: the whole call, and the time without a byte taken. Bytes
  // already gone out cannot be taken back: a write that fails after
  // progress is still reported as a failure.
  WriteBounds bounds;
  int written = 0;
  do {
    ssize_t n =
        write(FD_COM, data + written, static_cast<size_t>(length - written));
    if (n > 0) {
      written += static_cast<int>(n);
    } else if (n == 0 || !MayRetryWrite(errno, length, written, &bounds)) {
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
