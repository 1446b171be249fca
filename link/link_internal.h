// Library-internal parts of the reader link: the reply wait, and the hooks
// through which a tool watches an exchange.
#ifndef TAGPORT_LINK_LINK_INTERNAL_H_
#define TAGPORT_LINK_LINK_INTERNAL_H_

#include "link/frame_layout.h"

#ifdef __cplusplus
extern "C" {
#endif

// What a tool is shown of one exchange as it runs; every hook is set, and
// each is handed `context`. The library's own commands run with none, and
// then make exactly the system calls they make without this struct.
typedef struct ExchangeObserver {
  void* context;
  // A read of the input waiting before the request, which is then
  // discarded; `count` > 0.
  void (*stale)(void* context, const unsigned char* bytes, int count);
  // SentPacket's result; the frame stands in SentBuf.
  void (*sent)(void* context, int written);
  // Each poll's read: `count` bytes at `bytes`, 0 when none came.
  void (*read)(void* context, const unsigned char* bytes, int count);
  // A frame completed in MsgBuf (PacketLen bytes). `rest`: the `count`
  // bytes of the same read behind it, which the wait drops unfed.
  void (*frame)(void* context, const unsigned char* rest, int count);
} ExchangeObserver;

// Feeds `count` bytes to RxDecode in order, up to the first that completes
// a frame: the count fed then, else -1 (all fed, no frame).
int FeedUntilFrame(const unsigned char* bytes, int count);

// Polls the port up to `polls` times (at least once), feeding RxDecode and
// telling `observer` (null: nobody), for at most 1.25 ms a poll and 250 ms
// more in all, whatever the calling thread's timer slack or the signals it
// takes; the thread's timer slack is as it was on return. 1 when a frame
// stands in MsgBuf, 0 on timeout (counters then 0).
int WaitForReply(int polls, const ExchangeObserver* observer);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // TAGPORT_LINK_LINK_INTERNAL_H_
