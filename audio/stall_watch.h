// A watchdog for a device whose output runs on a thread it does not control (a sound server's,
// SDL's): the device learns of a server that went away or hung.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "audio/buffer_contract.h"
#include "audio/loop_mixer.h"

namespace audio {

// A watchdog thread: looks every 20 ms and raises the loss once `gone` says the output went away,
// or once a buffer plays but the mixer has not rendered for kHangAfter or two half-buffers of it,
// whichever is longer (a hung sound server). A busy machine keeps a sound server from asking for
// far longer than two short halves (80 ms at the default tone time): that is heard as a hole, and
// the stream goes on.
class StallWatch {
 public:
  static constexpr std::chrono::milliseconds kHangAfter{2000};

  StallWatch(const LoopMixer& mixer, LossReport& loss, std::function<bool()> gone);
  ~StallWatch();
  StallWatch(const StallWatch&) = delete;
  StallWatch& operator=(const StallWatch&) = delete;

 private:
  void Run();

  const LoopMixer& mixer_;
  LossReport& loss_;
  const std::function<bool()> gone_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool quit_ = false;  // under mutex_
  std::thread thread_;
};

}  // namespace audio
