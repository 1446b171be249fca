// Counts heap calls (malloc family and operator new/delete) made in this
// process, and those of them that libtagport.so makes. The counting
// functions are defined in the benchmark binary, so they take the place of
// the C library's for every object in the process.
#ifndef TAGPORT_BENCH_HEAP_COUNTER_H_
#define TAGPORT_BENCH_HEAP_COUNTER_H_

#include <stdint.h>

namespace tagport_bench {

// 64-bit: `long` is 32 bits on 32-bit ARM, too few for a long run's calls.
struct HeapCounts {
  int64_t process = 0;         // every thread, every caller
  int64_t library_direct = 0;  // called from code inside libtagport.so
  int64_t library_thread = 0;  // on a thread while it runs a library call
};

// Finds where libtagport.so is mapped. False when it is not loaded.
bool LocateLibrary();

// True when `address` lies in libtagport.so's mapping.
bool InLibrary(const void* address);

HeapCounts ReadHeapCounts();
HeapCounts operator-(const HeapCounts& after, const HeapCounts& before);

// Marks the current thread as running library calls while alive, so that
// heap calls the C library makes on the library's behalf count too.
class LibraryCallScope {
 public:
  LibraryCallScope();
  ~LibraryCallScope();
  LibraryCallScope(const LibraryCallScope&) = delete;
  LibraryCallScope& operator=(const LibraryCallScope&) = delete;
};

}  // namespace tagport_bench

#endif  // TAGPORT_BENCH_HEAP_COUNTER_H_
