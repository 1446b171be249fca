// The options the probe's steps and its doctor share: which port, at what
// rate, and how long to wait for a reply.
#ifndef TAGPORT_TOOLS_PROBE_LINE_OPTIONS_H_
#define TAGPORT_TOOLS_PROBE_LINE_OPTIONS_H_

#include <string>
#include <vector>

#include "protocol/reader_protocol.h"
#include "tools/common/command_line.h"

namespace tagport_probe {

struct LineOptions {
  long long port = kReaderPort;
  long long rate = kReaderRate;
  long long polls = kReaderReplyPolls;
};

// --port N (0..3), --rate N (1..4000000) and --polls N, each setting its
// member of *options.
std::vector<tagport_tools::ValueOption> LineValueOptions(LineOptions* options);

// The rates the library accepts, as text: "2400, 4800, ... 4000000".
std::string LibraryRateList();

}  // namespace tagport_probe

#endif  // TAGPORT_TOOLS_PROBE_LINE_OPTIONS_H_
