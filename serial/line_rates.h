// The line rates the serial port accepts, with their termios speeds. Shared
// with tools that configure a real line the same way or try every rate;
// not part of the library's exported surface.
#ifndef TAGPORT_SERIAL_LINE_RATES_H_
#define TAGPORT_SERIAL_LINE_RATES_H_

#include <stdint.h>
#include <termios.h>

typedef struct TagportLineRate {
  int32_t rate;
  speed_t speed;
} TagportLineRate;

// The accepted rates, lowest first; their number in *count.
static inline const TagportLineRate* TagportLineRates(unsigned* count) {
  static const TagportLineRate kRates[] = {
      {2400, B2400},       {4800, B4800},       {9600, B9600},
      {19200, B19200},     {38400, B38400},     {57600, B57600},
      {115200, B115200},   {230400, B230400},   {460800, B460800},
      {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
      {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000},
      {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
  };
  *count = sizeof kRates / sizeof kRates[0];
  return kRates;
}

// The speed for `rate` in bit/s: 1 and *speed set, or 0 for any other rate.
static inline int TagportSpeedForRate(int32_t rate, speed_t* speed) {
  unsigned count = 0;
  const TagportLineRate* rates = TagportLineRates(&count);
  for (unsigned i = 0; i < count; ++i) {
    if (rates[i].rate == rate) {
      *speed = rates[i].speed;
      return 1;
    }
  }
  return 0;
}

// The rate whose speed is `speed`: 1 and *rate set, or 0 for a speed
// outside the table.
static inline int TagportRateForSpeed(speed_t speed, int32_t* rate) {
  unsigned count = 0;
  const TagportLineRate* rates = TagportLineRates(&count);
  for (unsigned i = 0; i < count; ++i) {
    if (rates[i].speed == speed) {
      *rate = rates[i].rate;
      return 1;
    }
  }
  return 0;
}

#endif  // TAGPORT_SERIAL_LINE_RATES_H_
