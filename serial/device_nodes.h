// The UART device nodes the serial port opens, by port index. Shared with
// the tools that name them and with the node redirect, which leads them
// elsewhere; not part of the library's exported surface.
#ifndef TAGPORT_SERIAL_DEVICE_NODES_H_
#define TAGPORT_SERIAL_DEVICE_NODES_H_

#include <stddef.h>
#include <stdint.h>

// Every node is this prefix and the port index's digit.
#define TAGPORT_DEVICE_NODE_PREFIX "/dev/ttyMT"

// Port indexes run from 0 to TAGPORT_LAST_PORT.
#define TAGPORT_LAST_PORT 3
#define TAGPORT_PORT_COUNT (TAGPORT_LAST_PORT + 1)

// The node of port `index`; null for an index outside 0..3.
static inline const char* TagportDeviceNode(uint32_t index) {
  static const char* const kNodes[TAGPORT_PORT_COUNT] = {
      TAGPORT_DEVICE_NODE_PREFIX "0", TAGPORT_DEVICE_NODE_PREFIX "1",
      TAGPORT_DEVICE_NODE_PREFIX "2", TAGPORT_DEVICE_NODE_PREFIX "3"};
  return index < TAGPORT_PORT_COUNT ? kNodes[index] : NULL;
}

#endif  // TAGPORT_SERIAL_DEVICE_NODES_H_
