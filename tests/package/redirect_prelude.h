// Included ahead of the node redirect's source. With _GNU_SOURCE, musl's
// headers define open64, openat64 and friends as macros for the plain
// names, which would turn the redirect's own open64 into a second open.
// musl still exports the 64 names as symbols, so they stay redirectable.
#ifndef TAGPORT_TESTS_PACKAGE_REDIRECT_PRELUDE_H_
#define TAGPORT_TESTS_PACKAGE_REDIRECT_PRELUDE_H_

#define _GNU_SOURCE
#include <fcntl.h>

#undef open64
#undef openat64

#endif  // TAGPORT_TESTS_PACKAGE_REDIRECT_PRELUDE_H_
