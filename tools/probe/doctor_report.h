// What `tagport-probe doctor` found: one result per check and the verdict,
// printed as text for a technician or as one JSON object for fleet tools.
#ifndef TAGPORT_TOOLS_PROBE_DOCTOR_REPORT_H_
#define TAGPORT_TOOLS_PROBE_DOCTOR_REPORT_H_

#include <stdio.h>

#include <string>
#include <vector>

#include "tools/common/json.h"

namespace tagport_doctor {

// A check's standing. kNote: worth knowing, but it did not keep the reader
// from answering; kPartial: it ran, but could not look everywhere;
// kSkipped: it could not run (the reason stands in `found`).
enum class Status { kOk, kProblem, kNote, kPartial, kSkipped };

// The verdicts, most telling first: when several apply, the report names
// the first. kOk when none does.
enum class Verdict {
  kNoNode,
  kNotATty,
  kNoPermission,
  kBusy,
  kFlowControl,
  kWrongRate,
  kEcho,
  kRefused,
  kNoFrame,
  kNoBytes,
  kOk,
};

// What to do about another program on the node, whichever check finds it.
extern const char kStopTheHolder[];

const char* StatusName(Status status);
const char* VerdictName(Verdict verdict);

struct CheckResult {
  std::string name;  // node, holders, line, exchange, rates, repeat
  Status status = Status::kSkipped;
  std::string found;  // what the check found, on one line
  std::string next;   // what to do about it; empty when nothing
  // The verdict this check argues for, kOk for none.
  Verdict verdict = Verdict::kOk;
  std::vector<std::string> details;  // lines shown under the check
  tagport_tools::JsonObject data;    // the same facts for programs

  // Marks a problem that argues for `problem`, and what to do about it.
  void Problem(Verdict problem, const std::string& advice) {
    status = Status::kProblem;
    verdict = problem;
    next = advice;
  }
};

struct DoctorReport {
  int port = 0;
  std::string node;  // "/dev/ttyMT3"
  int rate = 0;
  std::vector<CheckResult> checks;  // in the order they ran
  // What the library printed meanwhile ("openSerial failed", "write
  // error: "), kept apart from the report.
  std::string library_output;
};

// The most telling verdict any check argues for.
Verdict OverallVerdict(const DoctorReport& report);

// The report as lines of text, shown while the checks run: the header
// first, a line (and details) per check as it ends, then the library's
// output and the verdict.
void PrintTextHeader(const DoctorReport& report, FILE* out);
void PrintTextCheck(const CheckResult& check, FILE* out);
void PrintTextEnd(const DoctorReport& report, FILE* out);

// A line of a check still running, where its status will stand: "...".
void PrintTextProgress(const std::string& check_name, const std::string& line,
                       FILE* out);

// The report as one JSON object on one line: "verdict" first, then one
// member per check, named as the check.
void PrintJson(const DoctorReport& report, FILE* out);

}  // namespace tagport_doctor

#endif  // TAGPORT_TOOLS_PROBE_DOCTOR_REPORT_H_
