#include "audio/dsound/dsound_device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/buffer_contract.h"
#include "runtime/error.h"
#include "runtime/win32.h"
// After runtime/win32.h, which they build on; dsound.h needs mmsystem.h's wave format.
#include <mmsystem.h>

#include <dsound.h>

namespace audio {
namespace {

// DirectSound's own error codes, which the system's message table does not know.
struct DsError {
  HRESULT code;
  const char* words;
};
constexpr DsError kDsErrors[] = {
    {DSERR_ALLOCATED, "the resources it needs are in use by another caller"},
    {DSERR_CONTROLUNAVAIL, "the buffer control (volume, position notification) is not available"},
    {DSERR_INVALIDCALL, "the call is not valid in the object's current state"},
    {DSERR_PRIOLEVELNEEDED, "a cooperative level of priority or higher is needed"},
    {DSERR_BADFORMAT, "the wave format is not supported"},
    {DSERR_NODRIVER, "no sound driver is available"},
    {DSERR_ALREADYINITIALIZED, "the object is already initialized"},
    {DSERR_BUFFERLOST, "the buffer memory has been lost"},
    {DSERR_OTHERAPPHASPRIO, "another program has a higher priority level"},
    {DSERR_UNINITIALIZED, "the object has not been initialized"},
    {DSERR_BUFFERTOOSMALL, "the buffer is too small"},
    {DSERR_DS8_REQUIRED, "DirectSound 8 is required"},
};

// "0x88780078: no sound driver is available", or the system's words for a general code.
std::string DsCodeInWords(HRESULT hr) {
  for (const DsError& e : kDsErrors) {
    if (e.code == hr) return runtime::CodeInWords(hr, e.words);
  }
  return runtime::CodeInWords(hr);
}

[[noreturn]] void Fail(HRESULT hr, const std::string& operation) {
  throw runtime::Error(static_cast<int32_t>(hr),
                       "DirectSound: " + operation + " failed (error " + DsCodeInWords(hr) + ")");
}

void Check(HRESULT hr, const char* operation) {
  if (FAILED(hr)) Fail(hr, operation);
}

struct Releaser {
  void operator()(IUnknown* object) const { object->Release(); }
};
template <typename T>
using Com = std::unique_ptr<T, Releaser>;

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using Handle = std::unique_ptr<void, HandleCloser>;

Handle NewEvent(BOOL manual_reset) {
  HANDLE event = CreateEventW(nullptr, manual_reset, FALSE, nullptr);
  if (event == nullptr) Fail(HRESULT_FROM_WIN32(GetLastError()), "CreateEvent");
  return Handle(event);
}

// Milliseconds on the performance counter.
double NowMs() {
  LARGE_INTEGER count;
  LARGE_INTEGER frequency;
  QueryPerformanceCounter(&count);
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(count.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// WaitForMultipleObjects takes 64 handles; one is the watcher's wake-up event.
constexpr size_t kMaxWatched = MAXIMUM_WAIT_OBJECTS - 1;

class DsDevice;

class DsBuffer final : public ContractBuffer {
 public:
  DsBuffer(DsDevice& device, const BufferDesc& desc);
  ~DsBuffer() override;

  // On the window's thread: resets the signalled events and adds them to `due`.
  void TakeSignalled(std::vector<PassedNotification>& due);
  // Under the device's mutex: the events the watcher waits on.
  void AddEvents(std::vector<HANDLE>& events) const;

 private:
  struct Note {
    Notification notification;
    Handle event;
  };

  bool Playing() const override;
  void ApplyNotifications(std::vector<Notification> notifications) override;
  void ApplyVolume(int32_t volume) override;
  void Write(int32_t start, int32_t size, const void* source) override;
  void Start(bool looping) override;
  // Also resets the events of signals not yet taken.
  void Halt() override;
  void Clear() override;

  // Holds a write into the playing buffer against its cursors, for the device's RefillStats.
  void CountRefill(int32_t start, int32_t size);
  // Copies source into the bytes, or zeros them when source is null.
  HRESULT Fill(int32_t start, int32_t size, DWORD flags, const void* source);
  // Runs a call again once the buffer is restored, if the device took its memory back; a call
  // that fails even so reports the device lost.
  template <typename F>
  void Restoring(F&& call);

  DsDevice& device_;
  Com<IDirectSoundBuffer> buffer_;
  std::vector<Note> notes_;
  const double bytes_per_ms_;
};

class DsDevice final : public SoundDevice {
 public:
  explicit DsDevice(runtime::Dispatcher& dispatcher) : dispatcher_(dispatcher) {
    IDirectSound8* sound = nullptr;
    const HRESULT hr = DirectSoundCreate8(nullptr, &sound, nullptr);
    if (FAILED(hr)) RaiseNoDevice("DirectSound", "error " + DsCodeInWords(hr));
    sound_.reset(sound);
    watcher_ = std::thread([this] { Watch(); });
  }

  ~DsDevice() override {
    if (refills_.refills > 0) {
      char line[256];
      std::snprintf(line, sizeof line,
                    "DirectSound: %lld refills while playing, %lld late, the closest %.1f ms ahead "
                    "of the write cursor, the slowest %.1f ms after its notification\n",
                    static_cast<long long>(refills_.refills), static_cast<long long>(refills_.late),
                    refills_.closest_ms, refills_.slowest_ms);
      OutputDebugStringA(line);
    }
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    SetEvent(wake_.get());
    watcher_.join();
  }

  void SetCooperativeLevel(runtime::WindowHandle window, int32_t level) override {
    Check(sound_->SetCooperativeLevel(static_cast<HWND>(window), static_cast<DWORD>(level)),
          "SetCooperativeLevel");
  }

  EventHandle CreateEvent(EventSink& sink) override { return events_.Add(sink); }

  std::unique_ptr<SoundBuffer> CreateSoundBuffer(const BufferDesc& desc) override {
    return std::make_unique<DsBuffer>(*this, desc);
  }

  void WatchLoss(std::function<void()> lost) override { loss_.Watch(std::move(lost)); }
  void ReportLost() { loss_.Raise(); }

  IDirectSound8& Sound() { return *sound_; }
  const EventTable& Events() const { return events_; }
  // On the window's thread, as every write is.
  void Refilled(bool late, double margin_ms) {
    ++refills_.refills;
    if (late) ++refills_.late;
    refills_.closest_ms = std::min(refills_.closest_ms, margin_ms);
    // Only the first write after a notification answers it.
    if (answering_ms_ > 0)
      refills_.slowest_ms = std::max(refills_.slowest_ms, NowMs() - answering_ms_);
    answering_ms_ = 0;
  }
  const RefillStats& Stats() const { return refills_; }

  // Called by buffers, on the window's thread, whenever their events change; `change` runs
  // under the mutex that the watcher reads the buffers under.
  template <typename F>
  void ChangeWatched(F&& change) {
    {
      std::lock_guard lock(mutex_);
      change(buffers_);
      changed_ = true;
    }
    SetEvent(wake_.get());
  }

  size_t WatchedCount() {
    std::lock_guard lock(mutex_);
    std::vector<HANDLE> events;
    for (const DsBuffer* b : buffers_) b->AddEvents(events);
    return events.size();
  }

 private:
  // The watcher thread: waits on copies of every buffer's events and asks the window's thread to
  // look when one is signalled. It waits again only once the window's thread has looked, since
  // the events stay signalled until then.
  void Watch() {
    // The lead before a half plays is 30 ms: this thread must not wait behind busy ones.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    std::vector<Handle> copies;
    for (;;) {
      bool armed = false;
      {
        std::lock_guard lock(mutex_);
        if (quit_) return;
        if (changed_) {
          changed_ = false;
          copies.clear();
          std::vector<HANDLE> events;
          for (const DsBuffer* b : buffers_) b->AddEvents(events);
          for (HANDLE event : events) {
            HANDLE copy = nullptr;
            if (DuplicateHandle(GetCurrentProcess(), event, GetCurrentProcess(), &copy, SYNCHRONIZE,
                                FALSE, 0)) {
              copies.emplace_back(copy);
            }
          }
        }
        armed = !looking_;
      }
      std::vector<HANDLE> wait{wake_.get()};
      if (armed) {
        for (const Handle& copy : copies) {
          if (wait.size() > kMaxWatched) break;
          wait.push_back(copy.get());
        }
      }
      const DWORD r =
          WaitForMultipleObjects(static_cast<DWORD>(wait.size()), wait.data(), FALSE, INFINITE);
      if (r == WAIT_OBJECT_0) continue;
      if (r > WAIT_OBJECT_0 && r < WAIT_OBJECT_0 + wait.size()) {
        {
          std::lock_guard lock(mutex_);
          looking_ = true;
          signalled_ms_ = NowMs();
        }
        dispatcher_.Post([this, alive = std::weak_ptr<int>(alive_)] {
          if (!alive.expired()) Look();
        });
      }
    }
  }

  // On the window's thread: takes every signalled event, lets the watcher wait again, and
  // delivers them. Usually one is due, and it runs at once; any others are posted as calls of
  // their own first, so that an error in one loses none of the rest.
  void Look() {
    due_.clear();
    {
      std::lock_guard lock(mutex_);
      looking_ = false;
      answering_ms_ = signalled_ms_;
    }
    for (DsBuffer* b : buffers_) b->TakeSignalled(due_);
    SetEvent(wake_.get());
    for (size_t i = 1; i < due_.size(); ++i) {
      dispatcher_.Post([passed = std::move(due_[i])] { passed.Deliver(); });
    }
    if (!due_.empty()) due_.front().Deliver();
  }

  runtime::Dispatcher& dispatcher_;
  Com<IDirectSound8> sound_;
  EventTable events_;
  LossReport loss_{dispatcher_};
  // Posted calls that outlive the device find it gone.
  std::shared_ptr<int> alive_ = std::make_shared<int>(0);

  std::mutex mutex_;
  std::vector<DsBuffer*> buffers_;  // changed on the window's thread under mutex_
  bool changed_ = true;
  bool looking_ = false;
  bool quit_ = false;
  double signalled_ms_ = 0;  // when the watcher last saw a signal; under mutex_
  double answering_ms_ = 0;  // the signal the window's thread last took; on that thread
  Handle wake_ = NewEvent(FALSE);
  std::thread watcher_;
  std::vector<PassedNotification> due_;
  RefillStats refills_;

  friend class DsBuffer;
};

DsBuffer::DsBuffer(DsDevice& device, const BufferDesc& desc)
    : ContractBuffer(desc, device.Events()),
      device_(device),
      bytes_per_ms_(desc.format.avg_bytes_per_sec / 1000.0) {
  WAVEFORMATEX format{};
  format.wFormatTag = desc.format.format_tag;
  format.nChannels = desc.format.channels;
  format.nSamplesPerSec = desc.format.samples_per_sec;
  format.nAvgBytesPerSec = desc.format.avg_bytes_per_sec;
  format.nBlockAlign = desc.format.block_align;
  format.wBitsPerSample = desc.format.bits_per_sample;
  format.cbSize = desc.format.extra_size;
  DSBUFFERDESC d{};
  d.dwSize = sizeof d;
  // Without GETCURRENTPOSITION2 an emulated device reports the play cursor just behind the write
  // cursor, as DirectSound 1 did; CountRefill needs where play really is.
  d.dwFlags = desc.flags | DSBCAPS_GETCURRENTPOSITION2;
  d.dwBufferBytes = desc.buffer_bytes;
  d.lpwfxFormat = &format;
  IDirectSoundBuffer* buffer = nullptr;
  Check(device_.Sound().CreateSoundBuffer(&d, &buffer, nullptr), "CreateSoundBuffer");
  buffer_.reset(buffer);
  device_.ChangeWatched([this](std::vector<DsBuffer*>& all) { all.push_back(this); });
}

DsBuffer::~DsBuffer() {
  device_.ChangeWatched([this](std::vector<DsBuffer*>& all) {
    all.erase(std::remove(all.begin(), all.end(), this), all.end());
  });
  buffer_->Stop();
  // The buffer goes before its events: DirectSound signals them by handle, and a handle closed
  // while it may still do so could by then name another object of this process.
  buffer_.reset();
}

void DsBuffer::AddEvents(std::vector<HANDLE>& events) const {
  for (const Note& n : notes_) events.push_back(n.event.get());
}

// DirectSound refuses new positions while playing too, but not every implementation of it does.
bool DsBuffer::Playing() const {
  DWORD status = 0;
  return SUCCEEDED(buffer_->GetStatus(&status)) && (status & DSBSTATUS_PLAYING);
}

void DsBuffer::ApplyNotifications(std::vector<Notification> notifications) {
  std::vector<Note> notes;
  std::vector<DSBPOSITIONNOTIFY> table;
  for (const Notification& n : notifications) {
    notes.push_back({n, NewEvent(TRUE)});
    table.push_back({static_cast<DWORD>(n.offset), notes.back().event.get()});
  }
  if (device_.WatchedCount() - notes_.size() + notes.size() > kMaxWatched) {
    InvalidBufferCall("more than " + std::to_string(kMaxWatched) +
                      " notification positions in all");
  }
  IDirectSoundNotify* notify = nullptr;
  Check(buffer_->QueryInterface(IID_IDirectSoundNotify, reinterpret_cast<void**>(&notify)),
        "QueryInterface(IDirectSoundNotify)");
  const Com<IDirectSoundNotify> owner(notify);
  Check(notify->SetNotificationPositions(static_cast<DWORD>(table.size()), table.data()),
        "SetNotificationPositions");
  device_.ChangeWatched([&](std::vector<DsBuffer*>&) { notes_.swap(notes); });
}

void DsBuffer::ApplyVolume(int32_t volume) {
  Check(buffer_->SetVolume(volume), "SetVolume");
}

HRESULT DsBuffer::Fill(int32_t start, int32_t size, DWORD flags, const void* source) {
  void* first = nullptr;
  void* second = nullptr;
  DWORD first_bytes = 0;
  DWORD second_bytes = 0;
  const HRESULT hr = buffer_->Lock(static_cast<DWORD>(start), static_cast<DWORD>(size), &first,
                                   &first_bytes, &second, &second_bytes, flags);
  if (FAILED(hr)) return hr;
  if (source != nullptr) {
    std::memcpy(first, source, first_bytes);
    if (second != nullptr)
      std::memcpy(second, static_cast<const char*>(source) + first_bytes, second_bytes);
  } else {
    std::memset(first, 0, first_bytes);
    if (second != nullptr) std::memset(second, 0, second_bytes);
  }
  return buffer_->Unlock(first, first_bytes, second, second_bytes);
}

// The device takes a buffer's memory back when another program takes the card: restore it and
// try again.
template <typename F>
void DsBuffer::Restoring(F&& call) {
  HRESULT hr = call();
  if (hr == DSERR_BUFFERLOST && SUCCEEDED(buffer_->Restore())) hr = call();
  if (FAILED(hr)) device_.ReportLost();
}

// GetCurrentPosition's rule: the bytes from the play cursor up to the write cursor may already be
// on their way out, so a refill is safe only ahead of the write cursor, and one that the play
// cursor has entered comes after the bytes it replaces were heard.
void DsBuffer::CountRefill(int32_t start, int32_t size) {
  DWORD status = 0;
  DWORD play = 0;
  DWORD write = 0;
  if (FAILED(buffer_->GetStatus(&status)) || !(status & DSBSTATUS_PLAYING) ||
      FAILED(buffer_->GetCurrentPosition(&play, &write))) {
    return;
  }
  const int32_t bytes = Bytes();
  // A cursor's distance past `start`, forward around the loop.
  const auto past_start = [&](DWORD cursor) {
    return (static_cast<int32_t>(cursor % static_cast<DWORD>(bytes)) - start + bytes) % bytes;
  };
  const int32_t write_past = past_start(write);
  const int32_t margin = write_past < size ? -write_past : bytes - write_past;
  device_.Refilled(past_start(play) < size, margin / bytes_per_ms_);
}

void DsBuffer::Write(int32_t start, int32_t size, const void* source) {
  CountRefill(start, size);
  Restoring([&] { return Fill(start, size, 0, source); });
}

void DsBuffer::Start(bool looping) {
  Restoring([&] { return buffer_->Play(0, 0, looping ? DSBPLAY_LOOPING : 0); });
}

void DsBuffer::Halt() {
  Check(buffer_->Stop(), "Stop");
  for (Note& n : notes_) ResetEvent(n.event.get());
}

// The same buffer made as good as new: no allocation per key press.
void DsBuffer::Clear() {
  Check(buffer_->SetCurrentPosition(0), "SetCurrentPosition");
  Restoring([&] { return Fill(0, 0, DSBLOCK_ENTIREBUFFER, nullptr); });
  Check(buffer_->SetVolume(0), "SetVolume");
}

void DsBuffer::TakeSignalled(std::vector<PassedNotification>& due) {
  for (Note& n : notes_) {
    // An event is signalled once per lap of the buffer (80 ms at the shortest tone time), so no
    // second signal slips in between this test and the reset.
    if (WaitForSingleObject(n.event.get(), 0) != WAIT_OBJECT_0) continue;
    ResetEvent(n.event.get());
    due.push_back(Passed(n.notification));
  }
}

}  // namespace

std::unique_ptr<SoundDevice> OpenDirectSound(runtime::Dispatcher& dispatcher) {
  return std::make_unique<DsDevice>(dispatcher);
}

RefillStats Refills(const SoundDevice& device) {
  return dynamic_cast<const DsDevice&>(device).Stats();
}

}  // namespace audio
