// The streaming output: a looping buffer of two tone blocks. While one half plays, the window is
// notified 660 bytes (about 30 ms) before its end and writes the next block into the other half.
// The module decides nothing about what plays; the dial controller does.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "audio/device.h"
#include "synth/slope_filter.h"
#include "synth/tone_bank.h"

namespace audio {

// Bytes before the end of each half at which its notification fires: 330 samples.
inline constexpr int32_t kNotifyLead = 660;

class PlayDX8Module {
 public:
  // scroll_value reads the volume scroll bar (1..5001); the buffer volume is 1 - value.
  // window gives the handle the device cooperates with; sink receives the notifications.
  PlayDX8Module(DeviceFactory open_device, std::function<int16_t()> scroll_value,
                std::function<runtime::WindowHandle()> window, EventSink& sink);

  // Makes a new stopped buffer of two blocks with its notifications; WriteCursor 0. At the first
  // call it also sets up the device and its two events, and raises the error if that fails. While
  // no device is open (none opened at the first call, or it was lost since) it only records the
  // new size, for the buffer that the next ResetOutput makes. Any other failure leaves the buffer,
  // its description and its notifications as they were.
  void CreateOutput(const int32_t& BlockSamples);
  // Writes tone bank row ToneNumber into the half at WriteCursor and moves to the other half.
  // A row shorter than the half is refused.
  void WriteToneBlock(const int16_t& ToneNumber);
  // Applies the volume and plays looping from the current position.
  void StartOutput();
  // Stops and leaves a fresh, stopped buffer with the same notifications; WriteCursor 0. While no
  // device is open (none was there at start-up, or it was lost), tries once to open the default
  // device for it, and raises the error when that fails: the caller's action (a key, a Play, a
  // Send) ends there, so one action costs at most one try however many keys it holds.
  void ResetOutput();

  // Builds the tone bank for ToneDuration beside the one in use (synth::GenTones), makes the
  // buffer for its blocks (CreateOutput), and only then puts the bank in use: a failure in either
  // leaves the window playing the bank and the buffer it had. The bank replaced is kept as the
  // storage of the next one. Returns the new BlockSamples.
  int32_t InstallToneBank(const float& ToneDuration, const synth::SlopeEnvelope& slope);
  // Applies the volume rule to the buffer now, when there is one.
  void SetVolume();
  // Stops the buffer and lets it go: the window closes.
  void ReleaseOutput();

  // Volume rule: 1 - the scroll bar's value, in 16-bit arithmetic.
  int32_t Volume() const;
  // The device is open and has had a buffer made on it: false before that, and while none is open
  // until a reset opens one.
  bool OutputReady() const { return device_state_ == DeviceState::kOpen; }

  // A read-only look at the state, for tests and measurements.
  struct Inspection {
    const synth::ToneBank& ToneBank;
    const audio::SoundDevice* SoundDevice;
    const audio::SoundBuffer* SoundBuffer;
    audio::BufferDesc BufferDesc;
    std::array<PositionNotify, 2> NotifyTable;
    EventHandle NotifyEvent0;
    EventHandle NotifyEvent1;
    int32_t WriteCursor;
  };
  Inspection Inspect() const {
    return {ToneBank,    SoundDevice.get(), SoundBuffer.get(), BufferDesc,
            NotifyTable, NotifyEvent0,      NotifyEvent1,      WriteCursor};
  }

 private:
  enum class DeviceState {
    kNotOpened,  // before the first CreateOutput
    kOpen,
    // None could be opened at the first call, or it went away since: the window goes on without
    // sound, and the next ResetOutput tries again.
    kClosed,
  };

  int32_t BufferBytes() const { return static_cast<int32_t>(BufferDesc.buffer_bytes); }
  // The device's report that it went away: the buffer and the device are let go and the sink
  // hears of it.
  void DeviceLost();

  // Opens the default device, with its events, and makes a buffer of buffer_bytes on it.
  void OpenOutput(int32_t buffer_bytes);
  // Makes the buffer on `device` with `desc`; puts it in place once nothing can fail.
  void MakeBuffer(audio::SoundDevice& device, const audio::BufferDesc& desc, EventHandle event0,
                  EventHandle event1);

  synth::ToneBank ToneBank;
  // Where the next bank is built while ToneBank plays on: the storage of the bank before, kept
  // so that a rebuild in the steady state allocates nothing.
  synth::ToneBank SpareToneBank;
  std::unique_ptr<audio::SoundDevice> SoundDevice;
  std::unique_ptr<audio::SoundBuffer> SoundBuffer;
  audio::BufferDesc BufferDesc;
  std::array<PositionNotify, 2> NotifyTable{};
  EventHandle NotifyEvent0 = 0;
  EventHandle NotifyEvent1 = 0;
  int32_t WriteCursor = 0;

  DeviceFactory open_device_;
  std::function<int16_t()> scroll_value_;
  std::function<runtime::WindowHandle()> window_;
  EventSink& sink_;
  DeviceState device_state_ = DeviceState::kNotOpened;
  std::unique_ptr<audio::SoundDevice> lost_device_;
};

}  // namespace audio
