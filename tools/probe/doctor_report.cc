#include "tools/probe/doctor_report.h"

namespace tagport_doctor {

namespace {

using tagport_tools::JsonArray;
using tagport_tools::JsonObject;

const char* const kStatusNames[] = {"ok", "problem", "note", "partial",
                                    "skipped"};

// Indexed by Verdict.
const char* const kVerdictNames[] = {
    "no-node",    "not-a-tty", "no-permission", "busy",     "flow-control",
    "wrong-rate", "echo",      "refused",       "no-frame", "no-bytes",
    "ok",
};

// The check whose verdict is the report's; null when all is well.
const CheckResult* DecidingCheck(const DoctorReport& report) {
  const CheckResult* deciding = nullptr;
  for (const CheckResult& check : report.checks) {
    if (check.verdict == Verdict::kOk) continue;
    if (!deciding || check.verdict < deciding->verdict) deciding = &check;
  }
  return deciding;
}

// Check lines start with the name and status in columns, details under the
// text; the verdict line takes the name column only.
const int kNameWidth = 9;
const int kStatusWidth = 8;

}  // namespace

const char kStopTheHolder[] =
    "stop it before the app opens the port: two programs reading one line "
    "take each other's bytes";

const char* StatusName(Status status) {
  return kStatusNames[static_cast<int>(status)];
}

const char* VerdictName(Verdict verdict) {
  return kVerdictNames[static_cast<int>(verdict)];
}

Verdict OverallVerdict(const DoctorReport& report) {
  const CheckResult* deciding = DecidingCheck(report);
  return deciding ? deciding->verdict : Verdict::kOk;
}

void PrintTextHeader(const DoctorReport& report, FILE* out) {
  fprintf(out, "tagport-probe doctor: port %d (%s) at %d bit/s\n", report.port,
          report.node.c_str(), report.rate);
  fflush(out);
}

void PrintTextCheck(const CheckResult& check, FILE* out) {
  fprintf(out, "%-*s %-*s %s%s%s\n", kNameWidth, check.name.c_str(),
          kStatusWidth, StatusName(check.status), check.found.c_str(),
          check.next.empty() ? "" : " -- next: ", check.next.c_str());
  for (const std::string& line : check.details) {
    fprintf(out, "%*s%s\n", kNameWidth + 1, "", line.c_str());
  }
  fflush(out);
}

void PrintTextProgress(const std::string& check_name, const std::string& line,
                       FILE* out) {
  fprintf(out, "%-*s %-*s %s\n", kNameWidth, check_name.c_str(), kStatusWidth,
          "...", line.c_str());
  fflush(out);
}

void PrintTextEnd(const DoctorReport& report, FILE* out) {
  if (!report.library_output.empty()) {
    fprintf(out, "%-*s %-*s \"%s\"\n", kNameWidth, "library", kStatusWidth,
            "printed", report.library_output.c_str());
  }
  const CheckResult* deciding = DecidingCheck(report);
  if (deciding) {
    fprintf(out, "%-*s %s, from the %s check%s%s\n", kNameWidth, "verdict",
            VerdictName(deciding->verdict), deciding->name.c_str(),
            deciding->next.empty() ? "" : " -- next: ", deciding->next.c_str());
  } else {
    fprintf(out, "%-*s %s: the reader answers on %s at %d bit/s\n", kNameWidth,
            "verdict", "ok", report.node.c_str(), report.rate);
  }
  fflush(out);
}

void PrintJson(const DoctorReport& report, FILE* out) {
  const CheckResult* deciding = DecidingCheck(report);
  JsonObject json;
  json.AddString("verdict", VerdictName(OverallVerdict(report)))
      .AddString("decided_by", deciding ? deciding->name : "")
      .AddString("next", deciding ? deciding->next : "")
      .AddNumber("port", report.port)
      .AddString("path", report.node)
      .AddNumber("rate", report.rate)
      .AddString("library_output", report.library_output);
  for (const CheckResult& check : report.checks) {
    JsonObject entry;
    entry.AddString("status", StatusName(check.status))
        .AddString("found", check.found)
        .AddString("next", check.next)
        .AddString("verdict", VerdictName(check.verdict));
    JsonArray details;
    for (const std::string& line : check.details) details.AddString(line);
    entry.AddArray("details", details);
    if (!check.data.empty()) entry.AddObject("data", check.data);
    json.AddObject(check.name, entry);
  }
  fprintf(out, "%s\n", json.Text().c_str());
  fflush(out);
}

}  // namespace tagport_doctor
