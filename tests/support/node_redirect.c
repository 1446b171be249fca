#define _GNU_SOURCE
#include "node_redirect.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

static atomic_long read_calls;
static atomic_long sleep_calls;
static atomic_long node_opens;

long tagport_shim_read_calls(void) { return atomic_load(&read_calls); }
long tagport_shim_sleep_calls(void) { return atomic_load(&sleep_calls); }
long tagport_shim_node_opens(void) { return atomic_load(&node_opens); }
void tagport_shim_reset_counts(void) {
  atomic_store(&read_calls, 0);
  atomic_store(&sleep_calls, 0);
}

// Only the library's own calls count: the simulated module and the test
// harness read and sleep too.
static int called_from_library(const void* return_address) {
  Dl_info info;
  if (dladdr(return_address, &info) == 0 || info.dli_fname == NULL) return 0;
  const char* base = strrchr(info.dli_fname, '/');
  base = base ? base + 1 : info.dli_fname;
  // Exactly the library: test helpers named libtagport_* must not count.
  return strcmp(base, "libtagport.so") == 0;
}

static const char* redirect(const char* path) {
  static const char kPrefix[] = "/dev/ttyMT";
  const size_t prefix_len = sizeof kPrefix - 1;
  if (path == NULL || strncmp(path, kPrefix, prefix_len) != 0) return path;
  const char digit = path[prefix_len];
  if (digit < '0' || digit > '3' || path[prefix_len + 1] != '\0') return path;
  atomic_fetch_add(&node_opens, 1);
  char name[] = "TAGPORT_TTYMT0";
  name[sizeof name - 2] = digit;
  const char* target = getenv(name);
  return target ? target : path;
}

#define REAL(name, type) ((type)dlsym(RTLD_NEXT, #name))

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

typedef int (*open_fn)(const char*, int, ...);
typedef int (*openat_fn)(int, const char*, int, ...);
typedef int (*open_chk_fn)(const char*, int);
typedef int (*openat_chk_fn)(int, const char*, int);

int open(const char* path, int flags, ...) {
  mode_t mode = 0;
  MODE_ARG(flags, mode);
  return REAL(open, open_fn)(redirect(path), flags, mode);
}

int open64(const char* path, int flags, ...) {
  mode_t mode = 0;
  MODE_ARG(flags, mode);
  return REAL(open64, open_fn)(redirect(path), flags, mode);
}

int openat(int dir, const char* path, int flags, ...) {
  mode_t mode = 0;
  MODE_ARG(flags, mode);
  return REAL(openat, openat_fn)(dir, redirect(path), flags, mode);
}

int openat64(int dir, const char* path, int flags, ...) {
  mode_t mode = 0;
  MODE_ARG(flags, mode);
  return REAL(openat64, openat_fn)(dir, redirect(path), flags, mode);
}

int __open_2(const char* path, int flags) {
  return REAL(__open_2, open_chk_fn)(redirect(path), flags);
}

int __open64_2(const char* path, int flags) {
  return REAL(__open64_2, open_chk_fn)(redirect(path), flags);
}

int __openat_2(int dir, const char* path, int flags) {
  return REAL(__openat_2, openat_chk_fn)(dir, redirect(path), flags);
}

int __openat64_2(int dir, const char* path, int flags) {
  return REAL(__openat64_2, openat_chk_fn)(dir, redirect(path), flags);
}

ssize_t read(int fd, void* buffer, size_t count) {
  if (called_from_library(__builtin_return_address(0))) {
    atomic_fetch_add(&read_calls, 1);
  }
  typedef ssize_t (*read_fn)(int, void*, size_t);
  return REAL(read, read_fn)(fd, buffer, count);
}

ssize_t __read_chk(int fd, void* buffer, size_t count, size_t buffer_size) {
  if (called_from_library(__builtin_return_address(0))) {
    atomic_fetch_add(&read_calls, 1);
  }
  typedef ssize_t (*read_chk_fn)(int, void*, size_t, size_t);
  return REAL(__read_chk, read_chk_fn)(fd, buffer, count, buffer_size);
}

int usleep(useconds_t microseconds) {
  if (called_from_library(__builtin_return_address(0))) {
    atomic_fetch_add(&sleep_calls, 1);
  }
  typedef int (*usleep_fn)(useconds_t);
  return REAL(usleep, usleep_fn)(microseconds);
}
