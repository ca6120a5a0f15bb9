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
//
// Every write into a playing buffer (the window's refill of the half that plays next) is held
// against the play and write cursors; the device reports its counts on OutputDebugString when it
// closes, as a Windows program's diagnostics go, so a recording with a hole can be told from a
// refill that came too late.
#pragma once

#include <cstdint>
#include <limits>
#include <memory>

#include "audio/device.h"

namespace audio {

struct RefillStats {
  int64_t refills = 0;
  // Refills into a half that the play cursor had already entered: what was there before was heard.
  int64_t late = 0;
  // How far ahead of the write cursor the closest refill began, in milliseconds: DirectSound may
  // already have taken the bytes between the play and the write cursor. Negative when the write
  // cursor had passed into the half; infinite before the first refill.
  double closest_ms = std::numeric_limits<double>::infinity();
  // The longest a refill took after the device's thread saw its notification signalled, in
  // milliseconds: this program's share of a late refill; the rest is DirectSound's signal coming
  // late.
  double slowest_ms = 0;
};

// Opens the default output device; raises runtime::Error when there is none. The dispatcher
// must outlive the device, and every buffer must be released before the device.
std::unique_ptr<SoundDevice> OpenDirectSound(runtime::Dispatcher& dispatcher);

// The refills of every buffer of `device`, which OpenDirectSound made; on the window's thread.
RefillStats Refills(const SoundDevice& device);

}  // namespace audio
