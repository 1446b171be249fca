// Reply frames in the probe's words: which rule a refused reply breaks.
#ifndef TAGPORT_TOOLS_PROBE_REPLY_TEXT_H_
#define TAGPORT_TOOLS_PROBE_REPLY_TEXT_H_

#include <string>

#include "protocol/reader_protocol.h"

namespace tagport_probe {

// One byte as two hex digits.
std::string ByteText(int value);

// Why `frame` (`length` bytes), a reply to request `id`, is refused, e.g.
// "status byte 02, not 01"; "" for kReaderReplyAccepted.
std::string RefusalText(ReaderReplyProblem problem, ReaderRequestId id,
                        const unsigned char* frame, int length);

}  // namespace tagport_probe

#endif  // TAGPORT_TOOLS_PROBE_REPLY_TEXT_H_
