// The reply wait, built into libtagport.so and into the tools that watch
// its exchanges; in a tool it runs on the library's exported decoder and
// port, so both wait alike.
#include <errno.h>
#include <sys/prctl.h>
#include <tagport/frame_link.h>
#include <tagport/serial_port.h>
#include <unistd.h>

#include "link/link_internal.h"
#include "serial/serial_internal.h"

namespace {

// The timer slack the wait's sleeps run with: what Android gives a
// foreground thread. A background thread gets 40 ms, which would stretch
// each 1 ms sleep to up to 41 ms and the 1000 polls of a request to 40 s.
const long kWaitTimerSlackNs = 50000;

// Lowers the calling thread's timer slack for the wait. The slack to put
// back afterwards, or 0 when it was left alone: already that small (or 0,
// as for a real-time thread), or not to be read or changed, which leaves
// the deadline to bound the wait. prctl reports the slack as an int: one
// beyond 2.1 s, which no system sets, does not read back right.
long LowerTimerSlack() {
  const int caller = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
  if (caller <= kWaitTimerSlackNs) return 0;
  if (prctl(PR_SET_TIMERSLACK, kWaitTimerSlackNs, 0, 0, 0) != 0) return 0;
  return caller;
}

// Puts back the slack LowerTimerSlack changed, if it did.
void RestoreTimerSlack(long caller) {
  if (caller > 0) (void)prctl(PR_SET_TIMERSLACK, caller, 0, 0, 0);
}

// The longest a wait of `polls` may last, in microseconds: a quarter over
// the polls' own sleeps, and a quarter second more. On a timer that keeps
// time the polls run out first (1000 take about 1.1 s); on one that does
// not (a slack that cannot be lowered, on kernels that impose it per group
// of threads), the 1000 polls of a request still end within 1.5 s.
int64_t WaitLimitUs(int polls) {
  return static_cast<int64_t>(polls) * kPollSleepUs * 5 / 4 + 250000;
}

// One poll's sleep, completed when a signal cuts it short: an interrupted
// sleep must not count as a whole poll, or a stream of signals would end
// the wait early. Without a clock the sleep is taken as it came.
void SleepOnePoll() {
  int64_t start_us = 0;
  const int timed = MonotonicUs(&start_us);
  int slept = usleep(kPollSleepUs);
  while (slept != 0 && errno == EINTR && timed) {
    int64_t now_us = 0;
    if (MonotonicUs(&now_us) == 0) return;
    const int64_t left_us = start_us + kPollSleepUs - now_us;
    if (left_us <= 0) return;
    slept = usleep(static_cast<useconds_t>(left_us));
  }
}

}  // namespace

int FeedUntilFrame(const unsigned char* bytes, int count) {
  for (int k = 0; k < count; ++k) {
    if (RxDecode(bytes[k]) == 1) return k + 1;
  }
  return -1;
}

int WaitForReply(int polls, const ExchangeObserver* observer) {
  if (polls < 1) polls = 1;
  const long caller_slack = LowerTimerSlack();
  int64_t deadline_us = 0;
  const int timed = MonotonicUs(&deadline_us);
  deadline_us += WaitLimitUs(polls);
  unsigned char chunk[kReadChunk];
  int framed = 0;
  for (int poll = 0; poll < polls; ++poll) {
    const int count = Api_ReadSerial(chunk, kReadChunk);
    if (observer != nullptr) observer->read(observer->context, chunk, count);
    const int fed = FeedUntilFrame(chunk, count);
    if (fed >= 0) {
      // Bytes behind the completing one are dropped with the chunk.
      if (observer != nullptr) {
        observer->frame(observer->context, chunk + fed, count - fed);
      }
      framed = 1;
      break;
    }
    SleepOnePoll();
    int64_t now_us = 0;
    if (timed && MonotonicUs(&now_us) != 0 && now_us >= deadline_us) break;
  }
  RestoreTimerSlack(caller_slack);
  if (!framed) {
    MsgLen = 0;
    PacketLen = 0;
  }
  return framed;
}
