// The one error type of the dialer: a number and a description, raised by a failing step and
// passed up unchanged until an event handler's caller reports it.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace runtime {

// Error numbers of the language services; platform failures carry the platform's own status.
enum ErrorNumber : int32_t {
  kInvalidCall = 5,
  kOverflow = 6,
  kOutOfMemory = 7,
  kPathFileAccess = 75,
  kDeviceUnavailable = 68,
};

class Error : public std::runtime_error {
 public:
  Error(int32_t number, const std::string& description)
      : std::runtime_error(description), number_(number) {}

  int32_t number() const { return number_; }
  std::string description() const { return what(); }

 private:
  int32_t number_;
};

[[noreturn]] void RaiseOverflow();
[[noreturn]] void RaiseOutOfMemory();

// Runs an allocation and turns std::bad_alloc into the out-of-memory error.
template <typename F>
auto Allocating(F&& allocate) -> decltype(allocate()) {
  try {
    return allocate();
  } catch (const std::bad_alloc&) {
    RaiseOutOfMemory();
  } catch (const std::length_error&) {
    RaiseOutOfMemory();
  }
}

}  // namespace runtime
