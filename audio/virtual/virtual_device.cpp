#include "audio/virtual/virtual_device.h"

#include <algorithm>

namespace audio {
namespace {

// A render's length at most: a long run without notifications goes in pieces.
constexpr int64_t kMaxRun = 1 << 20;

}  // namespace

VirtualSoundDevice::VirtualSoundDevice(runtime::Dispatcher& dispatcher)
    : mixer_(dispatcher), loss_(dispatcher) {}

VirtualSoundDevice::~VirtualSoundDevice() = default;

void VirtualSoundDevice::SetCooperativeLevel(runtime::WindowHandle, int32_t level) {
  cooperative_level_ = level;
}

EventHandle VirtualSoundDevice::CreateEvent(EventSink& sink) {
  return events_.Add(sink);
}

std::unique_ptr<SoundBuffer> VirtualSoundDevice::CreateSoundBuffer(const BufferDesc& desc) {
  auto buffer = mixer_.CreateBuffer(desc, events_);
  ++buffers_created_;
  return buffer;
}

void VirtualSoundDevice::Lose() {
  mixer_.HaltAll();
  loss_.Raise();
}

const LoopBuffer* VirtualSoundDevice::LastBuffer() const {
  return mixer_.Newest();
}

int64_t VirtualSoundDevice::NextNotification() const {
  const int64_t ahead = mixer_.SamplesToNextStop(true);
  return ahead == kNever ? kNever : now_ + ahead;
}

void VirtualSoundDevice::AdvanceTo(int64_t time) {
  while (now_ < time) {
    // Up to the next notification or end of a one-shot play: within a run the buffers that play
    // stay playing, and the notifications passed are posted at its last sample.
    const int64_t ahead = mixer_.SamplesToNextStop(false);
    if (ahead == kNever) {
      now_ = time;
      return;
    }
    const int64_t run = std::min({time - now_, ahead, kMaxRun});
    const size_t at = recording_.size();
    recording_.resize(at + static_cast<size_t>(run));
    mixer_.Render(recording_.data() + at, static_cast<int>(run));
    now_ += run;
  }
}

std::unique_ptr<VirtualSoundDevice> OpenVirtualDevice(runtime::Dispatcher& dispatcher,
                                                      runtime::ClockDriver& driver) {
  auto device = std::make_unique<VirtualSoundDevice>(dispatcher);
  driver.Drive(*device, device->Life());
  return device;
}

}  // namespace audio
