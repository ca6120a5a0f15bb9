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
  // Everything is made aside and put in place once nothing can fail any more.
  std::unique_ptr<audio::SoundDevice> opened;
  audio::SoundDevice* device = SoundDevice.get();
  audio::BufferDesc desc = BufferDesc;
  EventHandle event0 = NotifyEvent0;
  EventHandle event1 = NotifyEvent1;
  if (!device) {
    // Without a device the window still works; the user hears about it once, not per rebuild or
    // key. After a loss the device may be back (plugged in again, its server restarted): each
    // call tries again.
    if (device_failed_ && !device_lost_) return;
    lost_device_.reset();
    try {
      opened = open_device_();
      opened->SetCooperativeLevel(window_(), kCooperativePriority);
    } catch (...) {
      const bool told = device_failed_;
      device_failed_ = true;
      if (!told) throw;
      // Quietly without a device, whose next try makes a buffer for the bank of this call.
      BufferDesc.buffer_bytes = static_cast<uint32_t>(buffer_bytes);
      return;
    }
    device = opened.get();
    device->WatchLoss([this] { DeviceLost(); });
    // The events serve every buffer of this device: a rebuild makes none.
    event0 = device->CreateEvent(sink_);
    event1 = device->CreateEvent(sink_);
    desc.flags = kCtrlVolume | kCtrlPositionNotify;
    WaveFormat& f = desc.format;
    f.format_tag = 1;
    f.channels = 1;
    f.samples_per_sec = 11025;
    f.bits_per_sample = 16;
    f.block_align = static_cast<uint16_t>(runtime::CInt(16.0 / 8));
    f.avg_bytes_per_sec = f.block_align * f.samples_per_sec;
    f.extra_size = 0;
  }
  desc.buffer_bytes = static_cast<uint32_t>(buffer_bytes);

  const std::array<PositionNotify, 2> table = {
      {{runtime::CLng(buffer_bytes / 2.0 - kNotifyLead), event0},
       {buffer_bytes - kNotifyLead, event1}}};
  std::unique_ptr<audio::SoundBuffer> buffer = device->CreateSoundBuffer(desc);
  buffer->SetNotificationPositions(table);
  buffer->SetVolume(Volume());

  if (opened) {
    SoundDevice = std::move(opened);
    device_failed_ = false;
    device_lost_ = false;
  }
  BufferDesc = desc;
  NotifyEvent0 = event0;
  NotifyEvent1 = event1;
  NotifyTable = table;
  SoundBuffer = std::move(buffer);
  WriteCursor = 0;
  OutputReady = true;
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
  if (device_lost_) {
    const int32_t block = BufferBytes() / 4;
    CreateOutput(block);
    return;
  }
  if (!SoundBuffer) return;
  SoundBuffer->Stop();
  SoundBuffer->Renew();
  WriteCursor = 0;
}

void PlayDX8Module::DeviceLost() {
  // The buffer goes before its device. The device is closed only at the next try to open one:
  // closing waits for its sound server, which may hang (that is how some losses look).
  SoundBuffer.reset();
  lost_device_ = std::move(SoundDevice);
  OutputReady = false;
  WriteCursor = 0;
  device_lost_ = true;
  sink_.DeviceLost();
}

}  // namespace audio
