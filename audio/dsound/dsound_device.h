// The sound device on DirectSound (Windows, 32-bit and 64-bit): the default output device,
// secondary buffers with volume control and position notification, written through Lock and Unlock.
//
// Every notification position gets a manual-reset event of its own. A watcher thread waits on
// them and, when one is signalled, asks the window's thread (through the dispatcher) to look;
// the window's thread tests and resets the events and delivers each one as a posted call. Only
// the window's thread ever resets an event, and Stop and Renew reset them too, so a signal from
// before a Stop can never reach the sink after it.
//
// A buffer whose memory the device took back (DSERR_BUFFERLOST) is restored and the call made
// again; a Play or Lock that fails even so means the device is gone, and is reported as lost.
#pragma once

#include <memory>

#include "audio/device.h"

namespace audio {

// Opens the default output device; raises runtime::Error when there is none. The dispatcher
// must outlive the device, and every buffer must be released before the device.
std::unique_ptr<SoundDevice> OpenDirectSound(runtime::Dispatcher& dispatcher);

}  // namespace audio
