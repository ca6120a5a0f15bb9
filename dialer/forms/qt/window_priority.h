// The window's thread writes each half of the sound buffer within 30 ms of the notification for
// it, even on a busy machine, so it asks for the raised priority sound servers give their clients'
// main threads (niceness -11): from the system where the user may raise it (the superuser, a
// raised RLIMIT_NICE), else from the desktop's RealtimeKit, which PipeWire and PulseAudio ask too.
#pragma once

namespace forms::qt {

// For the calling thread; false where neither grants it (the thread then runs as it did).
bool RaiseWindowThread();

}  // namespace forms::qt
