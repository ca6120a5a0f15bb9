// The DirectSound device for real under Wine, playing into a PulseAudio null sink: notifications,
// their thread, stale signals, Renew, the contract. The suite NoSoundServer runs alone, where no
// sound server is reachable (--gtest_filter=NoSoundServer.*): opening fails with a plain message.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio/dsound/dsound_device.h"
#include "runtime/error.h"
#include "runtime/win32.h"
#include "tests/audio/contract_breaches.h"

namespace {

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

// The device on a window of its own, and a stopped buffer of a sawtooth with two notification
// positions; about twelve notifications come in a second of looping.
class DirectSoundTest : public ::testing::Test {
 protected:
  void SetUp() override {
    window_ = CreateWindowW(L"STATIC", L"dsound_test", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                            nullptr, GetModuleHandleW(nullptr), nullptr);
    device_ = audio::OpenDirectSound(main_);
    device_->SetCooperativeLevel(window_, audio::kCooperativePriority);
    first_ = device_->CreateEvent(sink_);
    second_ = device_->CreateEvent(sink_);
    const audio::PositionNotify table[] = {{1104, first_}, {2868, second_}};
    buffer_ = device_->CreateSoundBuffer(testsupport::DefaultDesc());
    buffer_->SetNotificationPositions(table);
    buffer_->SetVolume(-600);
    std::vector<int16_t> tone(1764);
    for (size_t i = 0; i < tone.size(); ++i) tone[i] = static_cast<int16_t>((i % 25) * 400 - 5000);
    buffer_->WriteBuffer(0, 3528, tone.data());
  }

  void TearDown() override {
    buffer_.reset();
    device_.reset();
    DestroyWindow(window_);
  }

  MainThread main_;
  Sink sink_;
  HWND window_ = nullptr;
  std::unique_ptr<audio::SoundDevice> device_;
  audio::EventHandle first_{};
  audio::EventHandle second_{};
  std::unique_ptr<audio::SoundBuffer> buffer_;
};

TEST_F(DirectSoundTest, PlayingNotifiesBothPositionsInTurnOnTheMainThread) {
  buffer_->Play(audio::kPlayLooping);
  main_.Pump(1000);
  buffer_->Stop();
  EXPECT_GE(sink_.events.size(), 6u) << "notifications in 1 s";
  EXPECT_TRUE(Alternates(sink_.events, first_, second_)) << "the two positions take turns";
  EXPECT_TRUE(sink_.on_main_thread) << "every callback runs on the main thread";
}

TEST_F(DirectSoundTest, SignalsFromBeforeAStopNeverArrive) {
  // Nobody pumps while it plays.
  buffer_->Play(audio::kPlayLooping);
  Sleep(400);
  buffer_->Stop();
  main_.Pump(400);
  EXPECT_TRUE(sink_.events.empty()) << sink_.events.size() << " arrived";
}

TEST_F(DirectSoundTest, RenewStartsTheBufferOverAtByteZero) {
  buffer_->Play(audio::kPlayLooping);
  for (int i = 0; i < 100 && sink_.events.empty(); ++i) main_.Pump(10);
  // The first position has passed: after Renew it comes first again.
  buffer_->Renew();
  sink_.events.clear();
  buffer_->Play(audio::kPlayLooping);
  main_.Pump(500);
  buffer_->Stop();
  EXPECT_FALSE(sink_.events.empty());
  EXPECT_TRUE(Alternates(sink_.events, first_, second_)) << "play starts again from the start";
}

TEST_F(DirectSoundTest, RefusesEveryBreachOfTheBufferContract) {
  for (const testsupport::Breach& breach : testsupport::kBreaches) {
    const std::string refusal = testsupport::RefusalOf(breach, *device_, *buffer_, first_);
    EXPECT_NE(refusal.find(breach.says), std::string::npos) << breach.what << ": " << refusal;
  }
}

TEST_F(DirectSoundTest, CountsARefillIntoThePlayingHalfAsLate) {
  // In a 4 s buffer 0.1 s after Play, the first half is playing and the second is far ahead of
  // the write cursor, however busy the machine.
  const audio::RefillStats before = audio::Refills(*device_);
  audio::BufferDesc desc = testsupport::DefaultDesc();
  desc.buffer_bytes = 88200;
  auto buffer = device_->CreateSoundBuffer(desc);
  const std::vector<int16_t> half(22050);
  buffer->WriteBuffer(0, 44100, half.data());
  buffer->Play(audio::kPlayLooping);
  Sleep(100);
  buffer->WriteBuffer(44100, 44100, half.data());
  buffer->WriteBuffer(0, 44100, half.data());
  buffer->Stop();
  const audio::RefillStats after = audio::Refills(*device_);
  EXPECT_EQ(after.refills - before.refills, 2);
  EXPECT_EQ(after.late - before.late, 1) << "only the write into the playing half";
  EXPECT_LT(after.closest_ms, 0) << "the write cursor was inside the playing half";
}

TEST(NoSoundServer, OpeningFailsWithAPlainMessageAndTheErrorInWords) {
  MainThread main;
  std::string message;
  int32_t number = 0;
  try {
    audio::OpenDirectSound(main);
  } catch (const runtime::Error& e) {
    message = e.description();
    number = e.number();
  }
  EXPECT_EQ(number, runtime::kDeviceUnavailable) << "as every device's";
  const std::string prefix = "No audio output device could be opened: DirectSound: error 0x";
  EXPECT_EQ(message.rfind(prefix, 0), 0u) << message;
  // The number is followed by what it means.
  EXPECT_TRUE(message.compare(prefix.size() + 8, 2, ": ") == 0 &&
              message.size() > prefix.size() + 12)
      << message;
}

}  // namespace
