// Library-internal parts of the serial port, for the reader exchange.
#ifndef TAGPORT_SERIAL_SERIAL_INTERNAL_H_
#define TAGPORT_SERIAL_SERIAL_INTERNAL_H_

#ifdef __cplusplus
extern "C" {
#endif

// Discards the input waiting on the open port. Does nothing with no port
// open, and nothing more when the port cannot flush (not a terminal).
void DiscardPendingInput(void);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // TAGPORT_SERIAL_SERIAL_INTERNAL_H_
