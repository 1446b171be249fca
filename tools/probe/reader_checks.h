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

// `node` names the port in advice.
//
// One open request (0x40) on the port Api_OpenSerial opened, every byte
// shown. `hardware_flow_control`: the line has RTS/CTS on, which names a
// silent line's likely cause. The outcome in *outcome.
CheckResult CheckExchange(const std::string& node, int polls,
                          bool hardware_flow_control,
                          tagport_probe::Outcome* outcome);

// The open request at every rate of the library's table, then the port is
// opened again at `rate`, as the app would leave it. `at_rate`: how the
// exchange at `rate` went; a module that answers only at another rate then
// makes the verdict wrong-rate. `tried_rate`, when set, hears of each rate
// as it is done: the rate, its outcome, its place in the table and the
// table's size.
using RateProgress = std::function<void(
    int32_t rate, const std::string& outcome, unsigned k, unsigned count)>;
CheckResult ScanRates(int port, int rate, int polls,
                      tagport_probe::Outcome at_rate,
                      const RateProgress& tried_rate = nullptr);

// `rounds` open and seek exchanges on the open port.
CheckResult RepeatExchanges(const std::string& node, int64_t rounds, int polls,
                            bool hardware_flow_control);

}  // namespace tagport_doctor

#endif  // TAGPORT_TOOLS_PROBE_READER_CHECKS_H_
