// A dispatcher for programs without a window: posted calls queue up from any thread and run one
// at a time on the thread that drives RunUntil, as a window's message loop would run them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>

#include "runtime/dispatcher.h"

namespace testsupport {

class MainThreadDispatcher final : public runtime::Dispatcher {
 public:
  void Post(std::function<void()> call) override {
    {
      std::lock_guard lock(mutex_);
      queue_.push_back(std::move(call));
    }
    ready_.notify_one();
  }

  // Runs posted calls until done() holds (checked after each call) or the deadline passes.
  // Returns done().
  template <typename Done>
  bool RunUntil(Done done, std::chrono::steady_clock::time_point deadline) {
    while (!done()) {
      std::function<void()> call;
      {
        std::unique_lock lock(mutex_);
        if (!ready_.wait_until(lock, deadline, [this] { return !queue_.empty(); })) return false;
        call = std::move(queue_.front());
        queue_.pop_front();
      }
      call();
    }
    return true;
  }

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::function<void()>> queue_;
};

}  // namespace testsupport
