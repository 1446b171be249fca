// The reply wait, built into libtagport.so and into the tools that watch
// its exchanges; in a tool it runs on the library's exported decoder and
// port, so both wait alike.
#include <tagport/frame_link.h>
#include <tagport/serial_port.h>
#include <unistd.h>

#include "link/link_internal.h"

int FeedUntilFrame(const unsigned char* bytes, int count) {
  for (int k = 0; k < count; ++k) {
    if (RxDecode(bytes[k]) == 1) return k + 1;
  }
  return -1;
}

int WaitForReply(int polls, const ExchangeObserver* observer) {
  if (polls < 1) polls = 1;
  unsigned char chunk[kReadChunk];
  for (int poll = 0; poll < polls; ++poll) {
    const int count = Api_ReadSerial(chunk, kReadChunk);
    if (observer != nullptr) observer->read(observer->context, chunk, count);
    const int fed = FeedUntilFrame(chunk, count);
    if (fed >= 0) {
      // Bytes behind the completing one are dropped with the chunk.
      if (observer != nullptr) {
        observer->frame(observer->context, chunk + fed, count - fed);
      }
      return 1;
    }
    usleep(kPollSleepUs);
  }
  MsgLen = 0;
  PacketLen = 0;
  return 0;
}
