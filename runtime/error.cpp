#include "runtime/error.h"

namespace runtime {

void RaiseOverflow() {
  throw Error(kOverflow, "Overflow");
}

void RaiseOutOfMemory() {
  throw Error(kOutOfMemory, "Out of memory");
}

}  // namespace runtime
