#include "tests/support/failing_allocator.h"

#include <atomic>
#include <cstdlib>
#include <new>

#if defined(_WIN32)
#include <malloc.h>
#endif

namespace {

std::atomic<int64_t> allocations_to_failure{0};
std::atomic<bool> failed{false};

}  // namespace

namespace testsupport {

void FailAllocation(int64_t n) {
  failed = false;
  allocations_to_failure = n;
}

bool AllocationFailed() {
  allocations_to_failure = 0;
  return failed;
}

}  // namespace testsupport

namespace {

// Counts an allocation; true for the one armed to fail.
bool FailsNow() {
  if (allocations_to_failure.load(std::memory_order_relaxed) > 0 &&
      allocations_to_failure.fetch_sub(1) == 1) {
    failed = true;
    return true;
  }
  return false;
}

// Windows' C runtime has no aligned_alloc; its aligned blocks go back through _aligned_free.
void* AlignedAlloc(std::size_t align, std::size_t size) {
#if defined(_WIN32)
  return _aligned_malloc(size, align);
#else
  return std::aligned_alloc(align, (size + align) / align * align);
#endif
}

void AlignedFree(void* p) {
#if defined(_WIN32)
  _aligned_free(p);
#else
  std::free(p);
#endif
}

}  // namespace

// The standard library's array forms call these (a sanitizer's runtime supplies its own new[]
// and delete[], a pair from its own heap). Its no-throw forms are replaced below: the runtime's
// would come from that heap, which free() here must not be given.
void* operator new(std::size_t size) {
  if (FailsNow()) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void* operator new(std::size_t size, std::align_val_t alignment) {
  if (FailsNow()) throw std::bad_alloc();
  if (void* p = AlignedAlloc(static_cast<std::size_t>(alignment), size)) return p;
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept {
  std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

void operator delete(void* p, std::align_val_t) noexcept {
  AlignedFree(p);
}

void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  AlignedFree(p);
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
  try {
    return operator new(size, alignment);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}

void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  AlignedFree(p);
}
