// libtagport_redirect.so: runs code that uses libtagport.so against a
// simulated reader (or any terminal) instead of the fixed UART nodes, and
// records what libtagport.so hands to the system.
//
// Preload it (LD_PRELOAD=.../libtagport_redirect.so) into any program or JVM
// that loads libtagport.so, or link it ahead of libc. Then an open of
// "/dev/ttyMT<n>" (n = 0..3) opens the path in the environment variable
// TAGPORT_TTYMT<n> instead, read when the node is opened; with the variable
// unset the node itself is opened. No other path is touched, and the
// program's own calls pass through unchanged.
//
// Only calls made from libtagport.so itself are counted and recorded: a
// simulator or test harness in the same process reads, writes and sleeps
// too. The functions below are for tests that link the redirect.
#ifndef TAGPORT_TOOLS_REDIRECT_NODE_REDIRECT_H_
#define TAGPORT_TOOLS_REDIRECT_NODE_REDIRECT_H_

#include <termios.h>

#ifdef __cplusplus
extern "C" {
#endif

// Calls of read and usleep made from libtagport.so since the last reset.
long tagport_redirect_read_calls(void);
long tagport_redirect_sleep_calls(void);

// Microseconds those usleep calls asked for, in all.
long long tagport_redirect_slept_us(void);

// Opens of "/dev/ttyMT0".."/dev/ttyMT3" seen, redirected or not, by anyone.
long tagport_redirect_node_opens(void);

// What a recorded call was, and what `value` holds for it.
enum tagport_redirect_call_kind {
  TAGPORT_REDIRECT_OPEN = 1,   // the open flags
  TAGPORT_REDIRECT_TCFLUSH,    // the queue selector
  TAGPORT_REDIRECT_TCSETATTR,  // the action; `attributes` the termios given
  TAGPORT_REDIRECT_WRITE,      // the byte count asked for
  TAGPORT_REDIRECT_POLL,       // the timeout in milliseconds
  TAGPORT_REDIRECT_IOCTL,      // the request
  // Not recorded, only made to fail: the descriptor flags and the timer
  // slack are read back from the system instead.
  TAGPORT_REDIRECT_FCNTL,
  TAGPORT_REDIRECT_PRCTL,
};

struct tagport_redirect_call {
  int kind;
  long long value;
  struct termios attributes;
};

// Copies the first `capacity` of the open, tcflush, tcsetattr, write, poll
// and ioctl calls libtagport.so made since the last reset into `calls`, in call
// order. The number recorded in all, which may exceed `capacity` (and the
// redirect keeps only the first 256).
long tagport_redirect_calls(struct tagport_redirect_call* calls, long capacity);

// Makes the next tcflush, tcsetattr, write, poll, ioctl, fcntl or prctl call
// (`kind`) that libtagport.so makes fail with `error` (an interrupted write,
// a full line, refused settings, a driver without exclusive mode, a thread
// whose timer slack cannot change: what no pseudo-terminal or kernel does on
// demand). The call is recorded (where its kind is) but does not reach the
// system.
void tagport_redirect_fail_next(int kind, int error);

// The same for every such call until the next reset: a write interrupted
// without end, a system that refuses every prctl.
void tagport_redirect_fail_every(int kind, int error);

// Zeroes the counts, forgets the recorded calls and the failures to come.
void tagport_redirect_reset(void);

// A simulated module serving the line in this process keeps the library's
// polls in step with it. The kernel hands a pseudo-terminal's bytes on from
// one shared worker thread, which a busy machine may hold up for a second
// or more, and a module that answered at once would then look silent to
// the library's polls. So while a module serves, each sleep of the library
// first waits (for at most 10 s) until the module has dealt with every byte
// the library wrote since it began: read it and answered, or begun a delay
// it was told to make. A slow machine stretches the library's wait instead
// of using up its polls. The answer's way needs no such step: a read waits
// for the bytes the worker has yet to hand over.

// The module begins serving the line whose other end is the terminal
// `line` (only the library's writes there count), or stops (null).
void tagport_redirect_module_serving(const char* line);

// The module has dealt with `count` more of the library's bytes.
void tagport_redirect_module_took(long count);

// A test's stand-in for the far end of a line the library writes to, for
// write tests that must not hang on how fast a thread of the test runs:
// `hook` (null: none) runs on the library's thread before each poll the
// library makes, and may drain the line and say how much time passed for
// the far end meanwhile (tagport_redirect_pass_time). The time the hook
// takes does not pass for the library; the time it says passes does, on
// the library's monotonic clock.
typedef void (*tagport_redirect_wait_hook)(void* context);
void tagport_redirect_before_waits(tagport_redirect_wait_hook hook,
                                   void* context);

// Moves the library's monotonic clock on this thread on by `ns`.
void tagport_redirect_pass_time(long long ns);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // TAGPORT_TOOLS_REDIRECT_NODE_REDIRECT_H_
