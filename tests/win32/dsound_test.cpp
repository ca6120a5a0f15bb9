// The DirectSound device for real under Wine, playing into a PulseAudio null sink:
//   dsound_test            notifications, their thread, stale signals, Renew, the contract
//   dsound_test no-device  with no sound server: opening fails with a plain message
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "audio/dsound/dsound_device.h"
#include "runtime/error.h"
#include "runtime/win32.h"
#include "tests/audio/contract_breaches.h"
#include "tests/support/checks.h"

using support::Checks;

namespace {

Checks checks;
constexpr UINT kCall = WM_APP + 1;

// Posted calls run on the main thread from its message loop, as the window's would.
class MainThread final : public runtime::Dispatcher {
 public:
  void Post(std::function<void()> call) override {
    auto* posted = new std::function<void()>(std::move(call));
    if (!PostThreadMessageW(thread_, kCall, 0, reinterpret_cast<LPARAM>(posted))) delete posted;
  }

  void Pump(DWORD ms) {
    const DWORD start = GetTickCount();
    for (DWORD now = start; now - start < ms; now = GetTickCount()) {
      MsgWaitForMultipleObjects(0, nullptr, FALSE, ms - (now - start), QS_ALLINPUT);
      MSG msg;
      while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == kCall) {
          std::unique_ptr<std::function<void()>> call(
              reinterpret_cast<std::function<void()>*>(msg.lParam));
          (*call)();
        } else {
          DispatchMessageW(&msg);
        }
      }
    }
  }

 private:
  DWORD thread_ = GetCurrentThreadId();
};

struct Sink final : audio::EventSink {
  void DXCallBack(int32_t event) override {
    events.push_back(event);
    on_main_thread = on_main_thread && GetCurrentThreadId() == main_thread;
  }
  void DeviceLost() override {}
  std::vector<int32_t> events;
  DWORD main_thread = GetCurrentThreadId();
  bool on_main_thread = true;
};

bool Alternates(const std::vector<int32_t>& events, int32_t first, int32_t second) {
  for (size_t i = 0; i < events.size(); ++i) {
    if (events[i] != (i % 2 == 0 ? first : second)) return false;
  }
  return true;
}

template <typename F>
std::string ErrorOf(F&& f) {
  try {
    f();
  } catch (const runtime::Error& e) {
    return e.description();
  }
  return "";
}

int NoDevice() {
  MainThread main;
  const std::string message = ErrorOf([&] { audio::OpenDirectSound(main); });
  const std::string prefix = "No audio output device could be opened (DirectSound error 0x";
  checks.Expect(message.rfind(prefix, 0) == 0, "no device: a plain message (" + message + ")");
  // The number is followed by what it means.
  checks.Expect(
      message.compare(prefix.size() + 8, 2, ": ") == 0 && message.size() > prefix.size() + 12,
      "no device: the error in words");
  return checks.Finish();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "no-device") return NoDevice();

  MainThread main;
  HWND window = CreateWindowW(L"STATIC", L"dsound_test", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                              nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  auto device = audio::OpenDirectSound(main);
  device->SetCooperativeLevel(window, audio::kCooperativePriority);
  Sink sink;
  const audio::EventHandle first = device->CreateEvent(sink);
  const audio::EventHandle second = device->CreateEvent(sink);
  const audio::PositionNotify table[] = {{1104, first}, {2868, second}};
  auto buffer = device->CreateSoundBuffer(testsupport::DefaultDesc());
  buffer->SetNotificationPositions(table);
  buffer->SetVolume(-600);
  std::vector<int16_t> tone(1764);
  for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>((i % 25) * 400 - 5000);
  buffer->WriteBuffer(0, 3528, tone.data());
  buffer->WriteBuffer(0, 3528, tone.data());

  // About twelve notifications in a second of looping.
  buffer->Play(audio::kPlayLooping);
  main.Pump(1000);
  buffer->Stop();
  checks.Expect(sink.events.size() >= 6, "play: notifications keep coming (" +
                                             std::to_string(sink.events.size()) + " in 1 s)");
  checks.Expect(Alternates(sink.events, first, second), "play: the two positions take turns");
  checks.Expect(sink.on_main_thread, "play: every callback runs on the main thread");

  // Signals that came while nobody pumped are gone after Stop.
  sink.events.clear();
  buffer->Play(audio::kPlayLooping);
  Sleep(400);
  buffer->Stop();
  main.Pump(400);
  checks.Expect(sink.events.empty(), "stop: signals from before the stop never arrive (" +
                                         std::to_string(sink.events.size()) + " arrived)");

  // Renew starts the buffer over at byte 0: after the first position has passed, it comes first
  // again.
  sink.events.clear();
  buffer->Play(audio::kPlayLooping);
  for (int i = 0; i < 100 && sink.events.empty(); ++i) main.Pump(10);
  buffer->Renew();
  sink.events.clear();
  buffer->Play(audio::kPlayLooping);
  main.Pump(500);
  buffer->Stop();
  checks.Expect(!sink.events.empty() && Alternates(sink.events, first, second),
                "renew: play starts again from the start");

  for (const testsupport::Breach& breach : testsupport::kBreaches) {
    const std::string refusal = testsupport::RefusalOf(breach, *device, *buffer, first);
    checks.Expect(refusal.find(breach.says) != std::string::npos,
                  std::string("refused: ") + breach.what + " (" + refusal + ")");
  }

  // Refills held against the cursors: in a 2 s buffer 0.1 s after Play, the first half is playing
  // and the second is far ahead of the write cursor, however busy the machine.
  const audio::RefillStats before = audio::Refills(*device);
  audio::BufferDesc long_desc = testsupport::DefaultDesc();
  long_desc.buffer_bytes = 88200;
  auto long_buffer = device->CreateSoundBuffer(long_desc);
  std::vector<int16_t> half(22050);
  long_buffer->WriteBuffer(0, 44100, half.data());
  long_buffer->Play(audio::kPlayLooping);
  Sleep(100);
  long_buffer->WriteBuffer(44100, 44100, half.data());
  long_buffer->WriteBuffer(0, 44100, half.data());
  long_buffer->Stop();
  const audio::RefillStats after = audio::Refills(*device);
  checks.Expect(after.refills - before.refills == 2 && after.late - before.late == 1,
                "refills: the write into the playing half is late, the one ahead is not (" +
                    std::to_string(after.late - before.late) + " of " +
                    std::to_string(after.refills - before.refills) + " late)");
  checks.Expect(after.closest_ms < 0, "refills: the write cursor was inside the playing half (" +
                                          std::to_string(after.closest_ms) + " ms)");

  long_buffer.reset();
  buffer.reset();
  device.reset();
  DestroyWindow(window);
  return checks.Finish();
}
