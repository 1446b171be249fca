// Test shim, linked into test programs ahead of libc (or preloaded): maps the
// fixed UART nodes to paths taken from the environment and counts the
// library's reads and sleeps.
//
// TAGPORT_TTYMT0 .. TAGPORT_TTYMT3 name the path that "/dev/ttyMTn" opens
// instead; unset leaves the node as it is.
#ifndef TAGPORT_TESTS_SUPPORT_NODE_REDIRECT_H_
#define TAGPORT_TESTS_SUPPORT_NODE_REDIRECT_H_

#ifdef __cplusplus
extern "C" {
#endif

// Calls to read and usleep made from libtagport since the last reset.
long tagport_shim_read_calls(void);
long tagport_shim_sleep_calls(void);
void tagport_shim_reset_counts(void);

// Opens of "/dev/ttyMTn" seen by the shim, redirected or not.
long tagport_shim_node_opens(void);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // TAGPORT_TESTS_SUPPORT_NODE_REDIRECT_H_
