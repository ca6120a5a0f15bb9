#include "audio/loop_mixer.h"

#include <algorithm>
#include <cstring>

namespace audio {

LoopMixer::LoopMixer(runtime::Dispatcher& dispatcher, std::function<void()> started)
    : dispatcher_(dispatcher), started_(std::move(started)) {}

std::unique_ptr<LoopBuffer> LoopMixer::CreateBuffer(const BufferDesc& desc,
                                                    const EventTable& events) {
  return std::make_unique<LoopBuffer>(*this, desc, events);
}

int LoopMixer::Render(int16_t* out, int frames) {
  due_.clear();
  int played = 0;
  {
    std::lock_guard lock(mutex_);
    sum_.assign(static_cast<size_t>(frames), 0);
    for (LoopBuffer* b : buffers_) played = std::max(played, b->MixInto(sum_.data(), frames));
    ++stats_.renders;
    stats_.frames += frames;
  }
  for (int i = 0; i < frames; ++i)
    out[i] = static_cast<int16_t>(std::clamp(sum_[i], -32768, 32767));
  // Posted outside the lock so that the dispatcher's own lock is never taken inside ours.
  for (PassedNotification& passed : due_) {
    dispatcher_.Post([passed = std::move(passed)] { passed.Deliver(); });
  }
  return frames - played;
}

int64_t LoopMixer::SamplesToNextStop(bool notifying_only) const {
  std::lock_guard lock(mutex_);
  int64_t next = kNever;
  for (const LoopBuffer* b : buffers_) {
    if (b->playing_ && (!notifying_only || !b->notifications_.empty())) {
      next = std::min(next, b->SamplesToNextStop());
    }
  }
  return next;
}

bool LoopMixer::PlayingLocked() const {
  return std::any_of(buffers_.begin(), buffers_.end(), [](auto* b) { return b->playing_; });
}

bool LoopMixer::Playing() const {
  std::lock_guard lock(mutex_);
  return PlayingLocked();
}

int32_t LoopMixer::PlayingBytes() const {
  std::lock_guard lock(mutex_);
  int32_t bytes = 0;
  for (const LoopBuffer* b : buffers_) {
    if (b->playing_) bytes = std::max(bytes, b->Bytes());
  }
  return bytes;
}

const LoopBuffer* LoopMixer::Newest() const {
  std::lock_guard lock(mutex_);
  return buffers_.empty() ? nullptr : buffers_.back();
}

void LoopMixer::HaltAll() {
  std::lock_guard lock(mutex_);
  for (LoopBuffer* b : buffers_) b->playing_ = false;
}

MixStats LoopMixer::Stats() const {
  std::lock_guard lock(mutex_);
  return stats_;
}

LoopBuffer::LoopBuffer(LoopMixer& mixer, const BufferDesc& desc, const EventTable& events)
    : ContractBuffer(desc, events),
      mixer_(mixer),
      desc_(desc),
      bytes_(static_cast<size_t>(Bytes()), 0),
      fresh_(static_cast<size_t>(Bytes()) / 2, 0) {
  std::lock_guard lock(mixer_.mutex_);
  mixer_.buffers_.push_back(this);
}

LoopBuffer::~LoopBuffer() {
  std::lock_guard lock(mixer_.mutex_);
  auto& all = mixer_.buffers_;
  all.erase(std::remove(all.begin(), all.end(), this), all.end());
}

bool LoopBuffer::playing() const {
  std::lock_guard lock(mixer_.mutex_);
  return playing_;
}

int32_t LoopBuffer::position() const {
  std::lock_guard lock(mixer_.mutex_);
  return position_;
}

int32_t LoopBuffer::volume() const {
  std::lock_guard lock(mixer_.mutex_);
  return volume_;
}

std::vector<Notification> LoopBuffer::notifications() const {
  std::lock_guard lock(mixer_.mutex_);
  return notifications_;
}

std::vector<uint8_t> LoopBuffer::bytes() const {
  std::lock_guard lock(mixer_.mutex_);
  return bytes_;
}

void LoopBuffer::ApplyNotifications(std::vector<Notification> notifications) {
  std::lock_guard lock(mixer_.mutex_);
  notifications_.swap(notifications);
}

void LoopBuffer::ApplyVolume(int32_t volume) {
  const double gain = VolumeGain(volume);
  std::lock_guard lock(mixer_.mutex_);
  volume_ = volume;
  gain_ = gain;
}

void LoopBuffer::Write(int32_t start, int32_t size, const void* source) {
  std::lock_guard lock(mixer_.mutex_);
  std::memcpy(bytes_.data() + start, source, static_cast<size_t>(size));
  std::fill(fresh_.begin() + start / 2, fresh_.begin() + (start + size + 1) / 2, 1);
}

void LoopBuffer::Start(bool looping) {
  bool from_silence = false;
  {
    std::lock_guard lock(mixer_.mutex_);
    from_silence = !mixer_.PlayingLocked();
    playing_ = true;
    looping_ = looping;
    in_stale_ = false;
  }
  if (from_silence && mixer_.started_) mixer_.started_();
}

void LoopBuffer::Halt() {
  std::lock_guard lock(mixer_.mutex_);
  playing_ = false;
}

void LoopBuffer::Clear() {
  std::lock_guard lock(mixer_.mutex_);
  position_ = 0;
  volume_ = 0;
  gain_ = 1.0;
  std::fill(bytes_.begin(), bytes_.end(), 0);
  std::fill(fresh_.begin(), fresh_.end(), 0);
}

int LoopBuffer::MixInto(int32_t* sum, int frames) {
  const int32_t size = Bytes();
  int i = 0;
  for (; i < frames && playing_; ++i) {
    uint8_t& fresh = fresh_[static_cast<size_t>(position_ / 2)];
    if (!fresh && !in_stale_) ++mixer_.stats_.late_refills;
    in_stale_ = !fresh;
    fresh = 0;
    const auto sample = static_cast<int16_t>(bytes_[static_cast<size_t>(position_)] |
                                             (bytes_[static_cast<size_t>(position_) + 1] << 8));
    sum[i] += ApplyGain(sample, gain_);

    const int32_t from = position_;
    const int32_t to = from + 2;
    ForEachPassed(notifications_, size, from, to,
                  [this](const Notification& n) { mixer_.due_.push_back(Passed(n)); });
    position_ = to >= size ? 0 : to;
    if (position_ == 0 && !looping_) playing_ = false;
  }
  return i;
}

int64_t LoopBuffer::SamplesToNextStop() const {
  const int64_t size = Bytes();
  int64_t bytes_ahead = looping_ ? size : size - position_;
  for (const Notification& n : notifications_) {
    int64_t d = FiringPosition(n, static_cast<int32_t>(size)) - position_;
    if (d <= 0) d += size;
    bytes_ahead = std::min(bytes_ahead, d);
  }
  return (bytes_ahead + 1) / 2;
}

}  // namespace audio
