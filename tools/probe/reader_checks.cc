#include "tools/probe/reader_checks.h"

#include <tagport/serial_port.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "serial/line_rates.h"
#include "tools/common/json.h"
#include "tools/probe/line_settings.h"
#include "tools/probe/reply_text.h"

namespace tagport_doctor {

namespace {

using tagport_probe::ExchangeTrace;
using tagport_probe::Milliseconds;
using tagport_probe::Outcome;
using tagport_tools::Hex;
using tagport_tools::JsonArray;
using tagport_tools::JsonObject;

// Reads shown of one exchange: a noisy line may bring hundreds.
const size_t kMaxShownReads = 100;

Verdict OutcomeVerdict(Outcome outcome, bool hardware_flow_control) {
  switch (outcome) {
    case Outcome::kAccepted:
      return Verdict::kOk;
    case Outcome::kNotSent:
    case Outcome::kNoBytes:
      return hardware_flow_control ? Verdict::kFlowControl : Verdict::kNoBytes;
    case Outcome::kNoFrame:
      return Verdict::kNoFrame;
    case Outcome::kEcho:
      return Verdict::kEcho;
    case Outcome::kRefused:
      return Verdict::kRefused;
  }
  return Verdict::kOk;
}

// What the trace shows, in a few words.
std::string OutcomeText(const ExchangeTrace& trace) {
  const ReaderRequest& sent = *ReaderRequestFor(trace.id);
  const std::string request = std::string(sent.name) + " request 0x" +
                              tagport_probe::ByteText(sent.command);
  switch (trace.outcome) {
    case Outcome::kAccepted:
      return request + " accepted: reply after " +
             Milliseconds(trace.round_trip_us);
    case Outcome::kNotSent:
      return request +
             " not written (SentPacket = " + std::to_string(trace.written) +
             ")";
    case Outcome::kNoBytes:
      return request + " sent; no byte came back in " +
             std::to_string(trace.polls) + " polls";
    case Outcome::kNoFrame:
      return request + " sent; " + std::to_string(trace.ByteCount()) +
             " bytes came back in " + std::to_string(trace.reads.size()) +
             " reads, but no frame with a right checksum";
    case Outcome::kEcho:
      return request + " sent; the request itself came back after " +
             Milliseconds(trace.round_trip_us) +
             (trace.frames.size() > 1 ? ", and a frame followed it"
                                      : ", and nothing followed it");
    case Outcome::kRefused: {
      const tagport_probe::FrameSeen& frame = *trace.DecidingFrame();
      return request + " answered after " + Milliseconds(trace.round_trip_us) +
             ", refused: " +
             tagport_probe::RefusalText(trace.problem, trace.id,
                                        frame.bytes.data(),
                                        static_cast<int>(frame.bytes.size()));
    }
  }
  return "";
}

std::string RefusalAdvice(ReaderReplyProblem problem) {
  switch (problem) {
    case kReaderReplyBadStatus:
      return "the module reports a failure: power-cycle it; if that persists "
             "the module needs service";
    case kReaderReplyBadCommand:
      return "the reply belongs to another request: another program may be "
             "talking to the module, or its firmware answers otherwise";
    case kReaderReplyBadTarget:
      return "the reply comes from another target: another kind of module "
             "answers on this port";
    case kReaderReplyNoCardFlag:
      return "no card was read: hold a card to the reader";
    case kReaderReplyTooShort:
      return "the card data is too short: try another card";
    case kReaderReplyAccepted:
      break;
  }
  return "";
}

std::string Advice(const ExchangeTrace& trace, bool hardware_flow_control,
                   const std::string& node) {
  switch (OutcomeVerdict(trace.outcome, hardware_flow_control)) {
    case Verdict::kFlowControl:
      return FlowControlAdvice(node);
    case Verdict::kNoBytes:
      return "check the module's power, the wiring (module TX to UART RX, RX "
             "to TX, ground) and the port (--port)";
    case Verdict::kNoFrame:
      return "a wrong line rate or noise: run again with --scan-rates; check "
             "the ground wire and the cable";
    case Verdict::kEcho:
      return "the line sends the request back: look for a loopback (TX "
             "joined to RX, a jumper or test plug) or an echoing adapter, and "
             "check that the module is connected and powered";
    case Verdict::kRefused:
      return RefusalAdvice(trace.problem);
    default:
      return "";
  }
}

JsonObject TraceJson(const ExchangeTrace& trace) {
  JsonArray reads;
  for (size_t k = 0; k < trace.reads.size() && k < kMaxShownReads; ++k) {
    reads.AddObject(JsonObject()
                        .AddNumber("at_us", trace.reads[k].at_us)
                        .AddString("bytes", Hex(trace.reads[k].bytes)));
  }
  JsonArray frames;
  for (const tagport_probe::FrameSeen& frame : trace.frames) {
    frames.AddObject(JsonObject()
                         .AddNumber("at_us", frame.at_us)
                         .AddString("bytes", Hex(frame.bytes))
                         .AddBool("echo", frame.bytes == trace.request));
  }
  return JsonObject()
      .AddString("request", Hex(trace.request))
      .AddNumber("written", trace.written)
      .AddNumber("polls", trace.polls)
      .AddNumber("round_trip_us", trace.round_trip_us)
      .AddNumber("bytes_read", static_cast<int64_t>(trace.ByteCount()))
      .AddNumber("reads_total", static_cast<int64_t>(trace.reads.size()))
      .AddArray("reads", reads)
      .AddArray("frames", frames);
}

// A whole frame other than the request's echo came back: the module
// understood the line.
bool Answered(Outcome outcome) {
  return outcome == Outcome::kAccepted || outcome == Outcome::kRefused;
}

// Round trips and failures of one kind of request over the repeats.
struct Tally {
  std::vector<int64_t> round_trips;  // of the accepted exchanges
  std::map<std::string, int64_t> failures;
  int64_t count = 0;
  // Of the round trips, once all are in; -1 without any.
  int64_t min_us = -1;
  int64_t median_us = -1;
  int64_t max_us = -1;

  void Summarize() {
    if (round_trips.empty()) return;
    std::sort(round_trips.begin(), round_trips.end());
    const size_t n = round_trips.size();
    min_us = round_trips.front();
    max_us = round_trips.back();
    median_us = n % 2 ? round_trips[n / 2]
                      : (round_trips[n / 2 - 1] + round_trips[n / 2]) / 2;
  }
};

std::string TallyText(const char* name, const Tally& tally) {
  std::string text = std::string(name) + " " +
                     std::to_string(tally.round_trips.size()) + " of " +
                     std::to_string(tally.count) + " accepted";
  if (!tally.round_trips.empty()) {
    text += ", round trip min " + Milliseconds(tally.min_us) + ", median " +
            Milliseconds(tally.median_us) + ", max " +
            Milliseconds(tally.max_us);
  }
  for (const auto& failure : tally.failures) {
    text += ", " + std::to_string(failure.second) + " " + failure.first;
  }
  return text;
}

JsonObject TallyJson(const Tally& tally) {
  JsonObject failures;
  for (const auto& failure : tally.failures) {
    failures.AddNumber(failure.first, failure.second);
  }
  return JsonObject()
      .AddNumber("exchanges", tally.count)
      .AddNumber("accepted", static_cast<int64_t>(tally.round_trips.size()))
      .AddNumber("min_us", tally.min_us)
      .AddNumber("median_us", tally.median_us)
      .AddNumber("max_us", tally.max_us)
      .AddObject("failed", failures);
}

}  // namespace

CheckResult CheckExchange(const std::string& node, int polls,
                          bool hardware_flow_control, Outcome* outcome) {
  CheckResult result;
  result.name = "exchange";
  const ExchangeTrace trace =
      tagport_probe::TraceExchange(kReaderOpen, polls, true);
  *outcome = trace.outcome;
  result.verdict = OutcomeVerdict(trace.outcome, hardware_flow_control);
  result.status =
      result.verdict == Verdict::kOk ? Status::kOk : Status::kProblem;
  result.found = OutcomeText(trace);
  result.next = Advice(trace, hardware_flow_control, node);
  result.details = tagport_probe::TraceLines(trace, kMaxShownReads);
  result.data = TraceJson(trace);
  result.data.AddString("outcome", VerdictName(result.verdict));
  return result;
}

CheckResult ScanRates(int port, int rate, int polls, Outcome at_rate,
                      bool all_rates, const Progress& progress) {
  CheckResult result;
  result.name = "rates";
  unsigned count = 0;
  const TagportLineRate* rates = TagportLineRates(&count);
  std::vector<int64_t> answered;
  JsonArray tried;
  unsigned tried_count = 0;
  while (tried_count < count && (all_rates || answered.empty())) {
    const int32_t tried_rate = rates[tried_count++].rate;
    std::string outcome = "not settable";
    bool answers = false;
    if (Api_OpenSerial(static_cast<uint32_t>(port), tried_rate) == 1) {
      const ExchangeTrace trace =
          tagport_probe::TraceExchange(kReaderOpen, polls, true);
      answers = Answered(trace.outcome);
      if (answers) answered.push_back(tried_rate);
      outcome = VerdictName(OutcomeVerdict(trace.outcome, false));
    }
    result.details.push_back(std::to_string(tried_rate) + ": " + outcome);
    tried.AddObject(JsonObject()
                        .AddNumber("rate", tried_rate)
                        .AddString("outcome", outcome));
    if (!progress) continue;
    std::string line = std::to_string(tried_rate) + " bit/s: " + outcome +
                       " (" + std::to_string(tried_count) + " of " +
                       std::to_string(count) + ")";
    if (answers) {
      line += ": the module answers at " + std::to_string(tried_rate) +
              " bit/s; " +
              (all_rates ? "the scan goes on (--scan-all-rates)"
                         : "the scan stops here (--scan-all-rates tries "
                           "every rate)");
    }
    progress(line);
  }
  if (tried_count < count) {
    result.details.push_back(
        "the scan stopped at the first rate that answered; " +
        std::to_string(count - tried_count) +
        " rates not tried (--scan-all-rates tries every rate)");
  }
  const bool back = Api_OpenSerial(static_cast<uint32_t>(port), rate) == 1;
  result.details.push_back(
      back ? "the port is open again at " + std::to_string(rate) +
                 " bit/s, as Api_OpenSerial leaves it"
           : "Api_OpenSerial could not open the port again at " +
                 std::to_string(rate) + " bit/s");

  std::string list;
  JsonArray answered_json;
  for (int64_t found : answered) {
    list += (list.empty() ? "" : ", ") + std::to_string(found);
    answered_json.AddNumber(found);
  }
  result.data.AddArray("tried", tried)
      .AddArray("answered", answered_json)
      .AddBool("every_rate", tried_count == count);
  const bool at_our_rate =
      std::find(answered.begin(), answered.end(), rate) != answered.end();
  result.found =
      (answered.empty() ? std::string("no rate got a reply frame")
                        : "reply frames at " + list + " bit/s") +
      " (" +
      (tried_count == count
           ? std::to_string(count) + " rates tried"
           : std::to_string(tried_count) + " of " + std::to_string(count) +
                 " rates tried, up to the first that answered") +
      ")";
  if (at_our_rate) {
    result.status = Status::kOk;
  } else if (!answered.empty()) {
    // A module that answers only elsewhere explains a line that gave no
    // frame at the app's rate.
    const bool explains =
        at_rate == Outcome::kNoFrame || at_rate == Outcome::kNoBytes;
    result.Problem(explains ? Verdict::kWrongRate : Verdict::kOk,
                   "the module runs at " + std::to_string(answered.front()) +
                       " bit/s: set it to " + std::to_string(rate) +
                       " (the rate the app opens), or talk to it with --rate " +
                       std::to_string(answered.front()));
  } else {
    result.Problem(Verdict::kOk,
                   "the module is silent at every rate: see the exchange");
  }
  return result;
}

CheckResult RepeatExchanges(const std::string& node, int64_t rounds, int polls,
                            bool hardware_flow_control,
                            const Progress& progress) {
  CheckResult result;
  result.name = "repeat";
  Tally open;
  Tally seek;
  for (int64_t round = 0; round < rounds; ++round) {
    std::string line = "round " + std::to_string(round + 1) + " of " +
                       std::to_string(rounds) + ":";
    for (ReaderRequestId id : {kReaderOpen, kReaderSeek}) {
      Tally& tally = id == kReaderOpen ? open : seek;
      const ExchangeTrace trace = tagport_probe::TraceExchange(id, polls, true);
      ++tally.count;
      const Verdict verdict =
          OutcomeVerdict(trace.outcome, hardware_flow_control);
      line += std::string(id == kReaderOpen ? " " : ", ") +
              ReaderRequestFor(id)->name + " " + VerdictName(verdict);
      if (verdict == Verdict::kOk) {
        tally.round_trips.push_back(trace.round_trip_us);
        line += " " + Milliseconds(trace.round_trip_us);
        continue;
      }
      ++tally.failures[VerdictName(verdict)];
      if (result.verdict != Verdict::kOk) continue;
      result.verdict = verdict;
      result.next = Advice(trace, hardware_flow_control, node);
      result.details.push_back("first failure, round " +
                               std::to_string(round + 1) + ": " +
                               OutcomeText(trace));
    }
    if (progress) progress(line);
  }
  open.Summarize();
  seek.Summarize();
  result.found = std::to_string(rounds) +
                 " rounds: " + TallyText("open", open) + "; " +
                 TallyText("seek", seek);
  result.status =
      result.verdict == Verdict::kOk ? Status::kOk : Status::kProblem;
  result.data.AddNumber("rounds", rounds)
      .AddObject("open", TallyJson(open))
      .AddObject("seek", TallyJson(seek));
  return result;
}

}  // namespace tagport_doctor
