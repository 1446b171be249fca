// A simulated reader module: answers the library's request frames over a
// serial line (a pseudo-terminal or a real device), and can be told to
// misbehave. Used by the tests, the benchmark and tagport-sim.
#ifndef TAGPORT_TOOLS_SIM_READER_MODULE_H_
#define TAGPORT_TOOLS_SIM_READER_MODULE_H_

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tagport_sim {

using Bytes = std::vector<uint8_t>;

constexpr uint8_t kStartByte = 0x1E;
constexpr uint8_t kOpenCommand = 0x40;
constexpr uint8_t kSeekCommand = 0x41;
constexpr uint8_t kMoveCommand = 0x50;
constexpr size_t kFrameOverhead = 8;

// Sum of the bytes modulo 256.
uint8_t Checksum(const uint8_t* data, size_t n);

// A whole frame: start byte, length, target, 00, status, command, payload,
// checksum. The payload may make the length exceed the library's buffer.
Bytes BuildFrame(uint8_t target, uint8_t status, uint8_t command,
                 const Bytes& payload);

// "1E 00 09 ..." and back; ParseHex accepts blanks, colons and dashes
// between bytes and refuses anything else.
std::string Hex(const uint8_t* data, size_t n);
std::string Hex(const Bytes& bytes);
bool ParseHex(const std::string& text, Bytes* out);

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

struct Reply {
  Fault fault = Fault::kNone;
  int delay_ms = 0;          // before the first byte
  size_t pieces = 1;         // the reply is written in this many parts
  int piece_gap_ms = 2;      // pause between parts
  Bytes noise_before;        // written ahead of the reply
  Bytes noise_after;         // written behind it
  std::optional<Bytes> raw;  // sent instead of the built reply
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

  // The reply frame for `request` answered as `how` (before noise, split
  // and delay); empty when the reply is silent.
  Bytes BuildReply(const Bytes& request, const Reply& how) const;

  // Serves the line on `fd` until `stop` turns true, the line hangs up or a
  // kHangUp reply closed it (then `fd` is closed and -1 is left in it).
  void Serve(int* fd, const std::atomic<bool>& stop);

  // Every request frame received so far, and the count of junk bytes.
  std::vector<Bytes> Requests() const;
  size_t JunkBytes() const;
  // Requests whose reply (or silence) has been fully sent.
  size_t Answered() const;

 private:
  Reply NextReply(uint8_t command);
  void Send(int* fd, const Bytes& reply, const Reply& how);
  void Log(const char* direction, const std::string& text);

  mutable std::mutex mutex_;
  Bytes card_data_;
  std::deque<Reply> script_;
  std::deque<std::pair<uint8_t, Reply>> command_script_;
  Reply default_reply_;
  std::optional<std::mt19937> random_;
  int random_percent_ = 0;
  std::function<void(const std::string&)> log_;
  std::vector<Bytes> requests_;
  size_t junk_bytes_ = 0;
  size_t answered_ = 0;
};

// A reader module on a fresh pseudo-terminal, served by a thread. The slave
// side is kept open (raw) so the line survives the library closing its end.
class SimulatedReader {
 public:
  SimulatedReader();
  ~SimulatedReader();
  SimulatedReader(const SimulatedReader&) = delete;
  SimulatedReader& operator=(const SimulatedReader&) = delete;

  bool ok() const { return master_fd_ >= 0; }
  const std::string& slave_path() const { return slave_path_; }
  // The module's end of the line, for speaking on it directly (not while
  // the module serves).
  int master_fd() const { return master_fd_; }
  ReaderModule& module() { return module_; }

  void Start();
  void Stop();
  // Closes the master side: the library's end sees a hang-up.
  void HangUp();

 private:
  ReaderModule module_;
  int master_fd_ = -1;
  int slave_fd_ = -1;
  std::string slave_path_;
  std::atomic<bool> stop_{false};
  std::thread server_;
};

// Opens a pseudo-terminal pair with the slave raw; -1 in *master on failure.
void OpenRawPty(int* master, int* slave, std::string* slave_path);

}  // namespace tagport_sim

#endif  // TAGPORT_TOOLS_SIM_READER_MODULE_H_
