// What a device's audio thread needs of the system to keep time on a busy machine: a lock whose
// holder runs at the waiter's priority, and real-time scheduling for the thread itself.
#pragma once

#include <pthread.h>

namespace audio {

// The one short lock between the window thread and an audio thread. While a real-time audio
// thread waits for it, its holder runs at the waiter's priority: without that, a busy machine
// could set the window thread aside in the middle of a copy and hold the audio thread up with it.
class PriorityInheritingMutex {
 public:
  PriorityInheritingMutex();
  ~PriorityInheritingMutex();
  PriorityInheritingMutex(const PriorityInheritingMutex&) = delete;
  PriorityInheritingMutex& operator=(const PriorityInheritingMutex&) = delete;
  void lock();
  void unlock();

 private:
  pthread_mutex_t mutex_;
};

// Asks for real-time scheduling for the calling thread. Measured here: with the audio thread at
// a raised normal priority, busy programs in other sessions delayed it into audible gaps;
// real-time it held. Where the system refuses, the thread keeps the priority it had.
void RaiseToRealTime();

}  // namespace audio
