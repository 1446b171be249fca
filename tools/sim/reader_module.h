// The simulated reader module's behaviour: how it answers each request,
// and the faults it can be told to commit. It knows the requests and reply
// rules on its own, apart from the library's code on purpose: it is the
// oracle the library and the tools are tested against.
#ifndef TAGPORT_TOOLS_SIM_READER_MODULE_H_
#define TAGPORT_TOOLS_SIM_READER_MODULE_H_

#include <stddef.h>
#include <stdint.h>
#include <termios.h>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "tools/sim/frame_codec.h"

namespace tagport_sim {

constexpr uint8_t kOpenCommand = 0x40;
constexpr uint8_t kSeekCommand = 0x41;
constexpr uint8_t kMoveCommand = 0x50;

// How to answer one request.
enum class Fault {
  kNone,
  kSilent,        // no reply at all
  kBadChecksum,   // last byte off by one
  kWrongStatus,   // status 2
  kWrongTarget,   // target 6
  kWrongCommand,  // another command byte
  kShortSeek,     // a 0x41 reply with 7 data bytes (19-byte frame)
  kNoCardFlag,    // a 0x41 reply whose byte 7 is 0
  kHangUp,        // half the reply, then the line is closed
};

const char* FaultName(Fault fault);
bool ParseFault(const std::string& name, Fault* fault);

// Waits, `limit_ms` at most, until what was written to the pseudo-terminal
// `master` no longer waits unread at its other end, as a hang-up would
// discard it. False, at once, when that end cannot be looked at (`master`
// is not a pseudo-terminal, or cannot be opened).
bool WaitUntilTheOtherEndHasRead(int master, int limit_ms);

struct Reply {
  Fault fault = Fault::kNone;
  int delay_ms = 0;           // before the first byte
  size_t pieces = 1;          // the reply is written in this many parts
  int piece_gap_ms = 2;       // pause between parts
  Bytes noise_before;         // written ahead of the reply
  Bytes noise_after;          // written behind it
  std::optional<Bytes> raw;   // sent instead of the built reply
  std::optional<Bytes> card;  // this 0x41 reply's data, not the module's
};

// A line that loops back or echoes: every request comes back, ahead of the
// reply or in its place.
enum class Echo { kOff, kBeforeReply, kInsteadOfReply };

// What the module makes of the line's settings, as its end of a
// pseudo-terminal reads those the other end set.
struct LineDemands {
  // Replies come through only at this speed; at any other the module sends
  // what a misread reply would look like: bytes that form no frame. 0: any.
  speed_t speed = 0;
  // The module never raises CTS: a request from a line with hardware flow
  // control on never leaves it.
  bool no_cts = false;
};

class ReaderModule {
 public:
  ReaderModule();

  // The data of a 0x41 reply; 8 bytes by default.
  void SetCardData(const Bytes& data);
  // Answers the next request in this way (queued, first in first out).
  void Script(const Reply& reply);
  // Answers the next request carrying `command` in this way; such entries
  // are used before the general script.
  void ScriptFor(uint8_t command, const Reply& reply);
  // How requests beyond the script are answered.
  void SetDefaultReply(const Reply& reply);
  // With a seed, about `percent` of unscripted requests get a random fault.
  void SetRandomFaults(uint32_t seed, int percent);
  // Receives each log line (timestamp, direction, hex).
  void SetLog(std::function<void(const std::string&)> log);
  void SetEcho(Echo echo);
  void SetLineDemands(const LineDemands& demands);
  // Keep serving when the other end closes the line, until it opens it
  // again: for a pseudo-terminal whose other end nobody else holds open.
  void SetKeepServingAfterHangUp(bool keep);

  // The reply frame for `request` answered as `how` (before noise, split
  // and delay); empty when the reply is silent.
  Bytes BuildReply(const Bytes& request, const Reply& how) const;

  // Serves the line on `fd` until `stop` turns true, the line hangs up (and
  // is not to be kept) or a kHangUp reply closed it (then `fd` is closed and
  // -1 is left in it). `settled`, when given, is told the count of the
  // bytes read once the module has dealt with them: answered them, or begun
  // a delay it was told to make.
  void Serve(int* fd, const std::atomic<bool>& stop,
             void (*settled)(long count) = nullptr);

  // Every request frame received so far, and the count of junk bytes.
  std::vector<Bytes> Requests() const;
  uint64_t JunkBytes() const;
  // Requests whose reply (or silence) has been fully sent.
  uint64_t Answered() const;

 private:
  Reply NextReply(uint8_t command);
  // Answers one request frame received on `fd`.
  void Answer(int* fd, const Bytes& request);
  void Send(int* fd, const Bytes& reply, const Reply& how);
  void Log(const char* direction, const std::string& text);
  // Tells the serving loop's `settled` of the bytes read and not yet told
  // of; before any wait the module makes on purpose, and after each read.
  void TellSettled();
  // Held by the serving thread alone.
  void (*settled_)(long count) = nullptr;
  long unsettled_ = 0;

  mutable std::mutex mutex_;
  Bytes card_data_;
  std::deque<Reply> script_;
  std::deque<std::pair<uint8_t, Reply>> command_script_;
  Reply default_reply_;
  std::optional<std::mt19937> random_;
  int random_percent_ = 0;
  std::function<void(const std::string&)> log_;
  Echo echo_ = Echo::kOff;
  LineDemands demands_;
  bool keep_serving_ = false;
  std::vector<Bytes> requests_;
  // 64 bits: a simulator left running for weeks on a 32-bit board must not
  // wrap its counts.
  uint64_t junk_bytes_ = 0;
  uint64_t answered_ = 0;
};

}  // namespace tagport_sim

#endif  // TAGPORT_TOOLS_SIM_READER_MODULE_H_
