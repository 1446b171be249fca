// tagport-sim: plays the reader module on a pseudo-terminal or a serial
// device, logging every frame, so the library (or tagport-probe) can be run
// against it without the hardware.
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "tools/common/command_line.h"
#include "tools/common/hex.h"
#include "tools/common/pty.h"
#include "tools/sim/reader_module.h"

namespace {

using tagport_tools::ParseNumber;
using tagport_tools::UsageError;

using tagport_sim::Fault;
using tagport_sim::Reply;
using tagport_tools::Bytes;

constexpr int kRunError = 1;
// How long the last reply is given to reach the other end before the
// close hangs the line up.
constexpr int kLastReplyLimitMs = 2000;

std::atomic<bool> stop_requested{false};

void OnStopSignal(int) { stop_requested = true; }

// The rates the module's line runs at, lowest first: the standard termios
// table from 2400 to 4000000 bit/s, which is also what the library accepts.
struct LineRate {
  long long rate;
  speed_t speed;
};
const LineRate kLineRates[] = {
    {2400, B2400},       {4800, B4800},       {9600, B9600},
    {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},
    {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
    {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};
const LineRate& kLowestRate = kLineRates[0];
const LineRate& kHighestRate =
    kLineRates[sizeof kLineRates / sizeof kLineRates[0] - 1];

// Sets *speed for `rate`; otherwise a usage error that gives the range.
void RequireLineRate(const std::string& option, long long rate,
                     speed_t* speed) {
  for (const LineRate& entry : kLineRates) {
    if (entry.rate == rate) {
      *speed = entry.speed;
      return;
    }
  }
  UsageError(option + ": " + std::to_string(rate) +
             " is not a supported rate (" + std::to_string(kLowestRate.rate) +
             " .. " + std::to_string(kHighestRate.rate) + ", as the library)");
}

const char kUsage[] =
    "Usage: tagport-sim [OPTION]...\n"
    "Plays the card-reader module: answers requests 0x40 (open), 0x41 (seek)\n"
    "and 0x50 (move) and logs every frame in both directions.\n"
    "\n"
    "Line (default: a new pseudo-terminal, its path printed on start):\n"
    "  --link PATH          also make PATH a symbolic link to the\n"
    "                       pseudo-terminal (removed on exit)\n"
    "  --device PATH        serve an existing serial device instead,\n"
    "                       configured raw, 8 data bits, no parity, 1 stop "
    "bit\n"
    "  --rate N             bit rate of --device (default 115200)\n"
    "  --hold               keep the pseudo-terminal's other end open too, as\n"
    "                       another program holding the node would (by\n"
    "                       default the module waits for the other end to\n"
    "                       open it again whenever it is closed)\n"
    "\n"
    "Line faults (pseudo-terminal only):\n"
    "  --echo WHEN          send every request back, as a looped-back or\n"
    "                       echoing line does: WHEN is before (the reply\n"
    "                       follows) or instead (no reply)\n"
    "  --line-rate N        the module's own rate: when the other end has set\n"
    "                       another, replies arrive as bytes that form no\n"
    "                       frame\n"
    "  --no-cts             the module never raises CTS: requests from a line\n"
    "                       with hardware flow control on are never answered\n"
    "\n"
    "Replies:\n"
    "  --card HEX           data of the 0x41 reply, at least 8 bytes\n"
    "                       (default \"04 A1 B2 C3 D4 E5 F6 07\")\n"
    "  --script LIST        how to answer the coming requests, one item per\n"
    "                       request, comma-separated: [CMD:]FAULT[+MOD]...\n"
    "                       An item with CMD (open, seek, move or a hex code\n"
    "                       such as 0x41) waits for a request of that kind.\n"
    "                       FAULT: none, silent, bad-checksum, wrong-status,\n"
    "                       wrong-target, wrong-command, short-seek,\n"
    "                       no-card-flag, hang-up.\n"
    "                       MOD: delay=MS, pieces=N, gap=MS, noise=HEX,\n"
    "                       card=HEX (this seek reply's data).\n"
    "                       Requests beyond the script get the defaults.\n"
    "  --delay MS           default pause before each reply (0)\n"
    "  --pieces N           default: write each reply in N parts (1)\n"
    "  --gap MS             pause between parts (2)\n"
    "  --noise HEX          bytes written ahead of every default reply\n"
    "  --random-faults PCT  give about PCT percent of unscripted requests a\n"
    "                       random fault, split or delay (needs --seed)\n"
    "  --seed N             seed of the random faults\n"
    "\n"
    "Run:\n"
    "  --count N            exit after answering N requests\n"
    "  --help               show this text\n"
    "\n"
    "Log lines: TIME <- HEX (a request), TIME -> HEX (a reply or noise),\n"
    "TIME -- no reply, and TIME <- not a frame (REASON): HEX for received\n"
    "bytes that form no valid frame. Exit status: 0 done, 1 the line could "
    "not\n"
    "be set up, 2 bad options. SIGINT and SIGTERM end the run cleanly.\n";

struct Options {
  std::string link_path;
  std::string device_path;
  int rate = 115200;
  bool rate_given = false;
  speed_t speed = B115200;
  Bytes card;
  bool card_given = false;
  std::vector<std::pair<int, Reply>> script;  // command or -1 for any
  Reply default_reply;
  int random_percent = -1;
  long long seed = -1;
  long long count = 0;
  bool hold = false;
  tagport_sim::Echo echo = tagport_sim::Echo::kOff;
  tagport_sim::LineDemands demands;
  bool line_faults_given = false;
};

Bytes ParseHexOption(const std::string& option, const std::string& text) {
  Bytes bytes;
  if (!tagport_tools::ParseHex(text, &bytes)) {
    UsageError(option + ": '" + text + "' is not hex bytes like \"1E 00 09\"");
  }
  return bytes;
}

int ParseCommand(const std::string& name) {
  if (name == "open") return tagport_sim::kOpenCommand;
  if (name == "seek") return tagport_sim::kSeekCommand;
  if (name == "move") return tagport_sim::kMoveCommand;
  Bytes code;
  const std::string digits =
      name.rfind("0x", 0) == 0 || name.rfind("0X", 0) == 0 ? name.substr(2)
                                                           : "";
  if (digits.size() == 2 && tagport_tools::ParseHex(digits, &code)) {
    return code[0];
  }
  UsageError("--script: unknown command '" + name +
             "' (open, seek, move or a code like 0x41)");
}

std::vector<std::string> Split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

// Applies "delay=MS", "pieces=N", "gap=MS" or "noise=HEX" to `reply`.
// Card data from the command line: at least 8 bytes, and no more than a
// reply frame holds besides its 12 other bytes.
Bytes ParseCardData(const std::string& option, const std::string& text) {
  const Bytes card = ParseHexOption(option, text);
  if (card.size() < 8) {
    UsageError(option + ": the card data must be at least 8 bytes");
  }
  if (card.size() > 65535 - 12) UsageError(option + ": too long");
  return card;
}

void ApplyModifier(const std::string& option, const std::string& modifier,
                   Reply* reply) {
  const size_t equals = modifier.find('=');
  const std::string key = modifier.substr(0, equals);
  const std::string value =
      equals == std::string::npos ? "" : modifier.substr(equals + 1);
  const std::string where = option + " " + key;
  if (key == "delay") {
    reply->delay_ms = static_cast<int>(ParseNumber(where, value, 0, 60000));
  } else if (key == "pieces") {
    reply->pieces = static_cast<size_t>(ParseNumber(where, value, 1, 4096));
  } else if (key == "gap") {
    reply->piece_gap_ms = static_cast<int>(ParseNumber(where, value, 0, 60000));
  } else if (key == "noise") {
    reply->noise_before = ParseHexOption(where, value);
  } else if (key == "card" && option == "--script") {
    reply->card = ParseCardData(where, value);
  } else {
    UsageError(option + ": unknown modifier '" + modifier +
               "' (delay=MS, pieces=N, gap=MS, noise=HEX, card=HEX)");
  }
}

void ParseScript(const std::string& text, const Reply& defaults,
                 Options* options) {
  for (const std::string& item : Split(text, ',')) {
    std::vector<std::string> parts = Split(item, '+');
    std::string fault_name = parts[0];
    int command = -1;
    const size_t colon = fault_name.find(':');
    if (colon != std::string::npos) {
      command = ParseCommand(fault_name.substr(0, colon));
      fault_name = fault_name.substr(colon + 1);
    }
    Reply reply = defaults;
    if (!tagport_sim::ParseFault(fault_name, &reply.fault)) {
      UsageError("--script: unknown fault '" + fault_name + "' in '" + item +
                 "'");
    }
    for (size_t k = 1; k < parts.size(); ++k) {
      ApplyModifier("--script", parts[k], &reply);
    }
    options->script.emplace_back(command, reply);
  }
}

// Options that set the defaults script items change with the modifier of
// the same name.
const struct DefaultOption {
  const char* option;
  const char* modifier;
} kDefaultOptions[] = {
    {"--delay", "delay="},
    {"--pieces", "pieces="},
    {"--gap", "gap="},
    {"--noise", "noise="},
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  std::string script_text;
  bool script_given = false;
  Reply& defaults = options.default_reply;
  std::vector<tagport_tools::ValueOption> value_options = {
      {"--link", [&](const std::string& value) { options.link_path = value; }},
      {"--device",
       [&](const std::string& value) { options.device_path = value; }},
      {"--rate",
       [&](const std::string& value) {
         options.rate = static_cast<int>(
             ParseNumber("--rate", value, 1, kHighestRate.rate));
         options.rate_given = true;
       }},
      {"--card",
       [&](const std::string& value) {
         options.card = ParseCardData("--card", value);
         options.card_given = true;
       }},
      {"--script",
       [&](const std::string& value) {
         script_text = value;
         script_given = true;
       }},
      {"--random-faults",
       [&](const std::string& value) {
         options.random_percent =
             static_cast<int>(ParseNumber("--random-faults", value, 0, 100));
       }},
      {"--seed",
       [&](const std::string& value) {
         options.seed = ParseNumber("--seed", value, 0, 4294967295LL);
       }},
      {"--count",
       [&](const std::string& value) {
         options.count = ParseNumber("--count", value, 1, 1000000000);
       }},
      {"--echo",
       [&](const std::string& value) {
         options.line_faults_given = true;
         if (value == "before") {
           options.echo = tagport_sim::Echo::kBeforeReply;
         } else if (value == "instead") {
           options.echo = tagport_sim::Echo::kInsteadOfReply;
         } else {
           UsageError("--echo: '" + value + "' is neither before nor instead");
         }
       }},
      {"--line-rate",
       [&](const std::string& value) {
         options.line_faults_given = true;
         RequireLineRate(
             "--line-rate",
             ParseNumber("--line-rate", value, 1, kHighestRate.rate),
             &options.demands.speed);
       }},
  };
  for (const DefaultOption& entry : kDefaultOptions) {
    value_options.push_back(
        {entry.option, [&defaults, entry](const std::string& value) {
           ApplyModifier(entry.option, entry.modifier + value, &defaults);
         }});
  }
  for (int k = 1; k < argc; ++k) {
    const std::string option = argv[k];
    tagport_tools::ShowUsageIfAsked(option, kUsage);
    if (option == "--hold") {
      options.hold = true;
      continue;
    }
    if (option == "--no-cts") {
      options.demands.no_cts = true;
      options.line_faults_given = true;
      continue;
    }
    if (option.rfind("--", 0) != 0)
      UsageError("unexpected argument '" + option + "'");
    tagport_tools::ApplyValueOption(argc, argv, &k, value_options);
  }
  if (!options.device_path.empty() && !options.link_path.empty()) {
    UsageError("--link and --device exclude each other");
  }
  if (!options.device_path.empty() &&
      (options.hold || options.line_faults_given)) {
    UsageError(
        "--hold, --echo, --line-rate and --no-cts need a pseudo-terminal, "
        "not --device");
  }
  if (options.rate_given && options.device_path.empty()) {
    UsageError("--rate applies to --device only");
  }
  RequireLineRate("--rate", options.rate, &options.speed);
  if ((options.random_percent >= 0) != (options.seed >= 0)) {
    UsageError("--random-faults and --seed go together");
  }
  // Script items take the defaults given anywhere on the line.
  if (script_given) ParseScript(script_text, options.default_reply, &options);
  return options;
}

// Opens `path` raw 8N1 at `speed`, non-blocking; -1 after a message.
int OpenDevice(const std::string& path, speed_t speed) {
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    fprintf(stderr, "tagport-sim: cannot open %s: %s\n", path.c_str(),
            strerror(errno));
    return -1;
  }
  struct termios line;
  if (tcgetattr(fd, &line) != 0) {
    fprintf(stderr, "tagport-sim: %s is not a serial line: %s\n", path.c_str(),
            strerror(errno));
    close(fd);
    return -1;
  }
  cfmakeraw(&line);
  // Unlike the library, which leaves CLOCAL, CREAD and CRTSCTS as it finds
  // them: the simulator stands in for a module wired with no modem lines and
  // no flow control, so it ignores carrier, enables the receiver and must
  // not wait for a CTS that never comes.
  line.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  line.c_cflag |= CS8 | CLOCAL | CREAD;
  line.c_cc[VMIN] = 1;
  line.c_cc[VTIME] = 0;
  cfsetispeed(&line, speed);
  cfsetospeed(&line, speed);
  tcflush(fd, TCIOFLUSH);
  if (tcsetattr(fd, TCSANOW, &line) != 0) {
    fprintf(stderr, "tagport-sim: cannot configure %s: %s\n", path.c_str(),
            strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

void Say(const std::string& line) {
  fprintf(stdout, "%s\n", line.c_str());
  fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  tagport_tools::SetProgramName("tagport-sim");
  const Options options = ParseOptions(argc, argv);

  tagport_sim::ReaderModule module;
  if (options.card_given) module.SetCardData(options.card);
  module.SetDefaultReply(options.default_reply);
  for (const auto& entry : options.script) {
    if (entry.first < 0) {
      module.Script(entry.second);
    } else {
      module.ScriptFor(static_cast<uint8_t>(entry.first), entry.second);
    }
  }
  if (options.random_percent >= 0) {
    module.SetRandomFaults(static_cast<uint32_t>(options.seed),
                           options.random_percent);
  }
  module.SetLog(Say);
  module.SetEcho(options.echo);
  module.SetLineDemands(options.demands);

  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  int line_fd = -1;
  int slave_fd = -1;  // with --hold: held open, as another program would
  std::string slave_path;
  if (!options.device_path.empty()) {
    line_fd = OpenDevice(options.device_path, options.speed);
    if (line_fd < 0) return kRunError;
    Say("tagport-sim: module on " + options.device_path + " at " +
        std::to_string(options.rate) + " bit/s");
  } else {
    tagport_tools::OpenRawPty(&line_fd, &slave_fd, &slave_path);
    if (line_fd < 0) {
      fprintf(stderr, "tagport-sim: cannot open a pseudo-terminal: %s\n",
              strerror(errno));
      return kRunError;
    }
    // The raw settings stay with the line while nobody holds it open.
    if (!options.hold) {
      close(slave_fd);
      slave_fd = -1;
      module.SetKeepServingAfterHangUp(true);
    }
    if (!options.link_path.empty()) {
      struct stat existing;
      // A link left by a run that was killed is replaced; anything else is
      // not ours to remove.
      if (lstat(options.link_path.c_str(), &existing) == 0 &&
          S_ISLNK(existing.st_mode)) {
        unlink(options.link_path.c_str());
      }
      if (symlink(slave_path.c_str(), options.link_path.c_str()) != 0) {
        fprintf(stderr, "tagport-sim: cannot link %s: %s\n",
                options.link_path.c_str(), strerror(errno));
        return kRunError;
      }
      Say("tagport-sim: module on " + slave_path + " (linked as " +
          options.link_path + ")");
    } else {
      Say("tagport-sim: module on " + slave_path);
    }
  }

  std::atomic<bool> stop_serving{false};
  std::atomic<bool> line_gone{false};
  std::thread server([&] {
    module.Serve(&line_fd, stop_serving);
    line_gone = true;  // a hang-up reply, or the device went away
  });
  const uint64_t count = static_cast<uint64_t>(options.count);
  while (!stop_requested && !line_gone &&
         (count == 0 || module.Answered() < count)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!stop_requested && !slave_path.empty()) {
    // The last reply must reach the other end before the close hangs it up.
    tagport_sim::WaitUntilTheOtherEndHasRead(line_fd, kLastReplyLimitMs);
  }
  stop_serving = true;
  server.join();

  if (!options.link_path.empty()) unlink(options.link_path.c_str());
  if (line_fd >= 0) close(line_fd);
  if (slave_fd >= 0) close(slave_fd);
  Say("tagport-sim: " + std::to_string(module.Requests().size()) +
      " requests, " + std::to_string(module.JunkBytes()) +
      " bytes outside frames");
  return 0;
}
