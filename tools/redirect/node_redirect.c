#define _GNU_SOURCE
#include "node_redirect.h"

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "serial/device_nodes.h"

// musl's headers define these as macros for the plain names under
// _GNU_SOURCE, which would make the definitions below a second open and
// openat. The 64 names are still symbols there, so they stay redirectable.
#undef open64
#undef openat64

enum { kMaxRecordedCalls = 256, kCallKinds = TAGPORT_REDIRECT_PRCTL + 1 };

static atomic_long read_calls;
static atomic_long sleep_calls;
static atomic_llong slept_us;
static atomic_long node_opens;
static atomic_long recorded_calls;
static struct tagport_redirect_call records[kMaxRecordedCalls];
// Whether a module serves, the line it serves (its device), and the bytes
// the library wrote there since that it has yet to deal with.
static atomic_bool module_serving;
static _Atomic dev_t module_line;
static atomic_llong module_owed;
// How far the library's monotonic clock is from the real one on this
// thread: less the time the library was held for the module or a test,
// plus the time a test said passed.
static _Thread_local long long clock_shift_ns;
// The test's stand-in for the far end, run before each of the library's
// waits for room.
static _Atomic(tagport_redirect_wait_hook) wait_hook;
static void* _Atomic wait_hook_context;

// The error the next call of each kind fails with; 0 for none.
static atomic_int failures[kCallKinds];
// Whether that error stays for every call after the next.
static atomic_bool failures_stay[kCallKinds];

long tagport_redirect_read_calls(void) { return atomic_load(&read_calls); }
long tagport_redirect_sleep_calls(void) { return atomic_load(&sleep_calls); }
long long tagport_redirect_slept_us(void) { return atomic_load(&slept_us); }
long tagport_redirect_node_opens(void) { return atomic_load(&node_opens); }

void tagport_redirect_reset(void) {
  atomic_store(&read_calls, 0);
  atomic_store(&sleep_calls, 0);
  atomic_store(&slept_us, 0);
  atomic_store(&recorded_calls, 0);
  for (int kind = 0; kind < kCallKinds; ++kind) {
    atomic_store(&failures[kind], 0);
    atomic_store(&failures_stay[kind], false);
  }
}

static void set_failure(int kind, int error, bool stays) {
  if (kind > TAGPORT_REDIRECT_OPEN && kind < kCallKinds) {
    atomic_store(&failures_stay[kind], stays);
    atomic_store(&failures[kind], error);
  }
}

void tagport_redirect_module_serving(const char* line) {
  struct stat node;
  const bool serving = line != NULL && stat(line, &node) == 0;
  atomic_store(&module_line, serving ? node.st_rdev : 0);
  atomic_store(&module_owed, 0);
  atomic_store(&module_serving, serving);
}

// Whether `fd` is the line the module serves.
static bool on_module_line(int fd) {
  struct stat line;
  return fstat(fd, &line) == 0 && S_ISCHR(line.st_mode) &&
         line.st_rdev == atomic_load(&module_line);
}

void tagport_redirect_module_took(long count) {
  // Never below 0: a module may read bytes written before it began.
  long long owed = atomic_load(&module_owed);
  while (!atomic_compare_exchange_weak(&module_owed, &owed,
                                       owed > count ? owed - count : 0)) {
  }
}

void tagport_redirect_before_waits(tagport_redirect_wait_hook hook,
                                   void* context) {
  atomic_store(&wait_hook_context, context);
  atomic_store(&wait_hook, hook);
}

void tagport_redirect_pass_time(long long ns) { clock_shift_ns += ns; }

void tagport_redirect_fail_next(int kind, int error) {
  set_failure(kind, error, false);
}

void tagport_redirect_fail_every(int kind, int error) {
  set_failure(kind, error, true);
}

// The error the call of `kind` is to fail with instead of reaching the
// system, or 0.
static int take_failure(int kind) {
  if (atomic_load(&failures_stay[kind])) return atomic_load(&failures[kind]);
  return atomic_exchange(&failures[kind], 0);
}

long tagport_redirect_calls(struct tagport_redirect_call* calls,
                            long capacity) {
  const long total = atomic_load(&recorded_calls);
  long kept = total < kMaxRecordedCalls ? total : kMaxRecordedCalls;
  if (kept > capacity) kept = capacity;
  for (long k = 0; k < kept; ++k) calls[k] = records[k];
  return total;
}

// Exactly the library, by any name the loader may know it by: plain
// libtagport.so (as System.loadLibrary opens it, and on Android), or a
// versioned libtagport.so.1 or libtagport.so.1.0.0 (as a program linked
// with it loads its soname on Linux). Helpers named libtagport_* must not
// count.
static int is_library_file(const char* base) {
  static const char kName[] = "libtagport.so";
  const size_t length = sizeof kName - 1;
  if (strncmp(base, kName, length) != 0) return 0;
  const char* version = base + length;
  if (*version == '\0') return 1;
  if (*version != '.' || version[1] == '\0') return 0;
  for (++version; *version != '\0'; ++version) {
    if (*version != '.' && (*version < '0' || *version > '9')) return 0;
  }
  return 1;
}

// The library's calls are told apart by where they return to: the
// simulated module and the harness make the same calls from elsewhere.
static int called_from_library(const void* return_address) {
  Dl_info info;
  if (dladdr(return_address, &info) == 0 || info.dli_fname == NULL) return 0;
  const char* base = strrchr(info.dli_fname, '/');
  return is_library_file(base ? base + 1 : info.dli_fname);
}

// Records a call; the error it is to fail with instead of reaching the
// system, or 0.
static int record(int kind, long long value, const struct termios* attributes) {
  const long slot = atomic_fetch_add(&recorded_calls, 1);
  if (slot < kMaxRecordedCalls) {
    struct tagport_redirect_call* call = &records[slot];
    memset(call, 0, sizeof *call);
    call->kind = kind;
    call->value = value;
    if (attributes) call->attributes = *attributes;
  }
  return take_failure(kind);
}

static const char* redirect(const char* path) {
  static const char kPrefix[] = TAGPORT_DEVICE_NODE_PREFIX;
  const size_t prefix_len = sizeof kPrefix - 1;
  if (path == NULL || strncmp(path, kPrefix, prefix_len) != 0) return path;
  const char digit = path[prefix_len];
  if (digit < '0' || digit >= '0' + TAGPORT_PORT_COUNT ||
      path[prefix_len + 1] != '\0') {
    return path;
  }
  atomic_fetch_add(&node_opens, 1);
  char name[] = "TAGPORT_TTYMT0";
  name[sizeof name - 2] = digit;
  const char* target = getenv(name);
  return target ? target : path;
}

// The next definition of `name` after this one, looked up once. Lookups
// race harmlessly: every thread finds the same address.
#define REAL(name, type)                                                   \
  ({                                                                       \
    static _Atomic(type) real_##name;                                      \
    type found = atomic_load_explicit(&real_##name, memory_order_relaxed); \
    if (!found) {                                                          \
      found = (type)dlsym(RTLD_NEXT, #name);                               \
      atomic_store_explicit(&real_##name, found, memory_order_relaxed);    \
    }                                                                      \
    found;                                                                 \
  })

typedef int (*clock_gettime_fn)(clockid_t, struct timespec*);

static long long real_monotonic_ns(void) {
  struct timespec now;
  if (REAL(clock_gettime, clock_gettime_fn)(CLOCK_MONOTONIC, &now) != 0) {
    return 0;
  }
  return (long long)now.tv_sec * 1000000000 + now.tv_nsec;
}

// Until the serving module has dealt with what the library wrote, for at
// most 10 s: a module that stopped reading must not stop the library. The
// time spent here does not pass for the library.
static void wait_for_module(void) {
  if (!atomic_load(&module_serving) || atomic_load(&module_owed) <= 0) return;
  const long long start = real_monotonic_ns();
  const struct timespec step = {0, 100000};
  int steps = 0;
  for (; steps < 100000 && atomic_load(&module_serving) &&
         atomic_load(&module_owed) > 0;
       ++steps) {
    nanosleep(&step, NULL);
  }
  // A module that has not dealt with the bytes in 10 s never will: the
  // library's next sleeps are not held for them.
  if (steps == 100000) atomic_store(&module_owed, 0);
  clock_shift_ns -= real_monotonic_ns() - start;
}

// Runs the test's hook before a wait of the library's, the time it takes
// held from the library's clock.
static void run_wait_hook(void) {
  const tagport_redirect_wait_hook hook = atomic_load(&wait_hook);
  if (hook == NULL) return;
  const long long start = real_monotonic_ns();
  hook(atomic_load(&wait_hook_context));
  clock_shift_ns -= real_monotonic_ns() - start;
}

// The optional mode argument is read only when the flags say it is there.
#define MODE_ARG(flags, mode)                                    \
  do {                                                           \
    if (((flags)&O_CREAT) || ((flags)&O_TMPFILE) == O_TMPFILE) { \
      va_list args;                                              \
      va_start(args, flags);                                     \
      mode = (mode_t)va_arg(args, int);                          \
      va_end(args);                                              \
    }                                                            \
  } while (0)

// For a call made from the library: `failure`, the error the call is to
// fail with (0: none), is asked for, and the call fails with it.
#define FAIL_WITH(failure)                                  \
  do {                                                      \
    if (called_from_library(__builtin_return_address(0))) { \
      const int error = (failure);                          \
      if (error != 0) {                                     \
        errno = error;                                      \
        return -1;                                          \
      }                                                     \
    }                                                       \
  } while (0)

// Fails a call made from the library, unrecorded, when a failure waits for
// its kind.
#define FAIL_IF_ASKED(kind) FAIL_WITH(take_failure(kind))

// Records a call made from the library, and fails it there when a failure
// waits for its kind.
#define RECORD_OR_FAIL(kind, value, attributes) \
  FAIL_WITH(record((kind), (value), (attributes)))

#define RECORD_OPEN(flags)                                  \
  do {                                                      \
    if (called_from_library(__builtin_return_address(0))) { \
      (void)record(TAGPORT_REDIRECT_OPEN, (flags), NULL);   \
    }                                                       \
  } while (0)

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);
typedef int (*open_chk_fn)(const char*, int);
typedef int (*openat_chk_fn)(int, const char*, int);
typedef ssize_t (*read_fn)(int, void*, size_t);
typedef ssize_t (*read_chk_fn)(int, void*, size_t, size_t);
typedef ssize_t (*write_fn)(int, const void*, size_t);
typedef int (*usleep_fn)(useconds_t);
typedef int (*tcflush_fn)(int, int);
typedef int (*tcsetattr_fn)(int, int, const struct termios*);
typedef int (*poll_fn)(struct pollfd*, nfds_t, int);
typedef int (*fcntl_fn)(int, int, ...);
typedef int (*prctl_fn)(int, ...);
typedef int (*poll_chk_fn)(struct pollfd*, nfds_t, int, size_t);

// glibc declares the request unsigned long; musl and bionic declare it int.
#ifdef __GLIBC__
typedef unsigned long ioctl_request;
#else
typedef int ioctl_request;
#endif
typedef int (*ioctl_fn)(int, ioctl_request, ...);

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  MODE_ARG(flags, mode);
  RECORD_OPEN(flags);
  return REAL(open, open_fn)(redirect(path), flags, mode);
}

int open64(const char* path, int flags, ...) {
  mode_t mode = 0;
  MODE_ARG(flags, mode);
  RECORD_OPEN(flags);
  return REAL(open64, open_fn)(redirect(path), flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
  mode_t mode = 0;
  MODE_ARG(flags, mode);
  RECORD_OPEN(flags);
  return REAL(openat, openat_fn)(dir, redirect(path), flags, mode);
}

int openat64(int dir, const char* path, int flags, ...) {
  mode_t mode = 0;
  MODE_ARG(flags, mode);
  RECORD_OPEN(flags);
  return REAL(openat64, openat_fn)(dir, redirect(path), flags, mode);
}

// The fortified variants that _FORTIFY_SOURCE builds call instead.
int __open_2(const char* path, int flags) {
  RECORD_OPEN(flags);
  return REAL(__open_2, open_chk_fn)(redirect(path), flags);
}

int __open64_2(const char* path, int flags) {
  RECORD_OPEN(flags);
  return REAL(__open64_2, open_chk_fn)(redirect(path), flags);
}

int __openat_2(int dir, const char* path, int flags) {
  RECORD_OPEN(flags);
  return REAL(__openat_2, openat_chk_fn)(dir, redirect(path), flags);
}

int __openat64_2(int dir, const char* path, int flags) {
  RECORD_OPEN(flags);
  return REAL(__openat64_2, openat_chk_fn)(dir, redirect(path), flags);
}

ssize_t read(int fd, void* buffer, size_t count) {
  if (called_from_library(__builtin_return_address(0))) {
    atomic_fetch_add(&read_calls, 1);
  }
  return REAL(read, read_fn)(fd, buffer, count);
}

ssize_t __read_chk(int fd, void* buffer, size_t count, size_t buffer_size) {
  if (called_from_library(__builtin_return_address(0))) {
    atomic_fetch_add(&read_calls, 1);
  }
  return REAL(__read_chk, read_chk_fn)(fd, buffer, count, buffer_size);
}

ssize_t write(int fd, const void* data, size_t count) {
  RECORD_OR_FAIL(TAGPORT_REDIRECT_WRITE, (long long)count, NULL);
  // Owed before the write: the module may read the bytes before the write
  // returns. What did not go out is taken back after.
  const bool owed = atomic_load(&module_serving) &&
                    called_from_library(__builtin_return_address(0)) &&
                    on_module_line(fd);
  if (owed) atomic_fetch_add(&module_owed, (long long)count);
  const ssize_t written = REAL(write, write_fn)(fd, data, count);
  if (owed && (size_t)(written > 0 ? written : 0) < count) {
    atomic_fetch_sub(&module_owed,
                     (long long)count - (written > 0 ? written : 0));
  }
  return written;
}

int usleep(useconds_t microseconds) {
  if (called_from_library(__builtin_return_address(0))) {
    atomic_fetch_add(&sleep_calls, 1);
    atomic_fetch_add(&slept_us, microseconds);
    wait_for_module();
  }
  return REAL(usleep, usleep_fn)(microseconds);
}

int tcflush(int fd, int queue) {
  RECORD_OR_FAIL(TAGPORT_REDIRECT_TCFLUSH, queue, NULL);
  return REAL(tcflush, tcflush_fn)(fd, queue);
}

int tcsetattr(int fd, int action, const struct termios* attributes) {
  RECORD_OR_FAIL(TAGPORT_REDIRECT_TCSETATTR, action, attributes);
  return REAL(tcsetattr, tcsetattr_fn)(fd, action, attributes);
}

// Before the library waits for room on the line, the test's stand-in for
// the far end has its turn.
#define RUN_WAIT_HOOK()                                     \
  do {                                                      \
    if (atomic_load(&wait_hook) != NULL &&                  \
        called_from_library(__builtin_return_address(0))) { \
      run_wait_hook();                                      \
    }                                                       \
  } while (0)

int poll(struct pollfd* fds, nfds_t count, int timeout_ms) {
  RECORD_OR_FAIL(TAGPORT_REDIRECT_POLL, timeout_ms, NULL);
  RUN_WAIT_HOOK();
  return REAL(poll, poll_fn)(fds, count, timeout_ms);
}

// The fortified variant, for builds whose poll calls become it.
int __poll_chk(struct pollfd* fds, nfds_t count, int timeout_ms,
               size_t fds_size) {
  RECORD_OR_FAIL(TAGPORT_REDIRECT_POLL, timeout_ms, NULL);
  RUN_WAIT_HOOK();
  return REAL(__poll_chk, poll_chk_fn)(fds, count, timeout_ms, fds_size);
}

// The argument, where the request has one, is a pointer or an int; passed on
// as a pointer-sized word either way.
int ioctl(int fd, ioctl_request request, ...) {
  va_list args;
  va_start(args, request);
  void* argument = va_arg(args, void*);
  va_end(args);
  RECORD_OR_FAIL(TAGPORT_REDIRECT_IOCTL, (long long)request, NULL);
  return REAL(ioctl, ioctl_fn)(fd, request, argument);
}

// The argument, where the command has one, is an int or a pointer; passed on
// as a pointer-sized word either way.
#define DEFINE_FCNTL(name)                              \
  int name(int fd, int command, ...) {                  \
    va_list args;                                       \
    va_start(args, command);                            \
    void* argument = va_arg(args, void*);               \
    va_end(args);                                       \
    FAIL_IF_ASKED(TAGPORT_REDIRECT_FCNTL);              \
    return REAL(name, fcntl_fn)(fd, command, argument); \
  }

DEFINE_FCNTL(fcntl)
// What 32-bit glibc builds with 64-bit file offsets call instead.
DEFINE_FCNTL(fcntl64)

int prctl(int option, ...) {
  va_list args;
  va_start(args, option);
  unsigned long arguments[4];
  for (int k = 0; k < 4; ++k) arguments[k] = va_arg(args, unsigned long);
  va_end(args);
  FAIL_IF_ASKED(TAGPORT_REDIRECT_PRCTL);
  return REAL(prctl, prctl_fn)(option, arguments[0], arguments[1], arguments[2],
                               arguments[3]);
}

// The library's monotonic clock leaves out the time it was held for the
// module or a test, and counts the time a test said passed: its deadlines
// count the far end's time.
int clock_gettime(clockid_t clock, struct timespec* now) {
  const int result = REAL(clock_gettime, clock_gettime_fn)(clock, now);
  if (result == 0 && clock == CLOCK_MONOTONIC && clock_shift_ns != 0 &&
      called_from_library(__builtin_return_address(0))) {
    long long at =
        (long long)now->tv_sec * 1000000000 + now->tv_nsec + clock_shift_ns;
    if (at < 0) at = 0;
    now->tv_sec = (time_t)(at / 1000000000);
    now->tv_nsec = (long)(at % 1000000000);
  }
  return result;
}
