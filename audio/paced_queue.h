// Between the mixer and an output that takes its samples a period at a time (SDL's callback,
// PipeWire's graph): a pacing thread mixes the playing buffers a few milliseconds at a time into a
// queue kept `depth` samples deep, and the output takes what it wants from the queue's front. So
// the play position moves on at most half again as fast as real time, however large or uneven
// the output's periods (a graph may ask for two at once), and a notification still comes at least
// 20 ms before its half plays: the window's lead does not depend on the output. A tone that
// starts from silence replaces the silence queued, so the queue costs no latency at a key.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/loop_mixer.h"
#include "audio/realtime.h"

namespace audio {

class PacedQueue {
 public:
  // The mixer must outlive the queue; the queue starts full (of what the mixer plays), and can be
  // kept up to `most` samples deep (SetDepth).
  PacedQueue(LoopMixer& mixer, int64_t depth, int64_t most);
  PacedQueue(LoopMixer& mixer, int64_t depth) : PacedQueue(mixer, depth, depth) {}
  ~PacedQueue();
  PacedQueue(const PacedQueue&) = delete;
  PacedQueue& operator=(const PacedQueue&) = delete;

  // Starts the pacing thread.
  void Start();
  // Moves the next `frames` samples into out, zeros where the queue runs short; returns how many
  // were short. From the output's thread.
  size_t Take(int16_t* out, size_t frames);
  // Replaces the queued silence with what now plays: a mixer's start from silence. On the thread
  // that started the buffer. Returns false when there was none to replace.
  bool BringForward();
  // The depth kept from now on, at most `most`: a deeper queue fills over the next steps, a
  // shallower one drains to it as the output takes. From any thread.
  void SetDepth(int64_t depth);

 private:
  void Pace();
  // Mixes `frames` onto the queue's end; with mutex_ held.
  void MixOnto(int64_t frames);

  LoopMixer& mixer_;
  const int64_t most_;
  mutable PriorityInheritingMutex mutex_;
  int64_t depth_;
  std::vector<int16_t> ring_;
  size_t read_ = 0;
  size_t queued_ = 0;
  int64_t idle_tail_ = 0;  // samples at the queue's end that no buffer played
  std::vector<int16_t> mixed_;

  std::mutex pace_mutex_;
  std::condition_variable pace_wake_;
  bool quit_ = false;  // under pace_mutex_
  std::thread pacer_;
};

}  // namespace audio
