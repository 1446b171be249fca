#include "tools/sim/frame_codec.h"

#include <algorithm>

namespace tagport_sim {

uint8_t Checksum(const uint8_t* data, size_t n) {
  uint8_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  return sum;
}

Bytes BuildFrame(uint8_t target, uint8_t status, uint8_t command,
                 const Bytes& payload) {
  const size_t length = payload.size() + kFrameOverhead;
  Bytes frame(length - 1);
  frame[0] = kStartByte;
  frame[1] = static_cast<uint8_t>(length >> 8);
  frame[2] = static_cast<uint8_t>(length);
  frame[3] = target;
  frame[4] = 0x00;
  frame[5] = status;
  frame[6] = command;
  std::copy(payload.begin(), payload.end(), frame.begin() + 7);
  frame.push_back(Checksum(frame.data(), frame.size()));
  return frame;
}

void FrameReader::Flush(const char* reason, std::vector<Event>* events) {
  Bytes& source = pending_.empty() ? noise_ : pending_;
  events->push_back(Event{false, source, reason});
  source.clear();
}

void FrameReader::Feed(const uint8_t* data, size_t n,
                       std::vector<Event>* events) {
  for (size_t k = 0; k < n; ++k) {
    const uint8_t byte = data[k];
    if (pending_.empty()) {
      if (byte != kStartByte) {
        noise_.push_back(byte);
        continue;
      }
      if (!noise_.empty()) Flush("no start byte", events);
    }
    pending_.push_back(byte);
    if (pending_.size() < 3) continue;
    const size_t length = pending_[1] * 256u + pending_[2];
    if (length < kFrameOverhead) {
      Flush("length below 8", events);
    } else if (pending_.size() == length) {
      if (Checksum(pending_.data(), length - 1) == pending_.back()) {
        events->push_back(Event{true, pending_, ""});
        pending_.clear();
      } else {
        Flush("bad checksum", events);
      }
    }
  }
  if (!noise_.empty()) Flush("no start byte", events);
}

}  // namespace tagport_sim
