// An allocator that fails on demand: the test program's operator new, which, once armed with n,
// throws std::bad_alloc at the n-th allocation from then on, once (on any thread).
#pragma once

#include <cstdint>

namespace testsupport {

void FailAllocation(int64_t n);
// Whether the armed allocation came and failed; disarms.
bool AllocationFailed();

}  // namespace testsupport
