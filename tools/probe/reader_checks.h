// The doctor's checks that talk to the reader: one traced open request, the
// same request at every rate of the library's table, and repeated open and
// seek exchanges with their round trips.
#ifndef TAGPORT_TOOLS_PROBE_READER_CHECKS_H_
#define TAGPORT_TOOLS_PROBE_READER_CHECKS_H_

#include <stdint.h>

#include <functional>
#include <string>

#include "tools/probe/doctor_report.h"
#include "tools/probe/exchange_trace.h"

namespace tagport_doctor {

// `node` names the port in advice. A `progress`, when set, hears a line of a
// long check as each step of it ends (a technician watches a run of
// minutes).
using Progress = std::function<void(const std::string& line)>;
//
// One open request (0x40) on the port Api_OpenSerial opened, every byte
// shown. `hardware_flow_control`: the line has RTS/CTS on, which names a
// silent line's likely cause. The outcome in *outcome.
CheckResult CheckExchange(const std::string& node, int polls,
                          bool hardware_flow_control,
                          tagport_probe::Outcome* outcome);

// The open request at the rates of the library's table in turn, up to the
// first that gets a reply frame (every rate with `all_rates`), then the
// port is opened again at `rate`, as the app would leave it. `at_rate`: how
// the exchange at `rate` went; a module that answers only at another rate
// then makes the verdict wrong-rate. A progress line per rate tried.
CheckResult ScanRates(int port, int rate, int polls,
                      tagport_probe::Outcome at_rate, bool all_rates,
                      const Progress& progress = nullptr);

// `rounds` open and seek exchanges on the open port; a progress line per
// round.
CheckResult RepeatExchanges(const std::string& node, int64_t rounds, int polls,
                            bool hardware_flow_control,
                            const Progress& progress = nullptr);

}  // namespace tagport_doctor

#endif  // TAGPORT_TOOLS_PROBE_READER_CHECKS_H_
