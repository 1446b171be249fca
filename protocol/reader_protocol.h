// The card reader as the commands know it: where it sits, the three requests
// it is sent and the rules its replies must meet. Built into libtagport.so
// and into the tools that speak for the commands; exported by none of them.
#ifndef TAGPORT_PROTOCOL_READER_PROTOCOL_H_
#define TAGPORT_PROTOCOL_READER_PROTOCOL_H_

#include <tagport/reader.h>

#include "link/frame_layout.h"

#ifdef __cplusplus
extern "C" {
#endif

// Port index ("/dev/ttyMT3"), bit rate, target byte of every request and
// reply, and the reply wait in polls: <tagport/reader.h>'s, as constants of
// the language.
enum {
  kReaderPort = TAGPORT_READER_PORT,
  kReaderRate = TAGPORT_READER_RATE,
  kReaderTarget = TAGPORT_READER_TARGET,
  kReaderReplyPolls = TAGPORT_READER_REPLY_POLLS
};

// The requests, as indexes into the request table.
typedef enum ReaderRequestId {
  kReaderOpen = 0,
  kReaderSeek = 1,
  kReaderMove = 2
} ReaderRequestId;

// A request's command byte, its name in the tools' words, and its payload.
typedef struct ReaderRequest {
  unsigned char command;
  const char* name;
  const unsigned char* payload;
  int payload_length;
} ReaderRequest;

// The request `id` names; never null for the ids above.
const ReaderRequest* ReaderRequestFor(ReaderRequestId id);

// The seek reply's fields beyond the frame header, and the values it must
// carry (<tagport/reader.h>'s).
enum {
  kReaderCardFlagOffset = TAGPORT_REPLY_CARD_FLAG_OFFSET,
  kReaderCardDataOffset = TAGPORT_REPLY_CARD_DATA_OFFSET,
  kReaderCardFlagSet = TAGPORT_REPLY_CARD_FLAG_SET,
  kReaderSeekMinLength = TAGPORT_SEEK_REPLY_MIN_LENGTH
};

// What is wrong with a reply, in the order the rules are checked.
typedef enum ReaderReplyProblem {
  kReaderReplyAccepted = TAGPORT_REPLY_ACCEPTED,
  kReaderReplyBadStatus = TAGPORT_REPLY_BAD_STATUS,
  kReaderReplyBadCommand = TAGPORT_REPLY_BAD_COMMAND,
  kReaderReplyBadTarget = TAGPORT_REPLY_BAD_TARGET,
  kReaderReplyNoCardFlag = TAGPORT_REPLY_NO_CARD_FLAG,
  kReaderReplyTooShort = TAGPORT_REPLY_TOO_SHORT
} ReaderReplyProblem;

// The first rule that `frame`, a whole reply of `length` bytes (8 or more)
// to request `id`, breaks; kReaderReplyAccepted when it breaks none.
ReaderReplyProblem ReaderCheckReply(ReaderRequestId id,
                                    const unsigned char* frame, int length);

// The count of card bytes in an accepted seek reply of `length` bytes.
int ReaderCardCount(int length);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // TAGPORT_PROTOCOL_READER_PROTOCOL_H_
