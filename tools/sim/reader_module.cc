#include "tools/sim/reader_module.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace tagport_sim {

namespace {

using tagport_tools::Hex;

const Bytes kDefaultCard = {0x04, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0x07};
const size_t kShortSeekData = 7;
const uint8_t kFailureStatus = 2;
const uint8_t kWrongTarget = 6;
const int kHangUpGraceMs = 50;
const int kHangUpLimitMs = 2000;
const int kUnreadPollMs = 5;
// How often a line nobody holds open is looked at again.
const int kReopenPollMs = 10;

void SleepMs(int ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// Writes everything, waiting while the line is full. False when the line
// is gone.
bool WriteAll(int fd, const uint8_t* data, size_t n) {
  size_t done = 0;
  while (done < n) {
    ssize_t written = write(fd, data + done, n - done);
    if (written > 0) {
      done += static_cast<size_t>(written);
    } else if (written < 0 && errno == EINTR) {
      continue;
    } else if (written < 0 && errno == EAGAIN) {
      struct pollfd line = {fd, POLLOUT, 0};
      poll(&line, 1, 100);
    } else {
      return false;
    }
  }
  return true;
}

// What a reply sent at one rate and read at another looks like: as many
// bytes, none of them a start byte, so that they never form a frame.
Bytes Garbled(const Bytes& reply) {
  Bytes garbage;
  for (uint8_t byte : reply) {
    const uint8_t misread = static_cast<uint8_t>(byte ^ 0xA5);
    garbage.push_back(misread == kStartByte ? 0xFF : misread);
  }
  return garbage;
}

std::string Timestamp() {
  struct timespec now;
  struct tm local;
  // A 32-bit time_t cannot hold the time from 2038 on: the clock then fails
  // rather than hand out a wrapped second.
  if (clock_gettime(CLOCK_REALTIME, &now) != 0 ||
      localtime_r(&now.tv_sec, &local) == nullptr) {
    return "--:--:--.---";
  }
  // tv_nsec is long on most ABIs but long long on x32: an int always fits.
  const int ms = static_cast<int>(now.tv_nsec / 1000000);
  char text[32];
  snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour,
           local.tm_min, local.tm_sec, ms);
  return text;
}

const struct {
  Fault fault;
  const char* name;
} kFaultNames[] = {
    {Fault::kNone, "none"},
    {Fault::kSilent, "silent"},
    {Fault::kBadChecksum, "bad-checksum"},
    {Fault::kWrongStatus, "wrong-status"},
    {Fault::kWrongTarget, "wrong-target"},
    {Fault::kWrongCommand, "wrong-command"},
    {Fault::kShortSeek, "short-seek"},
    {Fault::kNoCardFlag, "no-card-flag"},
    {Fault::kHangUp, "hang-up"},
};

}  // namespace

const char* FaultName(Fault fault) {
  for (const auto& entry : kFaultNames) {
    if (entry.fault == fault) return entry.name;
  }
  return "?";
}

bool ParseFault(const std::string& name, Fault* fault) {
  for (const auto& entry : kFaultNames) {
    if (name == entry.name) {
      *fault = entry.fault;
      return true;
    }
  }
  return false;
}

ReaderModule::ReaderModule() : card_data_(kDefaultCard) {}

void ReaderModule::SetCardData(const Bytes& data) {
  std::lock_guard<std::mutex> lock(mutex_);
  card_data_ = data;
}

void ReaderModule::Script(const Reply& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  script_.push_back(reply);
}

void ReaderModule::ScriptFor(uint8_t command, const Reply& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  command_script_.emplace_back(command, reply);
}

void ReaderModule::SetDefaultReply(const Reply& reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  default_reply_ = reply;
}

void ReaderModule::SetRandomFaults(uint32_t seed, int percent) {
  std::lock_guard<std::mutex> lock(mutex_);
  random_.emplace(seed);
  random_percent_ = percent;
}

void ReaderModule::SetLog(std::function<void(const std::string&)> log) {
  std::lock_guard<std::mutex> lock(mutex_);
  log_ = std::move(log);
}

void ReaderModule::SetEcho(Echo echo) {
  std::lock_guard<std::mutex> lock(mutex_);
  echo_ = echo;
}

void ReaderModule::SetLineDemands(const LineDemands& demands) {
  std::lock_guard<std::mutex> lock(mutex_);
  demands_ = demands;
}

void ReaderModule::SetKeepServingAfterHangUp(bool keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  keep_serving_ = keep;
}

std::vector<Bytes> ReaderModule::Requests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

uint64_t ReaderModule::JunkBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return junk_bytes_;
}

uint64_t ReaderModule::Answered() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return answered_;
}

Bytes ReaderModule::BuildReply(const Bytes& request, const Reply& how) const {
  if (how.raw) return *how.raw;
  if (how.fault == Fault::kSilent || request.size() < kFrameOverhead) {
    return {};
  }
  uint8_t target = request[3];
  uint8_t command = request[6];
  uint8_t status = 1;
  Bytes payload;
  switch (command) {
    case kOpenCommand:
    case kMoveCommand:
      payload = {0x00};
      break;
    case kSeekCommand: {
      Bytes card;
      if (how.card) {
        card = *how.card;
      } else {
        std::lock_guard<std::mutex> lock(mutex_);
        card = card_data_;
      }
      if (how.fault == Fault::kShortSeek) card.resize(kShortSeekData, 0x00);
      payload = {how.fault == Fault::kNoCardFlag ? uint8_t{0} : uint8_t{1},
                 0x00, 0x00, 0x00};
      payload.insert(payload.end(), card.begin(), card.end());
      break;
    }
    default:
      status = kFailureStatus;  // a request this module does not know
      break;
  }
  if (how.fault == Fault::kWrongStatus) status = kFailureStatus;
  if (how.fault == Fault::kWrongTarget) {
    target = target == kWrongTarget ? kWrongTarget + 1 : kWrongTarget;
  }
  if (how.fault == Fault::kWrongCommand) {
    command = command == kOpenCommand ? kMoveCommand : kOpenCommand;
  }
  Bytes frame = BuildFrame(target, status, command, payload);
  if (how.fault == Fault::kBadChecksum) frame.back()++;
  return frame;
}

Reply ReaderModule::NextReply(uint8_t command) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto entry = command_script_.begin(); entry != command_script_.end();
       ++entry) {
    if (entry->first == command) {
      Reply reply = entry->second;
      command_script_.erase(entry);
      return reply;
    }
  }
  if (!script_.empty()) {
    Reply reply = script_.front();
    script_.pop_front();
    return reply;
  }
  Reply reply = default_reply_;
  if (random_ && static_cast<int>((*random_)() % 100) < random_percent_) {
    // Faults that still leave the line usable, plus the harmless
    // disturbances: pieces, noise, a delay.
    const Fault kRandomFaults[] = {
        Fault::kSilent,      Fault::kBadChecksum,  Fault::kWrongStatus,
        Fault::kWrongTarget, Fault::kWrongCommand, Fault::kShortSeek,
        Fault::kNoCardFlag,  Fault::kNone,         Fault::kNone};
    const size_t pick =
        (*random_)() % (sizeof kRandomFaults / sizeof kRandomFaults[0]);
    reply.fault = kRandomFaults[pick];
    reply.pieces = 1 + (*random_)() % 4;
    if ((*random_)() % 2) reply.noise_before = {0x00, 0x55, 0xAA};
    reply.delay_ms = static_cast<int>((*random_)() % 20);
  }
  return reply;
}

void ReaderModule::Log(const char* direction, const std::string& text) {
  std::function<void(const std::string&)> log;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    log = log_;
  }
  if (log) log(Timestamp() + " " + direction + " " + text);
}

bool WaitUntilTheOtherEndHasRead(int master, int limit_ms) {
  char name[128];
  if (ptsname_r(master, name, sizeof name) != 0) return false;
  const int other = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (other < 0) return false;
  // The kernel hands written bytes to the other end from a worker thread,
  // and a count of waiting bytes (FIONREAD) misses those still on their
  // way; poll() waits for that hand-over before it answers.
  for (int waited = 0; waited < limit_ms; waited += kUnreadPollMs) {
    struct pollfd line = {other, POLLIN, 0};
    if (poll(&line, 1, 0) <= 0 || !(line.revents & POLLIN)) break;
    SleepMs(kUnreadPollMs);
  }
  close(other);
  return true;
}

void ReaderModule::Send(int* fd, const Bytes& reply, const Reply& how) {
  if (how.delay_ms > 0) TellSettled();
  SleepMs(how.delay_ms);
  if (!how.noise_before.empty()) {
    Log("->", "noise " + Hex(how.noise_before));
    WriteAll(*fd, how.noise_before.data(), how.noise_before.size());
  }
  if (reply.empty()) {
    Log("--", "no reply");
  } else if (how.fault == Fault::kHangUp) {
    const size_t half = reply.size() / 2;
    Log("->", Hex(reply.data(), half) + " (then hang-up)");
    WriteAll(*fd, reply.data(), half);
    TellSettled();
    // A hang-up flushes what the other end has not read yet: let it take
    // the half frame first.
    if (!WaitUntilTheOtherEndHasRead(*fd, kHangUpLimitMs)) {
      SleepMs(kHangUpGraceMs);
    }
    close(*fd);
    *fd = -1;
    return;
  } else {
    Log("->",
        Hex(reply) + (how.fault == Fault::kNone
                          ? std::string()
                          : std::string(" (") + FaultName(how.fault) + ")"));
    const size_t pieces =
        how.pieces == 0 ? 1 : std::min(how.pieces, reply.size());
    const size_t step = (reply.size() + pieces - 1) / pieces;
    for (size_t at = 0; at < reply.size(); at += step) {
      if (at > 0 && how.piece_gap_ms > 0) {
        TellSettled();
        SleepMs(how.piece_gap_ms);
      }
      if (!WriteAll(*fd, reply.data() + at,
                    std::min(step, reply.size() - at))) {
        return;
      }
    }
  }
  if (!how.noise_after.empty()) {
    Log("->", "noise " + Hex(how.noise_after));
    WriteAll(*fd, how.noise_after.data(), how.noise_after.size());
  }
}

void ReaderModule::Answer(int* fd, const Bytes& request) {
  Echo echo;
  LineDemands demands;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    echo = echo_;
    demands = demands_;
  }
  struct termios line;
  const bool line_known = tcgetattr(*fd, &line) == 0;
  if (demands.no_cts && line_known && (line.c_cflag & CRTSCTS)) {
    Log("<-", Hex(request) + " (held back: hardware flow control on, no CTS)");
    return;
  }
  Log("<-", Hex(request));
  {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.push_back(request);
  }
  if (echo != Echo::kOff) {
    Log("->", Hex(request) + " (echo)");
    WriteAll(*fd, request.data(), request.size());
  }
  const Reply how = NextReply(request[6]);
  Bytes reply =
      echo == Echo::kInsteadOfReply ? Bytes{} : BuildReply(request, how);
  if (demands.speed != 0 && line_known && cfgetospeed(&line) != demands.speed &&
      !reply.empty()) {
    const Bytes garbage = Garbled(reply);
    Log("->",
        "garbage " + Hex(garbage) + " (the line is not at the module's rate)");
    WriteAll(*fd, garbage.data(), garbage.size());
  } else {
    Send(fd, reply, how);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ++answered_;
}

void ReaderModule::TellSettled() {
  if (settled_ != nullptr && unsettled_ > 0) settled_(unsettled_);
  unsettled_ = 0;
}

void ReaderModule::Serve(int* fd, const std::atomic<bool>& stop,
                         void (*settled)(long count)) {
  settled_ = settled;
  unsettled_ = 0;
  bool keep_serving;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    keep_serving = keep_serving_;
  }
  FrameReader reader;
  std::vector<FrameReader::Event> events;
  uint8_t buffer[4096];
  while (!stop.load() && *fd >= 0) {
    struct pollfd line = {*fd, POLLIN, 0};
    const int ready = poll(&line, 1, 20);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return;
    if (ready == 0) continue;
    // With nobody on the other end a pseudo-terminal reports a hang-up
    // (and its reads fail with EIO) until someone opens it again.
    const bool other_end_closed =
        (line.revents & POLLHUP) && !(line.revents & POLLIN);
    if (other_end_closed && keep_serving) {
      SleepMs(kReopenPollMs);
      continue;
    }
    if (!(line.revents & POLLIN)) return;  // hung up or failed
    const ssize_t n = read(*fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n < 0 && errno == EIO && keep_serving) {
      SleepMs(kReopenPollMs);
      continue;
    }
    if (n <= 0) return;
    unsettled_ += static_cast<long>(n);
    events.clear();
    reader.Feed(buffer, static_cast<size_t>(n), &events);
    for (const FrameReader::Event& event : events) {
      if (!event.is_frame) {
        {
          std::lock_guard<std::mutex> lock(mutex_);
          junk_bytes_ += event.bytes.size();
        }
        Log("<-", "not a frame (" + event.reason + "): " + Hex(event.bytes));
        continue;
      }
      Answer(fd, event.bytes);
      if (*fd < 0) return;
    }
    TellSettled();
  }
}

}  // namespace tagport_sim
