#include "tools/probe/doctor.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <tagport/serial_port.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "protocol/reader_protocol.h"
#include "serial/device_nodes.h"
#include "serial/line_rates.h"
#include "tools/common/command_line.h"
#include "tools/probe/doctor_report.h"
#include "tools/probe/holder_scan.h"
#include "tools/probe/line_options.h"
#include "tools/probe/line_settings.h"
#include "tools/probe/node_check.h"
#include "tools/probe/reader_checks.h"

namespace tagport_doctor {

namespace {

using tagport_tools::ParseNumber;
using tagport_tools::UsageError;

const char kUsage[] =
    "Usage: tagport-probe doctor [OPTION]...\n"
    "Says why the card-reader module does not answer. Checks, in order, one\n"
    "line each with what was found, ok or the problem, and what to do next:\n"
    "  node      the device node: exists, is a terminal, who may open it\n"
    "            (mode, owner, group, SELinux label)\n"
    "  holders   other processes that hold the node open (from /proc)\n"
    "  line      the line settings as found, and as Api_OpenSerial left them\n"
    "  exchange  one open request (" TAGPORT_TEXT(TAGPORT_READER_OPEN) "), every byte that came back and when\n"
    "  rates     with --scan-rates: the open request at the library's rates\n"
    "            in turn, up to the first that answers (--scan-all-rates:\n"
    "            every rate)\n"
    "  repeat    with --repeat: open and seek exchanges, round trips\n"
    "The text report shows each check as it ends, and each rate of a scan\n"
    "and each round of --repeat as it is done.\n"
    "A check is ok, a problem, a note (worth knowing; it did not keep the\n"
    "module from answering), partial (it could not look everywhere) or\n"
    "skipped (it could not run; the reason follows), never ok untried.\n"
    "\n"
    "Options:\n"
    "  --port N        port index 0.." TAGPORT_TEXT(TAGPORT_LAST_PORT) " (" TAGPORT_DEVICE_NODE_PREFIX "0 .. " TAGPORT_DEVICE_NODE_PREFIX TAGPORT_TEXT(TAGPORT_LAST_PORT) "; default " TAGPORT_TEXT(TAGPORT_READER_PORT) ")\n"
    "  --rate N        bit rate, one of the library's (default " TAGPORT_TEXT(TAGPORT_READER_RATE) ")\n"
    "  --polls N       reply wait in 1-ms polls (default " TAGPORT_TEXT(TAGPORT_READER_REPLY_POLLS) ", as the library)\n"
    "  --scan-rates    try the library's rates in turn, lowest first, up to the\n"
    "                  first that gets a reply frame: the module's rate (a\n"
    "                  garbled line hardly ever makes a frame with a right\n"
    "                  checksum), without a reply wait at each rate after it\n"
    "  --scan-all-rates\n"
    "                  try every rate of the table, also after one answered\n"
    "  --repeat N      N rounds of an open and a seek exchange\n"
    "  --json          print the report as one JSON object\n"
    "  --help          show this text\n"
    "\n"
    "Verdicts; when several apply, the first of this list is given:\n"
    "  no-node        the node does not exist, or no device answers behind it\n"
    "  not-a-tty      the node is not a terminal (a file, another device)\n"
    "  no-permission  the caller may not open the node (mode, or SELinux)\n"
    "  busy           another process holds the node open, or for itself\n"
    "                 alone (an app with the port open)\n"
    "  flow-control   silent, with hardware flow control (RTS/CTS) on\n"
    "  wrong-rate     the module answers at another rate (--scan-rates)\n"
    "  echo           the request itself came back: loopback or echo\n"
    "  refused        a reply that breaks a rule (the byte is named)\n"
    "  no-frame       bytes came back, but no valid frame: rate or noise\n"
    "  no-bytes       nothing came back: wiring, power or wrong port\n"
    "  ok             the module answered the open request\n"
    "\n"
    "The doctor opens the node like the app does (Api_OpenSerial) and leaves\n"
    "the line as Api_OpenSerial set it; it sends only the open (" TAGPORT_TEXT(TAGPORT_READER_OPEN) ") and,\n"
    "with --repeat, seek (" TAGPORT_TEXT(TAGPORT_READER_SEEK) ") requests. Exit status: 0 ok, 1 a problem\n"
    "found, 2 bad options.\n";

struct Options : tagport_probe::LineOptions {
  long long repeat = 0;
  bool scan_rates = false;
  bool all_rates = false;
  bool json = false;
};

Options ParseOptions(int argc, char** argv) {
  Options options;
  for (int k = 1; k < argc; ++k) {
    const std::string word = argv[k];
    tagport_tools::ShowUsageIfAsked(word, kUsage);
    if (word == "--json") {
      options.json = true;
      continue;
    }
    if (word == "--scan-rates" || word == "--scan-all-rates") {
      options.scan_rates = true;
      options.all_rates = options.all_rates || word == "--scan-all-rates";
      continue;
    }
    if (word.rfind("--", 0) != 0) {
      UsageError("unexpected argument '" + word + "'");
    }
    std::vector<tagport_tools::ValueOption> value_options =
        tagport_probe::LineValueOptions(&options);
    value_options.push_back({"--repeat", [&](const std::string& value) {
                               options.repeat =
                                   ParseNumber("--repeat", value, 1, 1000000);
                             }});
    tagport_tools::ApplyValueOption(argc, argv, &k, value_options);
  }
  // The doctor opens the port as the app would: at a rate the library takes.
  speed_t speed;
  if (!TagportSpeedForRate(static_cast<int32_t>(options.rate), &speed)) {
    UsageError("--rate: " + std::to_string(options.rate) +
               " is not one of the library's rates: " +
               tagport_probe::LibraryRateList());
  }
  return options;
}

// What the library prints on standard output while the checks run (its two
// diagnostics), kept out of the report and shown as a line of its own.
class LibraryOutput {
 public:
  LibraryOutput() {
    fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    // Non-blocking: a library that prints more than the pipe holds loses
    // the rest rather than stall the checks.
    if (saved_ < 0 || pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0 ||
        dup2(pipe_[1], STDOUT_FILENO) < 0) {
      pipe_[0] = pipe_[1] = -1;
    }
    const int shown = saved_ < 0 ? -1 : dup(saved_);
    if (shown >= 0) shown_ = fdopen(shown, "w");
    if (shown_ == nullptr && shown >= 0) close(shown);
  }

  // Where the report goes while the library's output is held apart: the
  // standard output the doctor was started with. Valid until Finish.
  FILE* Shown() { return shown_ ? shown_ : stdout; }

  // Puts standard output back; what was printed meanwhile.
  std::string Finish() {
    fflush(stdout);
    if (shown_) fclose(shown_);
    shown_ = nullptr;
    std::string text;
    if (saved_ >= 0) {
      dup2(saved_, STDOUT_FILENO);
      close(saved_);
      saved_ = -1;
    }
    if (pipe_[0] < 0) return text;
    close(pipe_[1]);
    char buffer[512];
    ssize_t n;
    while ((n = read(pipe_[0], buffer, sizeof buffer)) > 0) {
      text.append(buffer, static_cast<size_t>(n));
    }
    close(pipe_[0]);
    pipe_[0] = pipe_[1] = -1;
    return text;
  }

 private:
  int saved_ = -1;
  int pipe_[2] = {-1, -1};
  FILE* shown_ = nullptr;
};

CheckResult Skipped(const char* name, const std::string& why) {
  CheckResult result;
  result.name = name;
  result.status = Status::kSkipped;
  result.found = why;
  return result;
}

// A check standing for what Api_OpenSerial could not do after the doctor's
// own open had worked: the node changed meanwhile, or refused the settings.
CheckResult OpenFailed(int open_errno) {
  CheckResult result = Skipped("exchange", "");
  if (FD_COM >= 0) {
    result.found = "Api_OpenSerial opened the node but could not configure it";
    result.Problem(Verdict::kNotATty,
                   "the node does not take a serial line's settings: check "
                   "that it is the UART");
    return result;
  }
  result.found = std::string("Api_OpenSerial could not open the node: ") +
                 strerror(open_errno);
  result.Problem(open_errno == EACCES || open_errno == EPERM
                     ? Verdict::kNoPermission
                 : open_errno == EBUSY ? Verdict::kBusy
                                       : Verdict::kNoNode,
                 "run the doctor again: the node changed while it ran");
  return result;
}

// The report's checks as they end, shown at once in `shown` unless null (a
// technician watches a scan of 20 s).
class Checks {
 public:
  Checks(DoctorReport* report, FILE* shown) : report_(report), shown_(shown) {}

  void Add(const CheckResult& check) {
    report_->checks.push_back(check);
    if (shown_) PrintTextCheck(check, shown_);
  }

  const CheckResult& First() const { return report_->checks.front(); }

  // The progress lines of the check `name` as they come; none when not
  // shown.
  Progress ProgressOf(const char* name) const {
    if (!shown_) return nullptr;
    FILE* shown = shown_;
    return [shown, name](const std::string& line) {
      PrintTextProgress(name, line, shown);
    };
  }

 private:
  DoctorReport* report_;
  FILE* shown_;
};

void RunChecks(const Options& options, DoctorReport* report, FILE* shown) {
  const int port = static_cast<int>(options.port);
  const int rate = static_cast<int>(options.rate);
  const int polls = static_cast<int>(options.polls);
  Checks checks(report, shown);

  NodeState node;
  checks.Add(CheckNode(report->node, &node));
  checks.Add(node.identified
                 ? ScanHolders(node.info)
                 : Skipped("holders", "the node could not be examined"));
  const bool usable = checks.First().status == Status::kOk;
  LineSettings found;
  std::string found_why =
      node.fd < 0 ? "the node did not open" : "the node is not a terminal";
  bool found_read = false;
  if (usable) {
    struct termios line;
    found_read = tcgetattr(node.fd, &line) == 0;
    if (found_read) found = ReadSettings(line);
    if (!found_read) found_why = strerror(errno);
  }
  // The library opens the node afresh, as the app does.
  if (node.fd >= 0) close(node.fd);
  if (!usable) {
    checks.Add(Skipped("line", found_why));
    checks.Add(Skipped("exchange", found_why));
    return;
  }

  errno = 0;
  const bool opened = Api_OpenSerial(static_cast<uint32_t>(port),
                                     static_cast<int32_t>(rate)) == 1;
  const int open_errno = errno;
  LineSettings left;
  bool left_read = false;
  std::string left_why = "Api_OpenSerial failed";
  struct termios line;
  if (opened && tcgetattr(FD_COM, &line) == 0) {
    left = ReadSettings(line);
    left_read = true;
  }
  checks.Add(CheckLine(report->node, found_read ? &found : nullptr, found_why,
                       left_read ? &left : nullptr, left_why));
  if (!opened) {
    checks.Add(OpenFailed(open_errno));
    Api_CloseSerial();
    return;
  }
  const bool flow_control = left_read && left.hardware_flow_control;
  tagport_probe::Outcome outcome;
  checks.Add(CheckExchange(report->node, polls, flow_control, &outcome));
  if (options.scan_rates) {
    checks.Add(ScanRates(port, rate, polls, outcome, options.all_rates,
                         checks.ProgressOf("rates")));
  }
  if (options.repeat > 0) {
    checks.Add(RepeatExchanges(report->node, options.repeat, polls,
                               flow_control, checks.ProgressOf("repeat")));
  }
  Api_CloseSerial();
}

}  // namespace

int RunDoctor(int argc, char** argv) {
  // Its errors point at its own usage.
  tagport_tools::SetProgramName("tagport-probe doctor");
  const Options options = ParseOptions(argc, argv);
  DoctorReport report;
  report.port = static_cast<int>(options.port);
  report.node = TagportDeviceNode(static_cast<uint32_t>(options.port));
  report.rate = static_cast<int>(options.rate);
  // Text is shown as it is found, JSON as one object at the end.
  if (!options.json) PrintTextHeader(report, stdout);
  LibraryOutput library;
  RunChecks(options, &report, options.json ? nullptr : library.Shown());
  report.library_output = library.Finish();
  if (options.json) {
    PrintJson(report, stdout);
  } else {
    PrintTextEnd(report, stdout);
  }
  return OverallVerdict(report) == Verdict::kOk ? 0 : 1;
}

}  // namespace tagport_doctor
