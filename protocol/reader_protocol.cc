#include "protocol/reader_protocol.h"

#include <tagport/reader.h>

namespace {

const unsigned char kOpenPayload[] = {TAGPORT_READER_OPEN_PAYLOAD};
const unsigned char kSeekPayload[] = {TAGPORT_READER_SEEK_PAYLOAD};
const unsigned char kMovePayload[] = {TAGPORT_READER_MOVE_PAYLOAD};

// Indexed by ReaderRequestId.
const ReaderRequest kRequests[] = {
    {TAGPORT_READER_OPEN, "open", kOpenPayload, sizeof kOpenPayload},
    {TAGPORT_READER_SEEK, "seek", kSeekPayload, sizeof kSeekPayload},
    {TAGPORT_READER_MOVE, "move", kMovePayload, sizeof kMovePayload},
};

}  // namespace

const ReaderRequest* ReaderRequestFor(ReaderRequestId id) {
  return &kRequests[id];
}

// The rules are the ones native callers get from <tagport/reader.h>.
ReaderReplyProblem ReaderCheckReply(ReaderRequestId id,
                                    const unsigned char* frame, int length) {
  return static_cast<ReaderReplyProblem>(
      TagportReaderCheckReply(kRequests[id].command, frame, length));
}

int ReaderCardCount(int length) { return TagportReaderCardCount(length); }
