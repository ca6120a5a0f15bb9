#include "audio/buffer_contract.h"

#include <string>

#include "runtime/error.h"

namespace audio {
namespace {

int32_t CheckedSize(const BufferDesc& desc) {
  const WaveFormat& f = desc.format;
  if (f.format_tag != 1 || f.channels != 1 || f.bits_per_sample != 16 || f.block_align != 2 ||
      f.samples_per_sec != synth::kSampleRate) {
    InvalidBufferCall("only 16-bit mono PCM at 11025 samples per second is supported");
  }
  if (desc.buffer_bytes == 0 || desc.buffer_bytes % 2 != 0 || desc.buffer_bytes > kMaxBufferBytes) {
    InvalidBufferCall("invalid buffer size " + std::to_string(desc.buffer_bytes));
  }
  return static_cast<int32_t>(desc.buffer_bytes);
}

}  // namespace

void InvalidBufferCall(const std::string& what) {
  throw runtime::Error(runtime::kInvalidCall, "Sound buffer: " + what);
}

EventHandle EventTable::Add(EventSink& sink) {
  sinks_.push_back(&sink);
  return static_cast<EventHandle>(sinks_.size());
}

EventSink* EventTable::Find(EventHandle event) const {
  if (event < 1 || event > Count()) return nullptr;
  return sinks_[static_cast<size_t>(event - 1)];
}

void LossReport::Raise() {
  if (raised_.exchange(true)) return;
  dispatcher_.Post([weak = std::weak_ptr(lost_)] {
    // Held for the call: the report may end the device that made it.
    const auto lost = weak.lock();
    if (lost && *lost) (*lost)();
  });
}

void PassedNotification::Deliver() const {
  const auto generation = generation_.lock();
  if (generation && *generation == issued_) sink_->DXCallBack(event_);
}

ContractBuffer::ContractBuffer(const BufferDesc& desc, const EventTable& events)
    : events_(events), bytes_(CheckedSize(desc)) {}

PassedNotification ContractBuffer::Passed(const Notification& notification) const {
  PassedNotification passed;
  passed.generation_ = generation_;
  passed.issued_ = generation_->load();
  passed.sink_ = notification.sink;
  passed.event_ = notification.event;
  return passed;
}

void ContractBuffer::SetNotificationPositions(std::span<const PositionNotify> positions) {
  if (Playing()) InvalidBufferCall("notifications cannot change while playing");
  std::vector<Notification> notifications;
  notifications.reserve(positions.size());
  for (const PositionNotify& p : positions) {
    if (p.offset < 0 || p.offset >= bytes_) {
      InvalidBufferCall("notification offset " + std::to_string(p.offset) + " outside the buffer");
    }
    EventSink* sink = events_.Find(p.event);
    if (sink == nullptr) {
      InvalidBufferCall("notification event " + std::to_string(p.event) + " was not created");
    }
    notifications.push_back({p.offset, p.event, sink});
  }
  ApplyNotifications(std::move(notifications));
}

void ContractBuffer::SetVolume(int32_t volume) {
  if (volume > 0 || volume < kVolumeMin) InvalidBufferCall("volume " + std::to_string(volume));
  ApplyVolume(volume);
}

void ContractBuffer::WriteBuffer(int32_t start, int32_t size, const void* source) {
  if (start < 0 || size < 0 || static_cast<int64_t>(start) + size > bytes_) {
    InvalidBufferCall("write of " + std::to_string(size) + " bytes at " + std::to_string(start));
  }
  if (size > 0) Write(start, size, source);
}

void ContractBuffer::Play(uint32_t flags) {
  Start((flags & kPlayLooping) != 0);
}

void ContractBuffer::Stop() {
  Halt();
  ++*generation_;
}

void ContractBuffer::Renew() {
  Stop();
  Clear();
}

}  // namespace audio
