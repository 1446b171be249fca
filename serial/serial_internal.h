// Library-internal parts of the serial port, for the link and the reader
// exchange.
#ifndef TAGPORT_SERIAL_SERIAL_INTERNAL_H_
#define TAGPORT_SERIAL_SERIAL_INTERNAL_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// Discards the input waiting on the open port. Does nothing with no port
// open, and nothing more when the port cannot flush (not a terminal).
void DiscardPendingInput(void);

// The monotonic clock in microseconds, in 64 bits: devices stay up for
// months, and 32 bits of milliseconds overflow after 24.9 days. 1 and
// *now_us set, or 0 when the clock cannot be read.
int MonotonicUs(int64_t* now_us);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // TAGPORT_SERIAL_SERIAL_INTERNAL_H_
