#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "audio/buffering_steps.h"
#include "audio/loop_mixer.h"
#include "audio/output.h"
#include "audio/virtual/virtual_device.h"
#include "runtime/error.h"
#include "synth/slope_filter.h"
#include "synth/tone_bank.h"
#include "tests/audio/block_streamer.h"
#include "tests/audio/contract_breaches.h"

namespace {

using audio::VirtualSoundDevice;

// Holds posted calls until the test delivers them, as a window thread busy elsewhere would.
class QueueDispatcher final : public runtime::Dispatcher {
 public:
  void Post(std::function<void()> call) override { calls_.push_back(std::move(call)); }
  size_t Pending() const { return calls_.size(); }
  void Drain() {
    while (!calls_.empty()) {
      auto call = std::move(calls_.front());
      calls_.pop_front();
      call();
    }
  }

 private:
  std::deque<std::function<void()>> calls_;
};

class Sink final : public audio::EventSink {
 public:
  void DXCallBack(int32_t EventID) override {
    events.push_back(EventID);
    if (forward) forward->DXCallBack(EventID);
  }
  void DeviceLost() override {}
  std::vector<int32_t> events;
  audio::EventSink* forward = nullptr;
};

class OutputTest : public ::testing::Test {
 protected:
  // Rebuilds the tone bank for a tone time with its buffer (CreateOutput); returns BlockSamples.
  int32_t Install(float tone_time_ms) {
    static const synth::SlopeEnvelope slope = synth::SlopeEnvelope::Standard();
    return output.InstallToneBank(tone_time_ms, slope);
  }
  const audio::LoopBuffer& Buffer() const { return *device->LastBuffer(); }
  std::vector<uint8_t> Half(int index) const {
    const auto& bytes = Buffer().bytes();
    const size_t half = bytes.size() / 2;
    return {bytes.begin() + index * half, bytes.begin() + (index + 1) * half};
  }
  std::vector<uint8_t> RowBytes(int tone) const {
    const auto row = output.Inspect().ToneBank.Row(tone);
    std::vector<uint8_t> bytes(row.size() * 2);
    for (size_t i = 0; i < row.size(); ++i) {
      bytes[2 * i] = static_cast<uint8_t>(row[i] & 0xff);
      bytes[2 * i + 1] = static_cast<uint8_t>((row[i] >> 8) & 0xff);
    }
    return bytes;
  }
  void Write(int16_t tone) { output.WriteToneBlock(tone); }
  void Play(int16_t tone) {
    output.ResetOutput();
    Write(tone);
    output.StartOutput();
  }

  QueueDispatcher dispatcher;
  Sink sink;
  VirtualSoundDevice* device = nullptr;
  int devices_opened = 0;
  int windows_asked = 0;
  int16_t scroll = 1;
  audio::PlayDX8Module output{[this] {
                                ++devices_opened;
                                auto d = std::make_unique<VirtualSoundDevice>(dispatcher);
                                device = d.get();
                                return d;
                              },
                              [this] { return scroll; },
                              [this] {
                                ++windows_asked;
                                return runtime::WindowHandle{};
                              },
                              sink};
};

TEST_F(OutputTest, FirstCreateOutputSetsUpOneDeviceAndAStoppedArmedBuffer) {
  scroll = 301;
  const int32_t block = Install(40);
  ASSERT_EQ(block, 882);

  EXPECT_EQ(devices_opened, 1);
  EXPECT_EQ(windows_asked, 1);
  EXPECT_EQ(device->CooperativeLevel(), audio::kCooperativePriority);
  EXPECT_EQ(device->EventsCreated(), 2);
  EXPECT_EQ(device->BuffersCreated(), 1);

  const audio::BufferDesc& d = Buffer().desc();
  EXPECT_EQ(d.flags, 0x180u);
  EXPECT_EQ(d.buffer_bytes, 3528u);
  EXPECT_EQ(d.format.format_tag, 1);
  EXPECT_EQ(d.format.channels, 1);
  EXPECT_EQ(d.format.samples_per_sec, 11025u);
  EXPECT_EQ(d.format.avg_bytes_per_sec, 22050u);
  EXPECT_EQ(d.format.block_align, 2);
  EXPECT_EQ(d.format.bits_per_sample, 16);
  EXPECT_EQ(d.format.extra_size, 0);

  ASSERT_EQ(Buffer().notifications().size(), 2u);
  EXPECT_NE(output.Inspect().NotifyEvent0, output.Inspect().NotifyEvent1);
  EXPECT_EQ(Buffer().notifications()[0].offset, 1104);
  EXPECT_EQ(Buffer().notifications()[0].event, output.Inspect().NotifyEvent0);
  EXPECT_EQ(Buffer().notifications()[1].offset, 2868);
  EXPECT_EQ(Buffer().notifications()[1].event, output.Inspect().NotifyEvent1);
  EXPECT_EQ(output.Inspect().NotifyTable[0].offset, 1104);
  EXPECT_EQ(output.Inspect().NotifyTable[1].offset, 2868);

  EXPECT_EQ(Buffer().volume(), -300);
  EXPECT_FALSE(Buffer().playing());
  EXPECT_EQ(Buffer().position(), 0);
  EXPECT_EQ(output.Inspect().WriteCursor, 0);
  EXPECT_TRUE(output.OutputReady());
}

TEST_F(OutputTest, LaterCreateOutputKeepsTheDeviceAndItsEventsAndReplacesAPlayingBuffer) {
  Install(40);
  const int32_t old_events[] = {output.Inspect().NotifyEvent0, output.Inspect().NotifyEvent1};
  Play(3);
  device->AdvanceTo(600);  // passes offset 1104; the notification waits in the queue
  ASSERT_EQ(dispatcher.Pending(), 1u);

  const int32_t block = Install(10);
  ASSERT_EQ(block, 442);  // the shortest tone block

  EXPECT_EQ(devices_opened, 1);
  EXPECT_EQ(windows_asked, 1);
  // The events serve every buffer of the device: rebuilds do not grow its list.
  EXPECT_EQ(device->EventsCreated(), 2);
  EXPECT_EQ(output.Inspect().NotifyEvent0, old_events[0]);
  EXPECT_EQ(output.Inspect().NotifyEvent1, old_events[1]);
  EXPECT_EQ(device->BuffersCreated(), 2);
  EXPECT_EQ(Buffer().desc().buffer_bytes, 1768u);
  ASSERT_EQ(Buffer().notifications().size(), 2u);
  EXPECT_EQ(Buffer().notifications()[0].offset, 224);
  EXPECT_EQ(Buffer().notifications()[1].offset, 1108);
  EXPECT_EQ(output.Inspect().WriteCursor, 0);

  // The replaced buffer is silent at once and its late notification never arrives.
  EXPECT_FALSE(device->Playing());
  const size_t recorded = device->Recording().size();
  device->AdvanceTo(device->Now() + 1000);
  EXPECT_EQ(device->Recording().size(), recorded);
  dispatcher.Drain();
  EXPECT_TRUE(sink.events.empty());
}

TEST_F(OutputTest, WritesAlternateHalvesAndRestartAtZeroAfterAReset) {
  Install(40);
  Write(5);
  EXPECT_EQ(output.Inspect().WriteCursor, 1764);
  output.ResetOutput();
  EXPECT_EQ(output.Inspect().WriteCursor, 0);
  EXPECT_EQ(Half(0), std::vector<uint8_t>(1764, 0));  // a fresh buffer

  Write(1);
  EXPECT_EQ(output.Inspect().WriteCursor, 1764);
  EXPECT_EQ(Half(0), RowBytes(1));
  Write(2);
  EXPECT_EQ(output.Inspect().WriteCursor, 0);
  EXPECT_EQ(Half(1), RowBytes(2));
  Write(3);
  EXPECT_EQ(output.Inspect().WriteCursor, 1764);
  EXPECT_EQ(Half(0), RowBytes(3));
  EXPECT_EQ(Half(1), RowBytes(2));

  Write(0);  // row 0 is one half of silence
  EXPECT_EQ(Half(1), std::vector<uint8_t>(1764, 0));
  EXPECT_EQ(output.Inspect().WriteCursor, 0);

  for (int16_t bad : {-1, 17}) {
    EXPECT_THROW(Write(bad), runtime::Error) << bad;
    EXPECT_EQ(output.Inspect().WriteCursor, 0);
  }
}

TEST_F(OutputTest, VolumeFollowsTheScrollBarAtEveryWriteAndStart) {
  scroll = 1;
  Install(40);
  EXPECT_EQ(Buffer().volume(), 0);

  scroll = 10;
  EXPECT_EQ(Buffer().volume(), 0);  // nothing applied it yet
  Write(1);
  EXPECT_EQ(Buffer().volume(), -9);

  scroll = 5001;
  output.StartOutput();
  EXPECT_EQ(Buffer().volume(), -5000);

  // What reaches the speaker carries the gain: -50 dB.
  device->AdvanceTo(device->Now() + 400);
  const auto row = output.Inspect().ToneBank.Row(1);
  const auto& heard = device->Recording();
  ASSERT_EQ(heard.size(), 400u);
  for (size_t i = 0; i < heard.size(); ++i) {
    ASSERT_EQ(heard[i], audio::ApplyGain(row[i], audio::VolumeGain(-5000))) << i;
  }
  EXPECT_NE(heard, std::vector<int16_t>(row.begin(), row.begin() + 400));
}

TEST_F(OutputTest, ResetWhilePlayingStopsAtOnceAndTheNextBlockPlaysFromByteZero) {
  Install(40);
  Play(4);
  device->AdvanceTo(600);
  ASSERT_EQ(dispatcher.Pending(), 1u);

  output.ResetOutput();
  EXPECT_FALSE(device->Playing());
  device->AdvanceTo(device->Now() + 2000);
  EXPECT_EQ(device->Recording().size(), 600u);
  dispatcher.Drain();
  EXPECT_TRUE(sink.events.empty());  // posted before the reset: stale

  Write(7);
  output.StartOutput();
  device->AdvanceTo(device->Now() + 100);
  const auto row = output.Inspect().ToneBank.Row(7);
  const std::vector<int16_t> after(device->Recording().begin() + 600, device->Recording().end());
  EXPECT_EQ(after, std::vector<int16_t>(row.begin(), row.begin() + 100));
}

TEST_F(OutputTest, NotificationsFireAtTheExactSampleOnEveryLap) {
  Install(40);
  Play(2);
  const int64_t start = device->Now();
  // Offset 1104 is reached when the 552nd sample has played; 2868 one block later.
  const int64_t expected[] = {552, 552 + 882, 552 + 1764, 552 + 2646};
  const int32_t events[] = {output.Inspect().NotifyEvent0, output.Inspect().NotifyEvent1,
                            output.Inspect().NotifyEvent0, output.Inspect().NotifyEvent1};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    ASSERT_EQ(device->NextNotification(), start + expected[i]);
    device->AdvanceTo(start + expected[i] - 1);
    EXPECT_EQ(dispatcher.Pending(), 0u);
    device->AdvanceTo(start + expected[i]);
    EXPECT_EQ(device->Recording().size(), static_cast<size_t>(expected[i]));
    dispatcher.Drain();
    ASSERT_EQ(sink.events.size(), static_cast<size_t>(i + 1));
    EXPECT_EQ(sink.events.back(), events[i]);
  }
}

TEST_F(OutputTest, StreamingByItsOwnNotificationsPlaysTheBlocksBackToBack) {
  // The shortest block (notification only 112 samples into a half), the default and a long one;
  // each rebuild goes through CreateOutput on the same device.
  for (float tone_time : {10.0f, 40.0f, 100.0f}) {
    SCOPED_TRACE(tone_time);
    const int32_t block = Install(tone_time);
    std::vector<int16_t> tones;
    for (int16_t t = 1; t <= 16; ++t) tones.push_back(t);
    tones.insert(tones.end(), {16, 16, 9, 0, 9});  // repeats and a pause inside the run
    testsupport::BlockStreamer streamer(tones);
    sink.forward = &streamer;
    const size_t recorded_before = device->Recording().size();

    streamer.Start(output);
    for (int guard = 0; !streamer.finished() && guard < 100; ++guard) {
      const int64_t next = device->NextNotification();
      ASSERT_NE(next, VirtualSoundDevice::kNever);
      device->AdvanceTo(next);
      dispatcher.Drain();
    }
    ASSERT_TRUE(streamer.finished());
    EXPECT_FALSE(device->Playing());
    EXPECT_EQ(streamer.notifications(), static_cast<int>(tones.size()) + 1);

    // Every block once, in order, then the silent half up to the stop 330 samples before its end.
    std::vector<int16_t> expected;
    for (int16_t t : tones) {
      const auto row = output.Inspect().ToneBank.Row(t);
      expected.insert(expected.end(), row.begin(), row.end());
    }
    expected.insert(expected.end(), block - audio::kNotifyLead / 2, 0);
    const std::vector<int16_t> heard(device->Recording().begin() + recorded_before,
                                     device->Recording().end());
    ASSERT_EQ(heard.size(), expected.size());
    EXPECT_TRUE(heard == expected);
  }
}

TEST(VirtualDevice, RefusesEveryBreachOfTheBufferContract) {
  QueueDispatcher dispatcher;
  Sink sink;
  VirtualSoundDevice device(dispatcher);
  const audio::EventHandle made = device.CreateEvent(sink);
  auto buffer = device.CreateSoundBuffer(testsupport::DefaultDesc());
  for (const testsupport::Breach& breach : testsupport::kBreaches) {
    const std::string refusal = testsupport::RefusalOf(breach, device, *buffer, made);
    EXPECT_NE(refusal.find(breach.says), std::string::npos) << breach.what << ": " << refusal;
  }
  EXPECT_EQ(device.BuffersCreated(), 1);
  EXPECT_FALSE(device.Playing());
}

// What a device that queues output ahead relies on: the start hook only from silence (it may then
// replace queued silence), and how much of a render no buffer played (only that may be replaced).
TEST(LoopMixer, TellsStartsFromSilenceAndTheIdleEndOfEachRender) {
  QueueDispatcher dispatcher;
  Sink sink;
  audio::EventTable events;
  int started = 0;
  audio::LoopMixer mixer(dispatcher, [&] { ++started; });
  audio::BufferDesc small = testsupport::DefaultDesc();
  small.buffer_bytes = 8;
  auto one_shot = mixer.CreateBuffer(small, events);
  auto looping = mixer.CreateBuffer(testsupport::DefaultDesc(), events);
  const int16_t samples[4] = {100, -200, 300, -400};
  one_shot->WriteBuffer(0, 8, samples);
  int16_t out[10] = {};

  EXPECT_EQ(mixer.Render(out, 10), 10);
  one_shot->Play(0);
  looping->Play(audio::kPlayLooping);  // while another plays: not from silence
  EXPECT_EQ(started, 1);
  EXPECT_EQ(mixer.Render(out, 10), 0);
  looping->Stop();
  one_shot->Stop();
  one_shot->Renew();
  one_shot->WriteBuffer(0, 8, samples);
  one_shot->Play(0);
  EXPECT_EQ(started, 2);
  EXPECT_EQ(mixer.Render(out, 10), 6);  // 4 samples, then nothing played
  EXPECT_EQ(std::vector<int16_t>(out, out + 6), std::vector<int16_t>({100, -200, 300, -400, 0, 0}));
  EXPECT_EQ(mixer.Render(out, 3), 3);
}

TEST(OutputWithoutDevice, TriesAgainAtTheNextResetNotAtARebuild) {
  Sink sink;
  int opened = 0;
  audio::PlayDX8Module output(
      [&]() -> std::unique_ptr<audio::SoundDevice> {
        ++opened;
        throw runtime::Error(runtime::kDeviceUnavailable,
                             "No audio output device could be opened: none");
      },
      [] { return int16_t{1}; }, [] { return runtime::WindowHandle{}; }, sink);
  const int32_t block = 882;
  EXPECT_THROW(output.CreateOutput(block), runtime::Error);
  EXPECT_FALSE(output.OutputReady());
  EXPECT_NO_THROW(output.CreateOutput(block));
  EXPECT_EQ(opened, 1);
  EXPECT_FALSE(output.OutputReady());
  const int16_t tone = 1;
  EXPECT_NO_THROW(output.WriteToneBlock(tone));
  EXPECT_NO_THROW(output.StartOutput());
  EXPECT_THROW(output.ResetOutput(), runtime::Error);
  EXPECT_EQ(opened, 2);
}

}  // namespace

// One step up a hole, one down a quiet period; a step down that a hole follows within the quiet
// period doubles the wait before the next step down from there; without adapting nothing moves.
TEST(BufferingSteps, GrowOnHolesComeBackWhenQuietAndWaitLongerWhereTheyWereTooFew) {
  using std::chrono::seconds;
  const uint32_t steps_ms[] = {40, 60, 90};
  audio::BufferingSteps steps(steps_ms, seconds(15));
  const audio::BufferingSteps::Clock::time_point t0{};
  EXPECT_TRUE(steps.Hole(t0));
  EXPECT_TRUE(steps.Hole(t0 + seconds(1)));
  EXPECT_FALSE(steps.Hole(t0 + seconds(2)));  // at the top
  EXPECT_EQ(steps.Now(), 90u);
  EXPECT_FALSE(steps.Tick(t0 + seconds(16)));
  EXPECT_TRUE(steps.Tick(t0 + seconds(17)));
  EXPECT_TRUE(steps.Tick(t0 + seconds(32)));
  EXPECT_EQ(steps.Now(), 40u);

  EXPECT_TRUE(steps.Hole(t0 + seconds(40)));  // too soon after coming down: wait twice as long
  EXPECT_FALSE(steps.Tick(t0 + seconds(69)));
  EXPECT_TRUE(steps.Tick(t0 + seconds(70)));
  EXPECT_EQ(steps.Ups(), 3);
  EXPECT_EQ(steps.Downs(), 3);

  audio::BufferingSteps fixed(steps_ms, seconds(15), false);
  EXPECT_FALSE(fixed.Hole(t0));
  EXPECT_EQ(fixed.Now(), 40u);
}
