// The frame as the simulated module writes and reads it. Kept apart from the
// library's own frame code on purpose: the module is the oracle the library
// is tested against, and an oracle that shared the library's code would
// agree with its mistakes.
#ifndef TAGPORT_TOOLS_SIM_FRAME_CODEC_H_
#define TAGPORT_TOOLS_SIM_FRAME_CODEC_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "tools/common/hex.h"

namespace tagport_sim {

using tagport_tools::Bytes;

constexpr uint8_t kStartByte = 0x1E;
constexpr size_t kFrameOverhead = 8;

// Sum of the bytes modulo 256.
uint8_t Checksum(const uint8_t* data, size_t n);

// A whole frame: start byte, length, target, 00, status, command, payload,
// checksum. The payload may make the length exceed the library's buffer.
Bytes BuildFrame(uint8_t target, uint8_t status, uint8_t command,
                 const Bytes& payload);

// Splits a byte stream into frames, keeping state across calls. Bytes that
// belong to no valid frame are reported as junk, with the reason.
class FrameReader {
 public:
  struct Event {
    bool is_frame;
    Bytes bytes;
    std::string reason;  // for junk: why the bytes were refused
  };
  void Feed(const uint8_t* data, size_t n, std::vector<Event>* events);

 private:
  void Flush(const char* reason, std::vector<Event>* events);
  Bytes pending_;  // bytes of the frame being gathered
  Bytes noise_;    // bytes skipped while hunting for a start byte
};

}  // namespace tagport_sim

#endif  // TAGPORT_TOOLS_SIM_FRAME_CODEC_H_
