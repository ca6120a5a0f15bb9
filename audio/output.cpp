#include "audio/output.h"

#include <string>

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
  if (!SoundDevice) {
    // Without a device the window still works; the user hears about it once, not per rebuild.
    if (device_failed_) return;
    try {
      SoundDevice = open_device_();
    } catch (...) {
      device_failed_ = true;
      throw;
    }
    SoundDevice->SetCooperativeLevel(window_(), kCooperativePriority);
    BufferDesc.flags = kCtrlVolume | kCtrlPositionNotify;
    WaveFormat& f = BufferDesc.format;
    f.format_tag = 1;
    f.channels = 1;
    f.samples_per_sec = 11025;
    f.bits_per_sample = 16;
    f.block_align = static_cast<uint16_t>(runtime::CInt(16.0 / 8));
    f.avg_bytes_per_sec = f.block_align * f.samples_per_sec;
    f.extra_size = 0;
  }
  BufferDesc.buffer_bytes = static_cast<uint32_t>(buffer_bytes);

  NotifyEvent0 = SoundDevice->CreateEvent(sink_);
  NotifyTable[0] = {runtime::CLng(buffer_bytes / 2.0 - kNotifyLead), NotifyEvent0};
  NotifyEvent1 = SoundDevice->CreateEvent(sink_);
  NotifyTable[1] = {buffer_bytes - kNotifyLead, NotifyEvent1};

  SoundBuffer = SoundDevice->CreateSoundBuffer(BufferDesc);
  SoundBuffer->SetNotificationPositions(NotifyTable);
  SoundBuffer->SetVolume(Volume());
  WriteCursor = 0;
  OutputReady = true;
}

void PlayDX8Module::WriteToneBlock(const int16_t& ToneNumber) {
  if (!SoundBuffer) return;
  if (ToneNumber < 0 || ToneNumber >= synth::kToneCount) {
    throw runtime::Error(runtime::kInvalidCall, "Tone number " + std::to_string(ToneNumber) +
                                                    " is not a row of the tone bank");
  }
  SoundBuffer->SetVolume(Volume());
  const int32_t half = runtime::CLng(BufferBytes() / 2.0);
  SoundBuffer->WriteBuffer(WriteCursor, half, ToneBank.Row(ToneNumber).data());
  WriteCursor += half;
  if (WriteCursor >= BufferBytes()) WriteCursor -= BufferBytes();
}

void PlayDX8Module::StartOutput() {
  if (!SoundBuffer) return;
  SoundBuffer->SetVolume(Volume());
  SoundBuffer->Play(kPlayLooping);
}

void PlayDX8Module::ResetOutput() {
  if (!SoundBuffer) return;
  SoundBuffer->Stop();
  SoundBuffer->Renew();
  WriteCursor = 0;
}

}  // namespace audio
