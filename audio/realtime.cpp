#include "audio/realtime.h"

#include <sched.h>

#include <algorithm>
#include <exception>

namespace audio {

PriorityInheritingMutex::PriorityInheritingMutex() {
  pthread_mutexattr_t attr;
  pthread_mutexattr_init(&attr);
  // Where the system has no priority inheritance this is a plain mutex.
  pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
  pthread_mutex_init(&mutex_, &attr);
  pthread_mutexattr_destroy(&attr);
}

PriorityInheritingMutex::~PriorityInheritingMutex() {
  pthread_mutex_destroy(&mutex_);
}

// Locking a valid mutex that the caller does not hold cannot fail; carrying on unlocked could.
void PriorityInheritingMutex::lock() {
  if (pthread_mutex_lock(&mutex_) != 0) std::terminate();
}

void PriorityInheritingMutex::unlock() {
  pthread_mutex_unlock(&mutex_);
}

void RaiseToRealTime() {
  sched_param param{};
  param.sched_priority = std::min(5, sched_get_priority_max(SCHED_RR));
  pthread_setschedparam(pthread_self(), SCHED_RR, &param);
}

}  // namespace audio
