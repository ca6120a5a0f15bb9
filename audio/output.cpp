#include "audio/output.h"

#include <span>
#include <string>
#include <utility>

#include "runtime/error.h"
#include "runtime/rounding.h"

namespace audio {

PlayDX8Module::PlayDX8Module(DeviceFactory open_device, std::function<int16_t()> scroll_value,
                             std::function<runtime::WindowHandle()> window, EventSink& sink)
    : open_device_(std::move(open_device)),
      scroll_value_(std::move(scroll_value)),
      window_(std::move(window)),
      sink_(sink) {}

int32_t PlayDX8Module::Volume() const {
  return static_cast<int16_t>(1 - scroll_value_());
}

void PlayDX8Module::CreateOutput(const int32_t& BlockSamples) {
  const int32_t buffer_bytes = BlockSamples * 4;
  switch (device_state_) {
    case DeviceState::kNotOpened:
      try {
        OpenOutput(buffer_bytes);
      } catch (...) {
        // Without a device the window still works; a rebuild makes no try, the next key does
        // (a sound server that starts after the window, a headset plugged in later).
        BufferDesc.buffer_bytes = static_cast<uint32_t>(buffer_bytes);
        device_state_ = DeviceState::kClosed;
        throw;
      }
      return;
    case DeviceState::kClosed:
      // The size of the buffer that the next ResetOutput makes on a device opened then.
      BufferDesc.buffer_bytes = static_cast<uint32_t>(buffer_bytes);
      return;
    case DeviceState::kOpen: {
      audio::BufferDesc desc = BufferDesc;
      desc.buffer_bytes = static_cast<uint32_t>(buffer_bytes);
      MakeBuffer(*SoundDevice, desc, NotifyEvent0, NotifyEvent1);
      return;
    }
  }
}

void PlayDX8Module::OpenOutput(int32_t buffer_bytes) {
  // The device is closed only now: closing waits for its sound server, which may hang.
  lost_device_.reset();
  std::unique_ptr<audio::SoundDevice> opened = open_device_();
  opened->SetCooperativeLevel(window_(), kCooperativePriority);
  audio::SoundDevice& device = *opened;
  device.WatchLoss([this] { DeviceLost(); });
  // The events serve every buffer of this device: a rebuild makes none.
  const EventHandle event0 = device.CreateEvent(sink_);
  const EventHandle event1 = device.CreateEvent(sink_);
  audio::BufferDesc desc;
  desc.flags = kCtrlVolume | kCtrlPositionNotify;
  WaveFormat& f = desc.format;
  f.format_tag = 1;
  f.channels = 1;
  f.samples_per_sec = synth::kSampleRate;
  f.bits_per_sample = 16;
  f.block_align = static_cast<uint16_t>(runtime::CInt(16.0 / 8));
  f.avg_bytes_per_sec = f.block_align * f.samples_per_sec;
  f.extra_size = 0;
  desc.buffer_bytes = static_cast<uint32_t>(buffer_bytes);
  MakeBuffer(device, desc, event0, event1);
  SoundDevice = std::move(opened);
  device_state_ = DeviceState::kOpen;
}

void PlayDX8Module::MakeBuffer(audio::SoundDevice& device, const audio::BufferDesc& desc,
                               EventHandle event0, EventHandle event1) {
  const int32_t buffer_bytes = static_cast<int32_t>(desc.buffer_bytes);
  const std::array<PositionNotify, 2> table = {
      {{runtime::CLng(buffer_bytes / 2.0 - kNotifyLead), event0},
       {buffer_bytes - kNotifyLead, event1}}};
  std::unique_ptr<audio::SoundBuffer> buffer = device.CreateSoundBuffer(desc);
  buffer->SetNotificationPositions(table);
  buffer->SetVolume(Volume());

  BufferDesc = desc;
  NotifyEvent0 = event0;
  NotifyEvent1 = event1;
  NotifyTable = table;
  SoundBuffer = std::move(buffer);
  WriteCursor = 0;
}

void PlayDX8Module::WriteToneBlock(const int16_t& ToneNumber) {
  if (!SoundBuffer) return;
  if (ToneNumber < 0 || ToneNumber >= synth::kToneCount) {
    throw runtime::Error(runtime::kInvalidCall, "Tone number " + std::to_string(ToneNumber) +
                                                    " is not a row of the tone bank");
  }
  const int32_t half = runtime::CLng(BufferBytes() / 2.0);
  const std::span<const int16_t> row = ToneBank.Row(ToneNumber);
  if (row.size() * 2 < static_cast<size_t>(half)) {
    throw runtime::Error(runtime::kInvalidCall, "Tone bank row of " +
                                                    std::to_string(row.size() * 2) +
                                                    " bytes is shorter than the half buffer of " +
                                                    std::to_string(half) + " bytes");
  }
  SoundBuffer->SetVolume(Volume());
  SoundBuffer->WriteBuffer(WriteCursor, half, row.data());
  WriteCursor += half;
  if (WriteCursor >= BufferBytes()) WriteCursor -= BufferBytes();
}

void PlayDX8Module::StartOutput() {
  if (!SoundBuffer) return;
  SoundBuffer->SetVolume(Volume());
  SoundBuffer->Play(kPlayLooping);
}

void PlayDX8Module::ResetOutput() {
  if (device_state_ == DeviceState::kClosed) {
    OpenOutput(BufferBytes());
    return;
  }
  if (!SoundBuffer) return;
  // Stops it and makes it a fresh buffer of the same description with the same notifications.
  SoundBuffer->Renew();
  WriteCursor = 0;
}

int32_t PlayDX8Module::InstallToneBank(const float& ToneDuration,
                                       const synth::SlopeEnvelope& slope) {
  const int32_t block = synth::GenTones(ToneDuration, slope, SpareToneBank);
  CreateOutput(block);
  std::swap(ToneBank, SpareToneBank);
  return block;
}

void PlayDX8Module::SetVolume() {
  if (SoundBuffer) SoundBuffer->SetVolume(Volume());
}

void PlayDX8Module::ReleaseOutput() {
  if (!SoundBuffer) return;
  SoundBuffer->Stop();
  SoundBuffer.reset();
}

void PlayDX8Module::DeviceLost() {
  // The buffer goes before its device. The device is closed only at the next try to open one:
  // closing waits for its sound server, which may hang (that is how some losses look).
  SoundBuffer.reset();
  lost_device_ = std::move(SoundDevice);
  WriteCursor = 0;
  device_state_ = DeviceState::kClosed;
  sink_.DeviceLost();
}

}  // namespace audio
