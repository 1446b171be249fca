// tagport-probe: runs the reader's open, seek, move and close steps through
// libtagport.so's exported C functions and shows every frame and verdict,
// for diagnosing a reader in the field.
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "link/frame_link.h"
#include "serial/serial_port.h"
#include "tools/common/command_line.h"
#include "tools/sim/reader_module.h"

namespace {

using tagport_tools::ParseNumber;
using tagport_tools::UsageError;

constexpr int kReaderTarget = 5;
constexpr int kMinSeekFrame = 20;
constexpr int kSeekDataOffset = 11;

const char kUsage[] =
    "Usage: tagport-probe [OPTION]... [STEP]...\n"
    "Talks to the card-reader module through libtagport.so and prints each\n"
    "request frame, each reply frame and what the library makes of it.\n"
    "\n"
    "Steps, run in the order given (default: open seek move close):\n"
    "  open    open the port, send request 0x40\n"
    "  seek    send request 0x41, show the card data\n"
    "  move    send request 0x50\n"
    "  close   close the port\n"
    "\n"
    "Options:\n"
    "  --port N    port index 0..3 (/dev/ttyMT0 .. /dev/ttyMT3; default 3)\n"
    "  --rate N    bit rate (default 115200)\n"
    "  --polls N   reply wait in 1-ms polls (default 1000, as the library)\n"
    "  --help      show this text\n"
    "\n"
    "Results: 0 accepted (seek: the count of card bytes), -1 failed,\n"
    "-2 no reply. Exit status: 0 every step accepted, 1 a step failed,\n"
    "2 bad options.\n";

struct Options {
  long long port = 3;
  long long rate = 115200;
  long long polls = 1000;
  std::vector<std::string> steps;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int k = 1; k < argc; ++k) {
    const std::string word = argv[k];
    if (word == "--help" || word == "-h") {
      fputs(kUsage, stdout);
      exit(0);
    }
    if (word == "open" || word == "seek" || word == "move" || word == "close") {
      options.steps.push_back(word);
      continue;
    }
    if (word.rfind("--", 0) != 0) UsageError("unknown step '" + word + "'");
    if (k + 1 >= argc) UsageError(word + " needs a value");
    const std::string value = argv[++k];
    if (word == "--port") {
      options.port = ParseNumber(word, value, 0, 3);
    } else if (word == "--rate") {
      options.rate = ParseNumber(word, value, 1, 4000000);
    } else if (word == "--polls") {
      options.polls = ParseNumber(word, value, 1, 1000000);
    } else {
      UsageError("unknown option '" + word + "'");
    }
  }
  if (options.steps.empty()) options.steps = {"open", "seek", "move", "close"};
  return options;
}

void Line(const char* step, const std::string& text) {
  printf("%-5s %s\n", step, text.c_str());
  fflush(stdout);
}

// The library's two diagnostics end without a newline.
void EndLibraryMessage() {
  printf("\n");
  fflush(stdout);
}

std::string Byte(int value) {
  const uint8_t byte = static_cast<uint8_t>(value);
  return tagport_sim::Hex(&byte, 1);
}

// The verdict of one step: the result the library's command would give.
int Report(const char* step, int result, const std::string& meaning) {
  Line(step, "result  " + std::to_string(result) + " (" + meaning + ")");
  return result;
}

// The reason a reply frame is refused, or "" when the header is right.
std::string HeaderProblem(int command) {
  if (MsgBuf[5] != 1) return "status byte " + Byte(MsgBuf[5]) + ", not 01";
  if (MsgBuf[6] != command) {
    return "command byte " + Byte(MsgBuf[6]) + ", not " + Byte(command);
  }
  if (MsgBuf[3] != kReaderTarget) {
    return "target byte " + Byte(MsgBuf[3]) + ", not 05";
  }
  return "";
}

// ClearPacket, SentPacket, IsSuccessRecv: 0 with a reply frame in MsgBuf,
// else the step's result (-1 not sent, -2 no reply), already reported.
int Exchange(const char* step, int command, const unsigned char* payload, int n,
             int polls) {
  ClearPacket();
  const int written = SentPacket(kReaderTarget, command, payload, n);
  if (written <= 0 && FD_COM >= 0) EndLibraryMessage();
  Line(step, "request " +
                 tagport_sim::Hex(SentBuf, static_cast<size_t>(SentLen)) +
                 " (SentPacket = " + std::to_string(written) + ")");
  if (written <= 0) {
    return Report(step, -1,
                  FD_COM < 0 ? "request not sent: no port open"
                             : "request not sent: write failed");
  }
  const int received = IsSuccessRecv(polls);
  if (received == -2) {
    Line(step, "reply   none (IsSuccessRecv = -2 after " +
                   std::to_string(polls) + " polls)");
    return Report(step, -2, "no reply");
  }
  Line(step, "reply   " +
                 tagport_sim::Hex(MsgBuf, static_cast<size_t>(MsgLen)) +
                 " (IsSuccessRecv = " + std::to_string(received) + ")");
  return 0;
}

// The 0x40 and 0x50 exchanges: one argument byte, judged by the header.
int HeaderOnlyStep(const char* step, int command, unsigned char argument,
                   const Options& options) {
  const int result =
      Exchange(step, command, &argument, 1, static_cast<int>(options.polls));
  if (result != 0) return result;
  const std::string problem = HeaderProblem(command);
  return problem.empty() ? Report(step, 0, "accepted")
                         : Report(step, -1, "refused: " + problem);
}

int OpenStep(const Options& options) {
  const int opened = Api_OpenSerial(static_cast<uint32_t>(options.port),
                                    static_cast<int32_t>(options.rate));
  const std::string call = "Api_OpenSerial(" + std::to_string(options.port) +
                           ", " + std::to_string(options.rate) +
                           ") = " + std::to_string(opened);
  if (opened != 1) {
    if (FD_COM < 0) {
      EndLibraryMessage();
      Line("open", "port    " + call + " (device node did not open)");
    } else {
      Line("open", "port    " + call +
                       " (node open, line not configured: rate refused?)");
    }
    return Report("open", -1, "port not opened");
  }
  Line("open", "port    " + call + " (open, raw 8N1)");
  return HeaderOnlyStep("open", 0x40, 0x01, options);
}

int SeekStep(const Options& options) {
  static const unsigned char kPayload[] = {0x04, 0x00, 0x00};
  const int result =
      Exchange("seek", 0x41, kPayload, 3, static_cast<int>(options.polls));
  if (result != 0) return result;
  std::string problem = HeaderProblem(0x41);
  if (problem.empty() && MsgBuf[7] != 1) {
    problem = "byte 7 is " + Byte(MsgBuf[7]) + ", not 01 (no card?)";
  }
  if (problem.empty() && MsgLen < kMinSeekFrame) {
    problem = "frame of " + std::to_string(MsgLen) +
              " bytes, below 20: fewer than 8 card bytes";
  }
  if (!problem.empty()) return Report("seek", -1, "refused: " + problem);
  const int count = MsgLen - 12;
  Line("seek", "card    " +
                   tagport_sim::Hex(MsgBuf + kSeekDataOffset,
                                    static_cast<size_t>(count)) +
                   " (" + std::to_string(count) + " bytes)");
  return Report("seek", count, "accepted");
}

int CloseStep() {
  const int closed = Api_CloseSerial();
  Line("close", "port    Api_CloseSerial() = " + std::to_string(closed));
  return Report("close", closed == 1 ? 0 : -1,
                closed == 1 ? "closed" : "close failed");
}

}  // namespace

int main(int argc, char** argv) {
  tagport_tools::SetProgramName("tagport-probe");
  const Options options = ParseOptions(argc, argv);
  bool all_accepted = true;
  for (const std::string& step : options.steps) {
    int result;
    if (step == "open") {
      result = OpenStep(options);
    } else if (step == "seek") {
      result = SeekStep(options);
    } else if (step == "move") {
      result = HeaderOnlyStep("move", 0x50, 0x00, options);
    } else {
      result = CloseStep();
    }
    if (result < 0) all_accepted = false;
  }
  return all_accepted ? 0 : 1;
}
