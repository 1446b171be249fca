// Built into libtagport.so and into the tools that run its exchanges; in a
// tool it works on the library's exported FD_COM.
#include <tagport/serial_port.h>
#include <termios.h>

#include "serial/serial_internal.h"

void DiscardPendingInput(void) {
  // A port that cannot flush is used as it is: the request still goes out.
  if (FD_COM != -1) (void)tcflush(FD_COM, TCIFLUSH);
}
