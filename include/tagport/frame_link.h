// Reader link: request frames, checksum, reply decoder and reply wait.
//
// Frame: 1E, length (2 bytes, high first, counts the whole frame), target,
// 00, status, command, payload, additive 8-bit checksum of all prior bytes.
#ifndef TAGPORT_FRAME_LINK_H_
#define TAGPORT_FRAME_LINK_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

// Bytes in each frame buffer, and so the largest frame the link holds.
#define TAGPORT_FRAME_CAPACITY 2048

// Where a frame's fields lie: the start byte at 0, the length (high byte
// first) at 1 and 2, then target, a zero byte, status and command; the
// payload from 7; the checksum last.
#define TAGPORT_FRAME_START 0x1E
#define TAGPORT_FRAME_LENGTH_HIGH_OFFSET 1
#define TAGPORT_FRAME_LENGTH_LOW_OFFSET 2
#define TAGPORT_FRAME_TARGET_OFFSET 3
#define TAGPORT_FRAME_ZERO_OFFSET 4
#define TAGPORT_FRAME_STATUS_OFFSET 5
#define TAGPORT_FRAME_COMMAND_OFFSET 6
#define TAGPORT_FRAME_PAYLOAD_OFFSET 7

// The bytes a frame carries besides its payload: the smallest frame.
#define TAGPORT_FRAME_OVERHEAD 8

// The status byte of every request, and of a reply that reports success.
#define TAGPORT_FRAME_REQUEST_STATUS 0xFF
#define TAGPORT_FRAME_STATUS_ACCEPTED 1

// The last request frame built and its length.
extern unsigned char SentBuf[TAGPORT_FRAME_CAPACITY];
extern int32_t SentLen;

// The reply being received, the bytes stored, and its declared length.
extern unsigned char MsgBuf[TAGPORT_FRAME_CAPACITY];
extern int32_t MsgLen;
extern int32_t PacketLen;

// Sum of the first `length` bytes modulo 256: 0..255 (0 for length <= 0
// or null data).
int GetChkSum(const unsigned char* data, int length);

// Builds a request frame in SentBuf and writes it. The byte count written,
// 0 when not sent (no port, write failure, n outside 0..2040, null payload).
int SentPacket(int target, int command, const unsigned char* payload, int n);

// Resets the decoder: counters to 0, MsgBuf zeroed.
void ClearPacket(void);

// Feeds one received byte. 1 when it completes a checksum-valid frame, else 0.
int RxDecode(int byte);

// Waits up to `polls` polls (at least 1) for a reply frame: a read, then a
// 1 ms sleep when no frame completed. Never longer than 1.25 ms a poll plus
// 250 ms, on any thread. 0 status 1, -1 other status, -2 no frame.
int IsSuccessRecv(int polls);

#pragma GCC visibility pop
#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // TAGPORT_FRAME_LINK_H_
