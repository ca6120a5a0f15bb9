#include "runtime/large_array.h"

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace runtime {

void LargeDeleter::operator()(void* p) const noexcept {
  if (alignment == std::align_val_t{}) {
    ::operator delete(p);
  } else {
    ::operator delete(p, alignment);
  }
}

void* AllocateLarge(size_t bytes, LargeDeleter& deleter) {
#if defined(__linux__)
  constexpr size_t kHugePage = size_t{2} << 20;
  if (bytes >= kHugePage && bytes <= std::numeric_limits<size_t>::max() - kHugePage) {
    const size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void* p = Allocating([&] { return ::operator new (rounded, std::align_val_t{kHugePage}); });
    deleter.alignment = std::align_val_t{kHugePage};
    // Only a hint: where huge pages are not offered, the pages stay small.
    madvise(p, rounded, MADV_HUGEPAGE);
    return p;
  }
#endif
  void* p = Allocating([&] { return ::operator new(bytes); });
  deleter.alignment = std::align_val_t{};
  return p;
}

}  // namespace runtime
