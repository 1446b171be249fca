// tagport-probe: runs the reader's open, seek, move and close steps through
// libtagport.so's exported C functions and shows every frame and verdict,
// for diagnosing a reader in the field; `tagport-probe doctor` says why a
// reader does not answer.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <tagport/frame_link.h>
#include <tagport/serial_port.h>
#include <time.h>

#include <string>
#include <vector>

#include "protocol/reader_protocol.h"
#include "serial/device_nodes.h"
#include "tools/common/command_line.h"
#include "tools/common/hex.h"
#include "tools/probe/doctor.h"
#include "tools/probe/exchange_trace.h"
#include "tools/probe/line_options.h"
#include "tools/probe/reply_text.h"

namespace {

using tagport_tools::Hex;
using tagport_tools::UsageError;

const char kUsage[] =
    "Usage: tagport-probe [OPTION]... [STEP]...\n"
    "   or: tagport-probe doctor [OPTION]...   (see tagport-probe doctor "
    "--help)\n"
    "Talks to the card-reader module through libtagport.so and prints each\n"
    "request frame, each reply frame and what the library makes of it.\n"
    "\n"
    "Steps, run in the order given (default: open seek move close):\n"
    "  open    open the port, send request " TAGPORT_TEXT(TAGPORT_READER_OPEN) "\n"
    "  seek    send request " TAGPORT_TEXT(TAGPORT_READER_SEEK) ", show the card data\n"
    "  move    send request " TAGPORT_TEXT(TAGPORT_READER_MOVE) "\n"
    "  close   close the port\n"
    "  wait=MS pause MS milliseconds (0..600000), e.g. until a late reply\n"
    "          has arrived\n"
    "\n"
    "Options:\n"
    "  --port N    port index 0.." TAGPORT_TEXT(TAGPORT_LAST_PORT) " (" TAGPORT_DEVICE_NODE_PREFIX "0 .. " TAGPORT_DEVICE_NODE_PREFIX TAGPORT_TEXT(TAGPORT_LAST_PORT) "; default " TAGPORT_TEXT(TAGPORT_READER_PORT) ")\n"
    "  --rate N    bit rate (default " TAGPORT_TEXT(TAGPORT_READER_RATE) ")\n"
    "  --polls N   reply wait in 1-ms polls (default " TAGPORT_TEXT(TAGPORT_READER_REPLY_POLLS) ", as the library)\n"
    "  --help      show this text\n"
    "\n"
    "Like the library's commands, each request first discards the bytes that\n"
    "wait on the line (a late reply to an earlier request); they are shown.\n"
    "\n"
    "Results: 0 accepted (seek: the count of card bytes), -1 failed,\n"
    "-2 no reply. Exit status: 0 every step accepted, 1 a step failed,\n"
    "2 bad options.\n";

struct Options : tagport_probe::LineOptions {
  std::vector<std::string> steps;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int k = 1; k < argc; ++k) {
    const std::string word = argv[k];
    tagport_tools::ShowUsageIfAsked(word, kUsage);
    if (word == "doctor") {
      UsageError("doctor goes first, followed by its own options");
    }
    if (word == "open" || word == "seek" || word == "move" || word == "close") {
      options.steps.push_back(word);
      continue;
    }
    if (word.rfind("wait=", 0) == 0) {
      tagport_tools::ParseNumber("wait", word.substr(5), 0, 600000);
      options.steps.push_back(word);
      continue;
    }
    if (word.rfind("--", 0) != 0) UsageError("unknown step '" + word + "'");
    tagport_tools::ApplyValueOption(argc, argv, &k,
                                    tagport_probe::LineValueOptions(&options));
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

// The verdict of one step: the result the library's command would give.
int Report(const char* step, int result, const std::string& meaning) {
  Line(step, "result  " + std::to_string(result) + " (" + meaning + ")");
  return result;
}

// One request through the library's exchange, every step of it shown, and
// its verdict: the result the library's command would give; a seek also
// shows the card.
int RequestStep(const char* step, ReaderRequestId id, const Options& options) {
  const int polls = static_cast<int>(options.polls);
  const tagport_probe::ExchangeTrace trace =
      tagport_probe::TraceExchange(id, polls, /*watch_after_echo=*/false);
  if (trace.written <= 0 && FD_COM >= 0) EndLibraryMessage();
  if (!trace.stale.empty()) {
    Line(step, "stale   " + Hex(trace.stale) +
                   " (waiting before the request: discarded)");
  }
  Line(step, "request " + Hex(trace.request) +
                 " (SentPacket = " + std::to_string(trace.written) + ")");
  if (trace.written <= 0) {
    return Report(step, trace.result,
                  FD_COM < 0 ? "request not sent: no port open"
                             : "request not sent: write failed");
  }
  const tagport_probe::FrameSeen* reply = trace.DecidingFrame();
  if (!reply) {
    Line(step, "reply   none in " + std::to_string(trace.polls) + " polls");
    return Report(step, trace.result, "no reply");
  }
  Line(step, "reply   " + Hex(reply->bytes));
  if (trace.result != 0) {
    return Report(step, trace.result,
                  "refused: " + tagport_probe::RefusalText(
                                    trace.problem, id, reply->bytes.data(),
                                    static_cast<int>(reply->bytes.size())));
  }
  if (id != kReaderSeek) return Report(step, 0, "accepted");
  const int count = ReaderCardCount(MsgLen);
  Line(step,
       "card    " +
           Hex(MsgBuf + kReaderCardDataOffset, static_cast<size_t>(count)) +
           " (" + std::to_string(count) + " bytes)");
  return Report(step, count, "accepted");
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
  return RequestStep("open", kReaderOpen, options);
}

void WaitStep(const std::string& step) {
  const long long ms = std::stoll(step.substr(5));
  Line("wait", std::to_string(ms) + " ms");
  struct timespec pause = {static_cast<time_t>(ms / 1000),
                           static_cast<long>(ms % 1000) * 1000000L};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
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
  if (argc > 1 && std::string(argv[1]) == "doctor") {
    return tagport_doctor::RunDoctor(argc - 1, argv + 1);
  }
  const Options options = ParseOptions(argc, argv);
  bool all_accepted = true;
  for (const std::string& step : options.steps) {
    int result;
    if (step == "open") {
      result = OpenStep(options);
    } else if (step == "seek") {
      result = RequestStep("seek", kReaderSeek, options);
    } else if (step == "move") {
      result = RequestStep("move", kReaderMove, options);
    } else if (step.rfind("wait=", 0) == 0) {
      WaitStep(step);
      result = 0;
    } else {
      result = CloseStep();
    }
    if (result < 0) all_accepted = false;
  }
  return all_accepted ? 0 : 1;
}
