// The sound buffer's contract, kept in one place for every device. A device's buffer derives from
// ContractBuffer, which refuses a call that breaks the contract before the device sees it and
// makes the notifications of a stopped buffer stale; the device implements the hooks, which may
// assume what device.h says. EventTable gives a device its events, ForEachPassed the rule by
// which a moving play position passes notification offsets, and LossReport the way it says that
// it went away.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "audio/device.h"

namespace audio {

// Refuses a buffer call: raises runtime::Error (kInvalidCall) saying what was wrong. For limits of
// a device's own beyond the contract.
[[noreturn]] void InvalidBufferCall(const std::string& what);

// The sinks of a device's events; a handle is the sink's place in the table, counted from 1.
class EventTable {
 public:
  EventHandle Add(EventSink& sink);
  // Null for a handle the table did not give out.
  EventSink* Find(EventHandle event) const;
  int Count() const { return static_cast<int>(sinks_.size()); }

 private:
  std::vector<EventSink*> sinks_;
};

// A device's report that it went away: posted once through the dispatcher, from any thread, and
// dropped if the device is gone by the time it runs. A device owns one and forwards WatchLoss.
class LossReport {
 public:
  explicit LossReport(runtime::Dispatcher& dispatcher) : dispatcher_(dispatcher) {}
  // On the window's thread.
  void Watch(std::function<void()> lost) { *lost_ = std::move(lost); }
  // From any thread; only the first call is reported.
  void Raise();

 private:
  runtime::Dispatcher& dispatcher_;
  // Read when the report runs on the window's thread, which is where Watch writes it.
  std::shared_ptr<std::function<void()>> lost_ = std::make_shared<std::function<void()>>();
  std::atomic<bool> raised_{false};
};

// A notification position as a device keeps it: the offset, the event, and the sink it calls.
struct Notification {
  int32_t offset = 0;
  EventHandle event = 0;
  EventSink* sink = nullptr;
};

// Where a play position stepping through a buffer of `size` bytes is when the notification fires:
// an offset fires on the step that moves the position onto or past it, offset 0 on the step that
// wraps from the end (to `size`, before it is taken back to 0).
inline int32_t FiringPosition(const Notification& notification, int32_t size) {
  return notification.offset == 0 ? size : notification.offset;
}

// Calls passed(notification) for each notification whose offset a step of the play position from
// `from` to `to` passes, in a buffer of `size` bytes (from < to <= size).
template <typename F>
void ForEachPassed(std::span<const Notification> notifications, int32_t size, int32_t from,
                   int32_t to, F&& passed) {
  for (const Notification& n : notifications) {
    const int32_t target = FiringPosition(n, size);
    if (from < target && target <= to) passed(n);
  }
}

// A notification whose offset the play position passed, on its way to the window's thread.
class PassedNotification {
 public:
  // Calls the sink, unless its buffer has stopped, been renewed or gone since the position passed.
  void Deliver() const;

 private:
  friend class ContractBuffer;
  std::weak_ptr<const std::atomic<uint64_t>> generation_;
  uint64_t issued_ = 0;
  EventSink* sink_ = nullptr;
  EventHandle event_ = 0;
};

class ContractBuffer : public SoundBuffer {
 public:
  void SetNotificationPositions(std::span<const PositionNotify> positions) final;
  void SetVolume(int32_t volume) final;
  void WriteBuffer(int32_t start, int32_t size, const void* source) final;
  void Play(uint32_t flags) final;
  void Stop() final;
  void Renew() final;

 protected:
  // Refuses a description outside the contract. The events are the device's, which must outlive
  // the buffer.
  ContractBuffer(const BufferDesc& desc, const EventTable& events);

  int32_t Bytes() const { return bytes_; }
  // Wraps a passed notification for delivery; callable from any thread.
  PassedNotification Passed(const Notification& notification) const;

  // The device's own part of each call, with the arguments checked. Halt stops playing (the
  // buffer then makes every notification passed so far stale); Clear follows a Halt in Renew and
  // leaves play position 0, silence and full volume.
  virtual bool Playing() const = 0;
  virtual void ApplyNotifications(std::vector<Notification> notifications) = 0;
  virtual void ApplyVolume(int32_t volume) = 0;
  virtual void Write(int32_t start, int32_t size, const void* source) = 0;
  virtual void Start(bool looping) = 0;
  virtual void Halt() = 0;
  virtual void Clear() = 0;

 private:
  const EventTable& events_;
  const int32_t bytes_;
  // Changes whenever the buffer stops or is renewed: notifications passed before are stale.
  std::shared_ptr<std::atomic<uint64_t>> generation_ = std::make_shared<std::atomic<uint64_t>>(0);
};

}  // namespace audio
