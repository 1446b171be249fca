// The card reader as the commands know it: where it sits, the three requests
// it is sent and the rules its replies must meet. Built into libtagport.so
// and into the tools that speak for the commands; exported by none of them.
#ifndef TAGPORT_PROTOCOL_READER_PROTOCOL_H_
#define TAGPORT_PROTOCOL_READER_PROTOCOL_H_

#include "link/frame_layout.h"

#ifdef __cplusplus
extern "C" {
#endif

// Port index ("/dev/ttyMT3"), bit rate, target byte of every request and
// reply, and the reply wait in polls.
enum {
  kReaderPort = 3,
  kReaderRate = 115200,
  kReaderTarget = 5,
  kReaderReplyPolls = 1000
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
  unsigned char payload[3];
  int payload_length;
} ReaderRequest;

// The request `id` names; never null for the ids above.
const ReaderRequest* ReaderRequestFor(ReaderRequestId id);

// The seek reply's fields beyond the frame header, and the values it must
// carry; the header's fields are the frame's own.
enum {
  kReaderCardFlagOffset = kPayloadOffset,  // a card was read
  kReaderCardDataOffset = 11,              // the card data runs to the checksum
  kReaderCardFlagSet = 1,
  kReaderSeekMinLength = 20  // seek: 8 card bytes at least
};

// What is wrong with a reply, in the order the rules are checked.
typedef enum ReaderReplyProblem {
  kReaderReplyAccepted = 0,
  kReaderReplyBadStatus,   // status byte not 1
  kReaderReplyBadCommand,  // command byte not the request's
  kReaderReplyBadTarget,   // target byte not 5
  kReaderReplyNoCardFlag,  // seek: byte 7 not 1
  kReaderReplyTooShort     // seek: frame shorter than 20 bytes
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
