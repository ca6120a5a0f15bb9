#include "dialer/forms/win32/call_queue.h"

#include <utility>

namespace forms::win32 {

bool CallQueue::Post(HWND target, std::function<void()> call) {
  if (target == nullptr) return false;
  std::lock_guard lock(mutex_);
  calls_.push_back(std::move(call));
  // Posted under the lock, so that the messages come in the order of the calls; PostMessage
  // never waits for the receiving thread.
  if (PostMessageW(target, message_, 0, 0)) return true;
  calls_.pop_back();
  return false;
}

void CallQueue::RunNext() {
  std::function<void()> call;
  {
    std::lock_guard lock(mutex_);
    if (calls_.empty()) return;
    call = std::move(calls_.front());
    calls_.pop_front();
  }
  call();
}

void CallQueue::Clear() {
  std::deque<std::function<void()>> dropped;
  std::lock_guard lock(mutex_);
  dropped.swap(calls_);
}

}  // namespace forms::win32
