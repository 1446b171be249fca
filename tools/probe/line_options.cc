#include "tools/probe/line_options.h"

#include <string>

#include "serial/device_nodes.h"
#include "serial/line_rates.h"

namespace tagport_probe {

std::string LibraryRateList() {
  unsigned count = 0;
  const TagportLineRate* rates = TagportLineRates(&count);
  std::string list;
  for (unsigned k = 0; k < count; ++k) {
    list += (k == 0 ? "" : ", ") + std::to_string(rates[k].rate);
  }
  return list;
}

std::vector<tagport_tools::ValueOption> LineValueOptions(LineOptions* options) {
  using tagport_tools::ParseNumber;
  return {{"--port",
           [options](const std::string& value) {
             options->port = ParseNumber("--port", value, 0, TAGPORT_LAST_PORT);
           }},
          {"--rate",
           [options](const std::string& value) {
             options->rate = ParseNumber("--rate", value, 1, 4000000);
           }},
          {"--polls", [options](const std::string& value) {
             options->polls = ParseNumber("--polls", value, 1, 1000000);
           }}};
}

}  // namespace tagport_probe
