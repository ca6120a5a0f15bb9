// What crosses from the sound side to the window side: a way to run a call on the window's thread,
// and the window's handle as the platform knows it. Both the sound devices and the form engine use
// them, so they belong to neither.
#pragma once

#include <functional>

namespace runtime {

// The platform's handle of a window (an HWND on Windows); opaque everywhere else.
using WindowHandle = void*;

// Queues a call onto the window's thread, to run between window events. Callable from any thread.
class Dispatcher {
 public:
  virtual void Post(std::function<void()> call) = 0;

 protected:
  ~Dispatcher() = default;
};

}  // namespace runtime
