// What a program sees of the monotonic clock, for scripts/ci/uptime.sh.
//   uptime_clock          prints the clock in whole seconds
//   uptime_clock canary   also takes it in milliseconds as a 32-bit int, the
//                         way the fault looks; built with overflow trapping,
//                         this must die once the clock is past 2^31 ms, or
//                         the stage's setting proves nothing
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

int main(int argc, char** argv) {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) {
    perror("clock_gettime(CLOCK_MONOTONIC)");
    return 2;
  }
  if (argc > 1 && strcmp(argv[1], "canary") == 0) {
    const int32_t seconds = (int32_t)now.tv_sec;
    const int32_t ms = seconds * 1000 + (int32_t)(now.tv_nsec / 1000000);
    printf("%ld ms: no trap\n", (long)ms);
    return 0;
  }
  printf("%lld\n", (long long)now.tv_sec);
  return 0;
}
