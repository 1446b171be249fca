// Feeds fuzzed reply frames to the reader commands seek and move over a real
// pseudo-terminal and checks their verdicts against the acceptance rules.
//
// Every input becomes a byte stream that completes a frame at once, so no
// run waits out the commands' 1000-poll timeout. The stream goes on the line
// the moment the command has written its request, as a real module answers:
// anything waiting before the request is discarded by the command.
//   byte 0      flags: bit 0 move instead of seek; bit 1 keep the frame's
//               checksum right; bit 2 pass a null array; bit 3 make
//               GetByteArrayElements fail
//   bytes 1-2   the array's length, 0..2047 (below 8 it can hold no card)
//   byte 3      count of noise bytes sent ahead of the frame (0x1E in them
//               becomes 0x1F, so the decoder keeps hunting)
//   then        the noise, then the frame's target, zero, status and command
//               bytes and its payload (at most 2040 bytes); the start byte,
//               length and checksum are filled in.
// A frame whose checksum was spoiled is followed by a good reply, which the
// command must judge instead.
//
// open is left out: it opens "/dev/ttyMT3" itself; its verdict is the same
// code path as move's.
//
// Checks: the request on the line is the command's exact frame, and none
// goes out for an array that cannot take a card; the result is what the
// rules give (-1, or 0 / the data count); the data lands at the start of the
// array, the rest of the array and guard bytes on both sides stay
// untouched; the elements are released exactly once, with mode 0 and the
// pointer handed out, or never when they were not obtained.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <tagport/serial_port.h>
#include <tagport/tagport_jni.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>

#include "tools/common/pty.h"
#include "tools/fake_jni/fake_byte_array.h"
#include "tools/sim/frame_codec.h"

namespace {

using tagport_tools::Bytes;
using tagport_tools::FakeByteArray;

constexpr size_t kMaxPayload = 2040;
constexpr size_t kMaxArray = 2047;
constexpr uint8_t kArrayByte = 0x5C;
// The fewest card bytes an accepted reply carries.
constexpr jsize kSmallestCard = 8;

FakeByteArray array;
int master_fd = -1;
int line_fd = -1;

[[noreturn]] void Fail(const char* what, long got, long expected) {
  fprintf(stderr, "check failed: %s (got %ld, expected %ld)\n", what, got,
          expected);
  abort();
}

void CheckEqual(long got, long expected, const char* what) {
  if (got != expected) Fail(what, got, expected);
}

void Drain(int fd) {
  uint8_t buffer[4096];
  while (read(fd, buffer, sizeof buffer) > 0) {
  }
}

// Until the line end holds `count` bytes: the pseudo-terminal hands written
// bytes over asynchronously.
void WaitForLine(size_t count) {
  for (int spins = 0; spins < 100000; ++spins) {
    int waiting = 0;
    if (ioctl(line_fd, FIONREAD, &waiting) != 0) abort();
    if (static_cast<size_t>(waiting) >= count) return;
    usleep(10);
  }
  Fail("reply bytes never reached the line", 0, static_cast<long>(count));
}

// The reply stream, sent once the library has written its request.
Bytes answer;
bool answer_armed = false;

using WriteFunction = ssize_t (*)(int, const void*, size_t);

WriteFunction RealWrite() {
  static const WriteFunction real =
      reinterpret_cast<WriteFunction>(dlsym(RTLD_NEXT, "write"));
  return real;
}

// The result the command must give for the first whole frame `reply`.
// Written out here rather than taken from the library's own rules on
// purpose: this is the oracle the commands are judged by, and an oracle
// that shared their code would agree with their mistakes.
long Verdict(bool move, const Bytes& reply, jsize capacity) {
  const uint8_t command = move ? 0x50 : 0x41;
  if (reply[5] != 1 || reply[6] != command || reply[3] != 5) return -1;
  if (move) return 0;
  if (reply[7] != 1 || reply.size() < 20) return -1;
  const long count = static_cast<long>(reply.size()) - 12;
  return count > capacity ? -1 : count;
}

}  // namespace

// The module's end of the line: the library's write of the request is the
// cue for the reply. Every other write passes straight through.
extern "C" ssize_t write(int fd, const void* data, size_t n) {
  const ssize_t written = RealWrite()(fd, data, n);
  if (fd == line_fd && answer_armed && written > 0) {
    answer_armed = false;
    if (RealWrite()(master_fd, answer.data(), answer.size()) !=
        static_cast<ssize_t>(answer.size())) {
      abort();
    }
    WaitForLine(answer.size());
  }
  return written;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  int slave = -1;
  std::string path;
  tagport_tools::OpenRawPty(&master_fd, &slave, &path);
  if (master_fd < 0) abort();
  line_fd = slave;
  fcntl(master_fd, F_SETFL, fcntl(master_fd, F_GETFL) | O_NONBLOCK);
  fcntl(line_fd, F_SETFL, fcntl(line_fd, F_GETFL) | O_NONBLOCK);
  FD_COM = line_fd;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 8) return 0;
  const uint8_t flags = data[0];
  const bool move = flags & 1;
  const bool good_checksum = flags & 2;
  const bool null_array = !move && (flags & 4);
  const jsize capacity =
      static_cast<jsize>((data[1] * 256u + data[2]) % (kMaxArray + 1));
  size_t at = 4;
  const size_t noise_count = std::min<size_t>(data[3], size - at);
  Bytes stream(data + at, data + at + noise_count);
  for (uint8_t& byte : stream) {
    if (byte == tagport_sim::kStartByte) byte = 0x1F;
  }
  at += noise_count;
  if (size - at < 4) return 0;
  const uint8_t target = data[at], status = data[at + 2],
                command = data[at + 3];
  at += 4;
  const Bytes payload(data + at, data + std::min(size, at + kMaxPayload));
  // The zero byte is not examined; the builder always writes 00.
  Bytes reply = tagport_sim::BuildFrame(target, status, command, payload);
  Bytes judged = reply;
  if (!good_checksum) {
    reply.back() = static_cast<uint8_t>(reply.back() + 1);
    judged =
        tagport_sim::BuildFrame(5, 1, move ? 0x50 : 0x41,
                                move ? Bytes{0x00}
                                     : Bytes{0x01, 0, 0, 0, 0xC0, 0xC1, 0xC2,
                                             0xC3, 0xC4, 0xC5, 0xC6, 0xC7});
    stream.insert(stream.end(), reply.begin(), reply.end());
  }
  stream.insert(stream.end(), judged.begin(), judged.end());

  tcflush(line_fd, TCIFLUSH);
  Drain(master_fd);
  answer = stream;
  answer_armed = true;

  array.Reset(capacity, kArrayByte);
  const bool fail_elements = !move && (flags & 8);
  if (fail_elements) array.FailElements();
  const bool too_small = !move && !null_array && capacity < kSmallestCard;

  JNIEnv* env = tagport_tools::FakeJniEnv();
  jint result;
  if (move) {
    result = Java_android_kq_Ctagport_move(env, nullptr);
  } else {
    result = Java_android_kq_Ctagport_seek(
        env, nullptr, null_array ? nullptr : array.handle());
  }

  // Refused before any request: nothing to wait a second for.
  const bool unsent = null_array || too_small || fail_elements;
  long expected;
  if (unsent) {
    expected = -1;
    CheckEqual(array.gets(), too_small || null_array ? 0 : 1,
               "GetByteArrayElements calls before sending nothing");
    CheckEqual(array.releases(), 0, "releases of elements never obtained");
  } else {
    expected = Verdict(move, judged, capacity);
    const Bytes request =
        move ? Bytes{0x1E, 0x00, 0x09, 0x05, 0x00, 0xFF, 0x50, 0x00, 0x7B}
             : Bytes{0x1E, 0x00, 0x0B, 0x05, 0x00, 0xFF,
                     0x41, 0x04, 0x00, 0x00, 0x72};
    uint8_t sent[64] = {};
    CheckEqual(read(master_fd, sent, sizeof sent),
               static_cast<long>(request.size()), "request length");
    CheckEqual(memcmp(sent, request.data(), request.size()), 0,
               "request bytes");
    if (!move) {
      CheckEqual(array.gets(), 1, "GetByteArrayElements calls");
      CheckEqual(array.releases(), 1, "ReleaseByteArrayElements calls");
      CheckEqual(array.release_mode(), 0, "release mode");
      CheckEqual(array.released_what_was_got(), 1, "released pointer");
    }
  }
  CheckEqual(result, expected, "result");
  // A command that sent nothing got no answer either.
  CheckEqual(answer_armed, unsent, "reply sent without a request");
  answer_armed = false;

  const size_t copied = !move && result > 0 ? static_cast<size_t>(result) : 0;
  if (copied > 0) {
    CheckEqual(memcmp(array.bytes(), judged.data() + 11, copied), 0,
               "card data");
  }
  for (size_t k = copied; k < static_cast<size_t>(capacity); ++k) {
    CheckEqual(array.bytes()[k], kArrayByte, "array byte behind the data");
  }
  CheckEqual(array.SpoiledGuard(), -1, "spoiled guard byte");
  return 0;
}
