#include "bench/heap_counter.h"

#include <errno.h>
#include <link.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <new>

// The C library's allocator under its own names: forwarding to these keeps
// the counting functions free of dlsym, which itself allocates.
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void __libc_free(void* block);
void* __libc_memalign(size_t alignment, size_t size);
void* __libc_valloc(size_t size);
void* __libc_pvalloc(size_t size);
}

namespace {

std::atomic<int64_t> process_calls{0};
std::atomic<int64_t> library_direct_calls{0};
std::atomic<int64_t> library_thread_calls{0};

// The library's mapping, found once before counting matters: looking the
// caller up with dladdr on every call would take the loader's lock inside
// malloc.
std::atomic<uintptr_t> library_begin{0};
std::atomic<uintptr_t> library_end{0};

thread_local bool in_library_call = false;

bool IsLibraryFile(const char* path) {
  const char* base = strrchr(path, '/');
  base = base ? base + 1 : path;
  static const char kName[] = "libtagport.so";
  const size_t name_length = sizeof kName - 1;
  return strncmp(base, kName, name_length) == 0 &&
         (base[name_length] == '\0' || base[name_length] == '.');
}

int FindLibrary(struct dl_phdr_info* object, size_t, void*) {
  if (object->dlpi_name == nullptr || !IsLibraryFile(object->dlpi_name)) {
    return 0;
  }
  uintptr_t begin = UINTPTR_MAX;
  uintptr_t end = 0;
  for (int k = 0; k < object->dlpi_phnum; ++k) {
    const ElfW(Phdr)& segment = object->dlpi_phdr[k];
    if (segment.p_type != PT_LOAD) continue;
    const uintptr_t start = object->dlpi_addr + segment.p_vaddr;
    if (start < begin) begin = start;
    if (start + segment.p_memsz > end) end = start + segment.p_memsz;
  }
  library_begin = begin;
  library_end = end;
  return 1;
}

inline void CountCall(const void* caller) {
  process_calls.fetch_add(1, std::memory_order_relaxed);
  if (tagport_bench::InLibrary(caller)) {
    library_direct_calls.fetch_add(1, std::memory_order_relaxed);
  }
  if (in_library_call) {
    library_thread_calls.fetch_add(1, std::memory_order_relaxed);
  }
}

bool ValidAlignment(size_t alignment) {
  return alignment != 0 && (alignment & (alignment - 1)) == 0 &&
         alignment % sizeof(void*) == 0;
}

void* NewOrThrow(size_t size) {
  void* block = __libc_malloc(size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

void* AlignedNewOrThrow(size_t size, std::align_val_t alignment) {
  void* block =
      __libc_memalign(static_cast<size_t>(alignment), size == 0 ? 1 : size);
  if (block == nullptr) throw std::bad_alloc();
  return block;
}

}  // namespace

// Every counting function takes its own return address: that is the code
// that asked for memory.
#define COUNT_CALL() CountCall(__builtin_return_address(0))

namespace tagport_bench {

bool LocateLibrary() {
  dl_iterate_phdr(FindLibrary, nullptr);
  return library_end.load() > library_begin.load();
}

bool InLibrary(const void* address) {
  const uintptr_t at = reinterpret_cast<uintptr_t>(address);
  return at >= library_begin.load(std::memory_order_relaxed) &&
         at < library_end.load(std::memory_order_relaxed);
}

HeapCounts ReadHeapCounts() {
  HeapCounts counts;
  counts.process = process_calls.load();
  counts.library_direct = library_direct_calls.load();
  counts.library_thread = library_thread_calls.load();
  return counts;
}

HeapCounts operator-(const HeapCounts& after, const HeapCounts& before) {
  HeapCounts difference;
  difference.process = after.process - before.process;
  difference.library_direct = after.library_direct - before.library_direct;
  difference.library_thread = after.library_thread - before.library_thread;
  return difference;
}

LibraryCallScope::LibraryCallScope() { in_library_call = true; }
LibraryCallScope::~LibraryCallScope() { in_library_call = false; }

}  // namespace tagport_bench

extern "C" {

__attribute__((noinline)) void* malloc(size_t size) noexcept {
  COUNT_CALL();
  return __libc_malloc(size);
}

__attribute__((noinline)) void* calloc(size_t count, size_t size) noexcept {
  COUNT_CALL();
  return __libc_calloc(count, size);
}

__attribute__((noinline)) void* realloc(void* block, size_t size) noexcept {
  COUNT_CALL();
  return __libc_realloc(block, size);
}

__attribute__((noinline)) void* reallocarray(void* block, size_t count,
                                             size_t size) noexcept {
  COUNT_CALL();
  size_t total;
  if (__builtin_mul_overflow(count, size, &total)) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_realloc(block, total);
}

__attribute__((noinline)) void free(void* block) noexcept {
  COUNT_CALL();
  __libc_free(block);
}

__attribute__((noinline)) int posix_memalign(void** out, size_t alignment,
                                             size_t size) noexcept {
  COUNT_CALL();
  if (!ValidAlignment(alignment)) return EINVAL;
  void* block = __libc_memalign(alignment, size);
  if (block == nullptr) return ENOMEM;
  *out = block;
  return 0;
}

__attribute__((noinline)) void* aligned_alloc(size_t alignment,
                                              size_t size) noexcept {
  COUNT_CALL();
  return __libc_memalign(alignment, size);
}

__attribute__((noinline)) void* memalign(size_t alignment,
                                         size_t size) noexcept {
  COUNT_CALL();
  return __libc_memalign(alignment, size);
}

__attribute__((noinline)) void* valloc(size_t size) noexcept {
  COUNT_CALL();
  return __libc_valloc(size);
}

__attribute__((noinline)) void* pvalloc(size_t size) noexcept {
  COUNT_CALL();
  return __libc_pvalloc(size);
}

}  // extern "C"

__attribute__((noinline)) void* operator new(size_t size) {
  COUNT_CALL();
  return NewOrThrow(size);
}

__attribute__((noinline)) void* operator new[](size_t size) {
  COUNT_CALL();
  return NewOrThrow(size);
}

__attribute__((noinline)) void* operator new(size_t size,
                                             const std::nothrow_t&) noexcept {
  COUNT_CALL();
  return __libc_malloc(size == 0 ? 1 : size);
}

__attribute__((noinline)) void* operator new[](size_t size,
                                               const std::nothrow_t&) noexcept {
  COUNT_CALL();
  return __libc_malloc(size == 0 ? 1 : size);
}

__attribute__((noinline)) void* operator new(size_t size,
                                             std::align_val_t alignment) {
  COUNT_CALL();
  return AlignedNewOrThrow(size, alignment);
}

__attribute__((noinline)) void* operator new[](size_t size,
                                               std::align_val_t alignment) {
  COUNT_CALL();
  return AlignedNewOrThrow(size, alignment);
}

__attribute__((noinline)) void operator delete(void* block) noexcept {
  COUNT_CALL();
  __libc_free(block);
}

__attribute__((noinline)) void operator delete[](void* block) noexcept {
  COUNT_CALL();
  __libc_free(block);
}

__attribute__((noinline)) void operator delete(void* block, size_t) noexcept {
  COUNT_CALL();
  __libc_free(block);
}

__attribute__((noinline)) void operator delete[](void* block, size_t) noexcept {
  COUNT_CALL();
  __libc_free(block);
}

__attribute__((noinline)) void operator delete(void* block,
                                               std::align_val_t) noexcept {
  COUNT_CALL();
  __libc_free(block);
}

__attribute__((noinline)) void operator delete[](void* block,
                                                 std::align_val_t) noexcept {
  COUNT_CALL();
  __libc_free(block);
}

__attribute__((noinline)) void operator delete(void* block, size_t,
                                               std::align_val_t) noexcept {
  COUNT_CALL();
  __libc_free(block);
}

__attribute__((noinline)) void operator delete[](void* block, size_t,
                                                 std::align_val_t) noexcept {
  COUNT_CALL();
  __libc_free(block);
}
