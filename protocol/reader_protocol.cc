#include "protocol/reader_protocol.h"

namespace {

// Indexed by ReaderRequestId.
const ReaderRequest kRequests[] = {
    {0x40, "open", {0x01}, 1},
    {0x41, "seek", {0x04, 0x00, 0x00}, 3},
    {0x50, "move", {0x00}, 1},
};

// Checksum and the bytes ahead of the card data.
const int kSeekFrameOverhead = kReaderCardDataOffset + 1;

}  // namespace

const ReaderRequest* ReaderRequestFor(ReaderRequestId id) {
  return &kRequests[id];
}

ReaderReplyProblem ReaderCheckReply(ReaderRequestId id,
                                    const unsigned char* frame, int length) {
  if (frame[kStatusOffset] != kStatusAccepted) {
    return kReaderReplyBadStatus;
  }
  if (frame[kCommandOffset] != kRequests[id].command) {
    return kReaderReplyBadCommand;
  }
  if (frame[kTargetOffset] != kReaderTarget) return kReaderReplyBadTarget;
  if (id != kReaderSeek) return kReaderReplyAccepted;
  if (frame[kReaderCardFlagOffset] != kReaderCardFlagSet) {
    return kReaderReplyNoCardFlag;
  }
  if (length < kReaderSeekMinLength) return kReaderReplyTooShort;
  return kReaderReplyAccepted;
}

int ReaderCardCount(int length) { return length - kSeekFrameOverhead; }
