// The buffer contract (audio/device.h) broken one rule at a time: every device's test runs these
// cases, and each must be refused with a runtime::Error that says what was wrong.
#pragma once

#include <string>

#include "audio/device.h"
#include "runtime/error.h"

namespace testsupport {

// What the output module asks for at the default tone time: two 80 ms halves.
inline audio::BufferDesc DefaultDesc() {
  audio::BufferDesc desc;
  desc.flags = audio::kCtrlVolume | audio::kCtrlPositionNotify;
  desc.buffer_bytes = 3528;
  desc.format = {1, 1, 11025, 22050, 2, 16, 0};
  return desc;
}

// One breach of the contract, made on `buffer` (stopped, from DefaultDesc()) of `device`, whose
// event `made` exists.
struct Breach {
  const char* what;
  const char* says;  // part of the refusal's description
  void (*make)(audio::SoundDevice& device, audio::SoundBuffer& buffer, audio::EventHandle made);
};

inline audio::BufferDesc DescWith(void (*change)(audio::BufferDesc&)) {
  audio::BufferDesc desc = DefaultDesc();
  change(desc);
  return desc;
}

inline const Breach kBreaches[] = {
    {"a buffer of 8-bit samples", "16-bit mono PCM",
     [](audio::SoundDevice& d, audio::SoundBuffer&, audio::EventHandle) {
       d.CreateSoundBuffer(DescWith([](audio::BufferDesc& b) {
         b.format.bits_per_sample = 8;
         b.format.block_align = 1;
       }));
     }},
    {"a buffer at 22050 samples per second", "11025 samples per second",
     [](audio::SoundDevice& d, audio::SoundBuffer&, audio::EventHandle) {
       d.CreateSoundBuffer(
           DescWith([](audio::BufferDesc& b) { b.format.samples_per_sec = 22050; }));
     }},
    {"a buffer of an odd size", "buffer size 3527",
     [](audio::SoundDevice& d, audio::SoundBuffer&, audio::EventHandle) {
       d.CreateSoundBuffer(DescWith([](audio::BufferDesc& b) { b.buffer_bytes = 3527; }));
     }},
    {"a write past the end", "write of 1000 bytes at 3000",
     [](audio::SoundDevice&, audio::SoundBuffer& b, audio::EventHandle) {
       const char bytes[1000] = {};
       b.WriteBuffer(3000, 1000, bytes);
     }},
    {"a write before the start", "write of 4 bytes at -2",
     [](audio::SoundDevice&, audio::SoundBuffer& b, audio::EventHandle) {
       const char bytes[4] = {};
       b.WriteBuffer(-2, 4, bytes);
     }},
    {"a volume above 0", "volume 1",
     [](audio::SoundDevice&, audio::SoundBuffer& b, audio::EventHandle) { b.SetVolume(1); }},
    {"a volume below -10000", "volume -10001",
     [](audio::SoundDevice&, audio::SoundBuffer& b, audio::EventHandle) { b.SetVolume(-10001); }},
    {"a position outside the buffer", "offset 3528 outside",
     [](audio::SoundDevice&, audio::SoundBuffer& b, audio::EventHandle made) {
       const audio::PositionNotify outside[] = {{3528, made}};
       b.SetNotificationPositions(outside);
     }},
    {"an event the device did not make", "event 77 was not created",
     [](audio::SoundDevice&, audio::SoundBuffer& b, audio::EventHandle) {
       const audio::PositionNotify unknown[] = {{0, 77}};
       b.SetNotificationPositions(unknown);
     }},
    {"new positions while playing", "while playing",
     [](audio::SoundDevice&, audio::SoundBuffer& b, audio::EventHandle made) {
       const audio::PositionNotify inside[] = {{1104, made}};
       b.Play(audio::kPlayLooping);
       try {
         b.SetNotificationPositions(inside);
       } catch (...) {
         b.Stop();
         throw;
       }
       b.Stop();
     }},
};

// The refusal's description, or "" when the breach was let through.
inline std::string RefusalOf(const Breach& breach, audio::SoundDevice& device,
                             audio::SoundBuffer& buffer, audio::EventHandle made) {
  try {
    breach.make(device, buffer, made);
  } catch (const runtime::Error& e) {
    return e.number() == runtime::kInvalidCall ? e.description()
                                               : "error " + std::to_string(e.number());
  }
  return "";
}

}  // namespace testsupport
