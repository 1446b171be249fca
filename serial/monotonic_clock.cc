// Built into libtagport.so and into the tools that run its exchanges: the
// write's bounds and the reply wait's deadline read the same clock.
#include <time.h>

#include "serial/serial_internal.h"

int MonotonicUs(int64_t* now_us) {
  struct timespec now;
  if (clock_gettime(CLOCK_MONOTONIC, &now) != 0) return 0;
  *now_us = static_cast<int64_t>(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
  return 1;
}
