// Storage for large arrays, not initialised. Where the system offers them (Linux with transparent
// huge pages), an array of 2 MB or more lies in 2 MB pages, so that its first writing takes one
// page fault per 2 MB instead of one per 4 KB: a dozen for a 22.5 MB tone bank instead of 5500.
#pragma once

#include <cstddef>
#include <limits>
#include <memory>
#include <new>

#include "runtime/error.h"

namespace runtime {

// Frees what AllocateLarge returned, with the alignment it was allocated with (0: none asked).
struct LargeDeleter {
  std::align_val_t alignment{};
  void operator()(void* p) const noexcept;
};

// Raises the out-of-memory error; sets the deleter that frees the result.
void* AllocateLarge(size_t bytes, LargeDeleter& deleter);

template <typename T>
using LargeArray = std::unique_ptr<T[], LargeDeleter>;

template <typename T>
LargeArray<T> MakeLargeArray(size_t n) {
  if (n > std::numeric_limits<size_t>::max() / sizeof(T)) RaiseOutOfMemory();
  LargeDeleter deleter;
  void* p = AllocateLarge(n * sizeof(T), deleter);
  return LargeArray<T>(static_cast<T*>(p), deleter);
}

}  // namespace runtime
