#include "audio/virtual/virtual_device.h"

#include <algorithm>
#include <cstring>

namespace audio {

VirtualSoundDevice::VirtualSoundDevice(runtime::Dispatcher& dispatcher) : dispatcher_(dispatcher) {}

VirtualSoundDevice::~VirtualSoundDevice() = default;

void VirtualSoundDevice::SetCooperativeLevel(runtime::WindowHandle, int32_t level) {
  cooperative_level_ = level;
}

EventHandle VirtualSoundDevice::CreateEvent(EventSink& sink) {
  return events_.Add(sink);
}

std::unique_ptr<SoundBuffer> VirtualSoundDevice::CreateSoundBuffer(const BufferDesc& desc) {
  auto buffer = std::make_unique<VirtualBuffer>(*this, desc);
  ++buffers_created_;
  return buffer;
}

void VirtualSoundDevice::Lose() {
  for (VirtualBuffer* b : buffers_) b->playing_ = false;
  loss_.Raise();
}

const VirtualBuffer* VirtualSoundDevice::LastBuffer() const {
  return buffers_.empty() ? nullptr : buffers_.back();
}

bool VirtualSoundDevice::Playing() const {
  return std::any_of(buffers_.begin(), buffers_.end(), [](auto* b) { return b->playing_; });
}

int64_t VirtualSoundDevice::NextNotification() const {
  int64_t next = kNever;
  for (const VirtualBuffer* b : buffers_) {
    if (b->playing_ && !b->notifications_.empty()) {
      next = std::min(next, now_ + b->SamplesToNextStop());
    }
  }
  return next;
}

void VirtualSoundDevice::AdvanceTo(int64_t time) {
  while (now_ < time) {
    int64_t run = time - now_;
    bool any = false;
    for (const VirtualBuffer* b : buffers_) {
      if (!b->playing_) continue;
      any = true;
      run = std::min(run, b->SamplesToNextStop());
    }
    if (!any) {
      now_ = time;
      return;
    }
    for (int64_t i = 0; i < run; ++i) {
      int32_t mixed = 0;
      for (const VirtualBuffer* b : buffers_) {
        if (b->playing_) mixed += ApplyGain(b->SampleAtPosition(), b->gain_);
      }
      recording_.push_back(static_cast<int16_t>(std::clamp(mixed, -32768, 32767)));
      // Step after mixing so that every buffer contributes the same sample instant. Stepping
      // only posts notifications, so the list of buffers stays as it is.
      for (VirtualBuffer* b : buffers_) {
        if (b->playing_) b->Step();
      }
      ++now_;
    }
  }
}

VirtualBuffer::VirtualBuffer(VirtualSoundDevice& device, const BufferDesc& desc)
    : ContractBuffer(desc, device.events_), device_(device), desc_(desc), bytes_(Bytes(), 0) {
  device_.buffers_.push_back(this);
}

VirtualBuffer::~VirtualBuffer() {
  auto& all = device_.buffers_;
  all.erase(std::remove(all.begin(), all.end(), this), all.end());
}

void VirtualBuffer::ApplyNotifications(std::vector<Notification> notifications) {
  notifications_ = std::move(notifications);
}

void VirtualBuffer::ApplyVolume(int32_t volume) {
  volume_ = volume;
  gain_ = VolumeGain(volume);
}

void VirtualBuffer::Write(int32_t start, int32_t size, const void* source) {
  std::memcpy(bytes_.data() + start, source, static_cast<size_t>(size));
}

void VirtualBuffer::Start(bool looping) {
  playing_ = true;
  looping_ = looping;
}

void VirtualBuffer::Clear() {
  position_ = 0;
  volume_ = 0;
  gain_ = 1.0;
  std::fill(bytes_.begin(), bytes_.end(), 0);
}

int64_t VirtualBuffer::SamplesToNextStop() const {
  const int64_t size = static_cast<int64_t>(bytes_.size());
  int64_t bytes_ahead = looping_ ? size : size - position_;
  for (const Notification& n : notifications_) {
    // An offset fires on the step that moves the position onto or past it (ForEachPassed).
    const int64_t target = n.offset == 0 ? size : n.offset;
    int64_t d = target - position_;
    if (d <= 0) d += size;
    bytes_ahead = std::min(bytes_ahead, d);
  }
  return (bytes_ahead + 1) / 2;
}

int16_t VirtualBuffer::SampleAtPosition() const {
  return static_cast<int16_t>(bytes_[position_] | (bytes_[position_ + 1] << 8));
}

void VirtualBuffer::Step() {
  const int32_t from = position_;
  const int32_t size = Bytes();
  int32_t to = from + 2;
  ForEachPassed(notifications_, size, from, to, [this](const Notification& n) {
    device_.dispatcher_.Post([passed = Passed(n)] { passed.Deliver(); });
  });
  if (to >= size) {
    to = 0;
    if (!looping_) playing_ = false;
  }
  position_ = to;
}

}  // namespace audio
