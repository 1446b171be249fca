/* The card reader as libtagport's Java commands speak to it: where it sits,
 * the requests it is sent and the rules its replies must meet, for native
 * callers that run the exchange themselves through <tagport/frame_link.h>.
 *
 * Header only: macros and static inline functions, no symbol of its own.
 */
#ifndef TAGPORT_READER_H_
#define TAGPORT_READER_H_

#include <tagport/frame_link.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Where the reader sits: Api_OpenSerial(TAGPORT_READER_PORT,
 * TAGPORT_READER_RATE) opens "/dev/ttyMT3" at 115200 bit/s. */
#define TAGPORT_READER_PORT 3
#define TAGPORT_READER_RATE 115200

/* The target byte of every request and of every reply accepted. */
#define TAGPORT_READER_TARGET 5

/* The polls the commands give IsSuccessRecv: a little over a second. */
#define TAGPORT_READER_REPLY_POLLS 1000

/* The requests, by command byte, and the payload each is sent with. */
#define TAGPORT_READER_OPEN 0x40 /* start the reader */
#define TAGPORT_READER_SEEK 0x41 /* read a card */
#define TAGPORT_READER_MOVE 0x50 /* move the card on */
#define TAGPORT_READER_OPEN_PAYLOAD 0x01
#define TAGPORT_READER_SEEK_PAYLOAD 0x04, 0x00, 0x00
#define TAGPORT_READER_MOVE_PAYLOAD 0x00

/* Seek replies only: byte 7 says a card was read; its data runs from byte
 * 11 to the checksum, 8 bytes at least. The other rules look at the
 * frame's target, status and command bytes (<tagport/frame_link.h>). */
#define TAGPORT_REPLY_CARD_FLAG_OFFSET 7
#define TAGPORT_REPLY_CARD_FLAG_SET 1
/* Byte 7 of a seek reply that is otherwise accepted, when no card is at the
 * reader: its answer while it waits for one, no fault. */
#define TAGPORT_REPLY_CARD_FLAG_NONE 0
#define TAGPORT_REPLY_CARD_DATA_OFFSET 11
#define TAGPORT_SEEK_REPLY_MIN_LENGTH 20

/* What is wrong with a reply, in the order the rules are checked. */
typedef enum TagportReplyProblem {
  TAGPORT_REPLY_ACCEPTED = 0,
  TAGPORT_REPLY_BAD_STATUS,   /* status byte not 1 */
  TAGPORT_REPLY_BAD_COMMAND,  /* command byte not the request's */
  TAGPORT_REPLY_BAD_TARGET,   /* target byte not 5 */
  TAGPORT_REPLY_NO_CARD_FLAG, /* seek: byte 7 not 1 */
  TAGPORT_REPLY_TOO_SHORT     /* seek: frame shorter than 20 bytes */
} TagportReplyProblem;

/* The payload of request `command` and its length in *length; null (and
 * *length 0) for a command byte the reader is not sent. */
static inline const unsigned char* TagportReaderPayload(int command,
                                                        int* length) {
  static const unsigned char kOpen[] = {TAGPORT_READER_OPEN_PAYLOAD};
  static const unsigned char kSeek[] = {TAGPORT_READER_SEEK_PAYLOAD};
  static const unsigned char kMove[] = {TAGPORT_READER_MOVE_PAYLOAD};
  switch (command) {
    case TAGPORT_READER_OPEN:
      *length = (int)sizeof kOpen;
      return kOpen;
    case TAGPORT_READER_SEEK:
      *length = (int)sizeof kSeek;
      return kSeek;
    case TAGPORT_READER_MOVE:
      *length = (int)sizeof kMove;
      return kMove;
    default:
      *length = 0;
      return (const unsigned char*)0;
  }
}

/* Builds request `command` in SentBuf and writes it: SentPacket's result,
 * the byte count written; 0 when not sent (also for an unknown command). */
static inline int TagportReaderSend(int command) {
  int length = 0;
  const unsigned char* payload = TagportReaderPayload(command, &length);
  if (!payload) return 0;
  return SentPacket(TAGPORT_READER_TARGET, command, payload, length);
}

/* The first rule that `frame`, a whole reply of `length` bytes (8 or more),
 * breaks as the reply to request `command`; TAGPORT_REPLY_ACCEPTED when it
 * breaks none. */
static inline TagportReplyProblem TagportReaderCheckReply(
    int command, const unsigned char* frame, int length) {
  if (frame[TAGPORT_FRAME_STATUS_OFFSET] != TAGPORT_FRAME_STATUS_ACCEPTED) {
    return TAGPORT_REPLY_BAD_STATUS;
  }
  if (frame[TAGPORT_FRAME_COMMAND_OFFSET] != command) {
    return TAGPORT_REPLY_BAD_COMMAND;
  }
  if (frame[TAGPORT_FRAME_TARGET_OFFSET] != TAGPORT_READER_TARGET) {
    return TAGPORT_REPLY_BAD_TARGET;
  }
  if (command != TAGPORT_READER_SEEK) return TAGPORT_REPLY_ACCEPTED;
  if (frame[TAGPORT_REPLY_CARD_FLAG_OFFSET] != TAGPORT_REPLY_CARD_FLAG_SET) {
    return TAGPORT_REPLY_NO_CARD_FLAG;
  }
  if (length < TAGPORT_SEEK_REPLY_MIN_LENGTH) return TAGPORT_REPLY_TOO_SHORT;
  return TAGPORT_REPLY_ACCEPTED;
}

/* The count of card bytes in an accepted seek reply of `length` bytes: all
 * from TAGPORT_REPLY_CARD_DATA_OFFSET up to the checksum. */
static inline int TagportReaderCardCount(int length) {
  return length - TAGPORT_REPLY_CARD_DATA_OFFSET - 1;
}

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* TAGPORT_READER_H_ */
