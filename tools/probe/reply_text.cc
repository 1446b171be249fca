#include "tools/probe/reply_text.h"

#include <stdint.h>

#include "tools/common/hex.h"

namespace tagport_probe {

std::string ByteText(int value) {
  const uint8_t byte = static_cast<uint8_t>(value);
  return tagport_tools::Hex(&byte, 1);
}

std::string RefusalText(ReaderReplyProblem problem, ReaderRequestId id,
                        const unsigned char* frame, int length) {
  switch (problem) {
    case kReaderReplyBadStatus:
      return "status byte " + ByteText(frame[kStatusOffset]) + ", not " +
             ByteText(kStatusAccepted);
    case kReaderReplyBadCommand:
      return "command byte " + ByteText(frame[kCommandOffset]) + ", not " +
             ByteText(ReaderRequestFor(id)->command);
    case kReaderReplyBadTarget:
      return "target byte " + ByteText(frame[kTargetOffset]) + ", not " +
             ByteText(kReaderTarget);
    case kReaderReplyNoCardFlag:
      return "byte " + std::to_string(kReaderCardFlagOffset) + " is " +
             ByteText(frame[kReaderCardFlagOffset]) + ", not " +
             ByteText(kReaderCardFlagSet) + " (no card?)";
    case kReaderReplyTooShort:
      return "frame of " + std::to_string(length) + " bytes, below " +
             std::to_string(kReaderSeekMinLength) + ": fewer than " +
             std::to_string(ReaderCardCount(kReaderSeekMinLength)) +
             " card bytes";
    case kReaderReplyAccepted:
      break;
  }
  return "";
}

}  // namespace tagport_probe
