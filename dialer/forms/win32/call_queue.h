// Calls from any thread waiting for the window's thread. The queue owns them and each posted
// message only says that the next one is due: DestroyWindow flushes the messages posted to the
// window, and the calls of messages flushed so are freed with the queue, not lost with their
// message. For the Win32 binding's own files.
#pragma once

#include <deque>
#include <functional>
#include <mutex>

#include "runtime/win32.h"

namespace forms::win32 {

class CallQueue {
 public:
  // `message`: the window message that says a call is due; its window procedure calls RunNext.
  explicit CallQueue(UINT message) : message_(message) {}

  // From any thread: queues `call` to run on `target`'s thread, between its other messages; false
  // (and the call dropped) when there is no window or its queue takes no more.
  bool Post(HWND target, std::function<void()> call);
  // On the window's thread, for one message: runs the oldest call.
  void RunNext();
  // Drops the calls still waiting; they are freed outside the lock.
  void Clear();

 private:
  const UINT message_;
  std::mutex mutex_;
  std::deque<std::function<void()>> calls_;
};

}  // namespace forms::win32
