// Serial port access: one UART line, raw 8N1, non-blocking.
#ifndef TAGPORT_SERIAL_PORT_H_
#define TAGPORT_SERIAL_PORT_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif
#pragma GCC visibility push(default)

// Descriptor of the open port, or -1 when none is open.
extern int32_t FD_COM;

// Opens "/dev/ttyMT<index>" (index 0..3) and configures it at `rate` bit/s.
// Programs that open the node later are refused it (root aside), and
// programs this one starts do not inherit it. 1 when open and configured, 0
// otherwise (the node may stay open).
int Api_OpenSerial(uint32_t index, int32_t rate);

// Closes the port if one is open, releasing it to other programs. Always 1.
int Api_CloseSerial(void);

// Writes all `length` bytes, waiting for room on a full line for at most
// one second plus the bytes' time on the wire at the line's rate, and for
// at most one second without a byte taken. `length` when written; 0 with no
// port, or on failure ("write error: " printed), also when a bound ran out
// after part of the bytes went out.
int Api_WriteSerial(const unsigned char* data, int length);

// One non-blocking read of up to `capacity` bytes. A byte count, 0 when
// nothing waits, on error, or with no port open.
int Api_ReadSerial(unsigned char* buffer, int capacity);

#pragma GCC visibility pop
#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // TAGPORT_SERIAL_PORT_H_
