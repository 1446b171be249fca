// One exchange with the reader, the way the commands run it and the tools
// watch it. Built into libtagport.so and into the tools; exported by none.
#ifndef TAGPORT_PROTOCOL_READER_EXCHANGE_H_
#define TAGPORT_PROTOCOL_READER_EXCHANGE_H_

#include "link/link_internal.h"
#include "protocol/reader_protocol.h"

#ifdef __cplusplus
extern "C" {
#endif

// Clears the decoder, discards the input waiting on the port, sends request
// `id`, waits up to `polls` polls for the first whole frame and judges it,
// telling `observer` (null: nobody) each step. 0 when the frame, left in
// MsgBuf, meets the request's rules; -1 when the request was not sent or
// the frame breaks a rule; -2 when no frame came.
int ReaderExchange(ReaderRequestId id, int polls,
                   const ExchangeObserver* observer);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // TAGPORT_PROTOCOL_READER_EXCHANGE_H_
