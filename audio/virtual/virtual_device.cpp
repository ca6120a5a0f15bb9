#include "audio/virtual/virtual_device.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "runtime/error.h"

namespace audio {
namespace {

[[noreturn]] void InvalidCall(const std::string& what) {
  throw runtime::Error(runtime::kInvalidCall, "Sound buffer: " + what);
}

}  // namespace

VirtualSoundDevice::VirtualSoundDevice(runtime::Dispatcher& dispatcher) : dispatcher_(dispatcher) {}

VirtualSoundDevice::~VirtualSoundDevice() = default;

void VirtualSoundDevice::SetCooperativeLevel(runtime::WindowHandle, int32_t level) {
  cooperative_level_ = level;
}

EventHandle VirtualSoundDevice::CreateEvent(EventSink& sink) {
  sinks_.push_back(&sink);
  return static_cast<EventHandle>(sinks_.size());
}

std::unique_ptr<SoundBuffer> VirtualSoundDevice::CreateSoundBuffer(const BufferDesc& desc) {
  const WaveFormat& f = desc.format;
  if (f.format_tag != 1 || f.channels != 1 || f.bits_per_sample != 16 || f.block_align != 2) {
    InvalidCall("only 16-bit mono PCM is supported");
  }
  if (desc.buffer_bytes == 0 || desc.buffer_bytes % 2 != 0 || desc.buffer_bytes > (1u << 30)) {
    InvalidCall("invalid buffer size " + std::to_string(desc.buffer_bytes));
  }
  ++buffers_created_;
  return std::make_unique<VirtualBuffer>(*this, desc);
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

void VirtualSoundDevice::Signal(const VirtualBuffer& buffer, EventHandle event) {
  if (event < 1 || event > static_cast<EventHandle>(sinks_.size())) return;
  EventSink* sink = sinks_[event - 1];
  std::weak_ptr<uint64_t> generation = buffer.generation_;
  const uint64_t current = *buffer.generation_;
  dispatcher_.Post([generation, current, sink, event] {
    const auto alive = generation.lock();
    if (alive && *alive == current) sink->DXCallBack(event);
  });
}

VirtualBuffer::VirtualBuffer(VirtualSoundDevice& device, const BufferDesc& desc)
    : device_(device), desc_(desc), bytes_(desc.buffer_bytes, 0) {
  device_.buffers_.push_back(this);
}

VirtualBuffer::~VirtualBuffer() {
  auto& all = device_.buffers_;
  all.erase(std::remove(all.begin(), all.end(), this), all.end());
}

void VirtualBuffer::SetNotificationPositions(std::span<const PositionNotify> positions) {
  if (playing_) InvalidCall("notifications cannot change while playing");
  for (const PositionNotify& p : positions) {
    if (p.offset < 0 || static_cast<uint32_t>(p.offset) >= desc_.buffer_bytes) {
      InvalidCall("notification offset " + std::to_string(p.offset) + " outside the buffer");
    }
  }
  notifications_.assign(positions.begin(), positions.end());
}

void VirtualBuffer::SetVolume(int32_t volume) {
  if (volume > 0 || volume < kVolumeMin) InvalidCall("volume " + std::to_string(volume));
  volume_ = volume;
  gain_ = VolumeGain(volume);
}

void VirtualBuffer::WriteBuffer(int32_t start, int32_t size, const void* source) {
  if (start < 0 || size < 0 || static_cast<uint64_t>(start) + size > bytes_.size()) {
    InvalidCall("write of " + std::to_string(size) + " bytes at " + std::to_string(start));
  }
  std::memcpy(bytes_.data() + start, source, static_cast<size_t>(size));
}

void VirtualBuffer::Play(uint32_t flags) {
  playing_ = true;
  looping_ = (flags & kPlayLooping) != 0;
}

void VirtualBuffer::Stop() {
  playing_ = false;
  ++*generation_;
}

void VirtualBuffer::Renew() {
  Stop();
  position_ = 0;
  volume_ = 0;
  gain_ = 1.0;
  std::fill(bytes_.begin(), bytes_.end(), 0);
}

int64_t VirtualBuffer::SamplesToNextStop() const {
  const int64_t size = static_cast<int64_t>(bytes_.size());
  int64_t bytes_ahead = looping_ ? size : size - position_;
  for (const PositionNotify& n : notifications_) {
    // An offset fires on the step that moves the position onto or past it.
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
  const int32_t size = static_cast<int32_t>(bytes_.size());
  int32_t to = from + 2;
  for (const PositionNotify& n : notifications_) {
    const int32_t target = n.offset == 0 ? size : n.offset;
    if (from < target && target <= to) device_.Signal(*this, n.event);
  }
  if (to >= size) {
    to = 0;
    if (!looping_) playing_ = false;
  }
  position_ = to;
}

}  // namespace audio
