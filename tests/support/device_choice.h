// The sound device a benchmark plays through, chosen on its command line:
//   --device pulse|sdl   the sound server's own (the default) or SDL2
//   --target-ms N        the buffering kept at the server (PulseBuffering::target_ms)
//   --request-ms N       the step it asks for more in
//   --fixed              no growth after an underflow
//   --queued-start       a start waits behind the queued silence instead of replacing it
#pragma once

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "audio/pulse/pulse_device.h"
#include "audio/sdl/sdl_device.h"

namespace testsupport {

class DeviceChoice {
 public:
  // Takes the options it knows out of argv; false (having said why) on a bad one.
  bool Parse(int& argc, char** argv) {
    int kept = 1;
    for (int i = 1; i < argc; ++i) {
      const std::string_view a = argv[i];
      const bool has_value = i + 1 < argc;
      if (a == "--device" && has_value) {
        const std::string_view d = argv[++i];
        if (d != "pulse" && d != "sdl") return Bad(a);
        sdl_ = d == "sdl";
      } else if ((a == "--target-ms" || a == "--request-ms") && has_value) {
        const int ms = std::atoi(argv[++i]);
        if (ms <= 0) return Bad(a);
        (a == "--target-ms" ? buffering_.target_ms : buffering_.request_ms) =
            static_cast<uint32_t>(ms);
      } else if (a == "--fixed") {
        buffering_.grow = false;
      } else if (a == "--queued-start") {
        buffering_.bring_forward = false;
      } else {
        argv[kept++] = argv[i];
      }
    }
    argc = kept;
    return true;
  }

  std::unique_ptr<audio::SoundDevice> Open(runtime::Dispatcher& dispatcher) {
    ++opened_;
    if (sdl_) {
      auto d = std::make_unique<audio::SdlSoundDevice>(dispatcher);
      sdl_device_ = d.get();
      return d;
    }
    auto d = std::make_unique<audio::PulseSoundDevice>(dispatcher, buffering_);
    pulse_device_ = d.get();
    return d;
  }

  // Of the device opened last; a device opened again (after one was lost) counts from its opening.
  audio::MixStats Mix() const {
    return pulse_device_ ? pulse_device_->Stats().mix : sdl_device_->Stats();
  }
  // -1 where the device cannot tell (SDL2).
  int64_t ServerUnderflows() const {
    return pulse_device_ ? pulse_device_->Stats().underflows : -1;
  }
  std::string Describe() const {
    if (!pulse_device_) return "device SDL2 (it cannot tell the server's underflows)";
    const audio::PulseStats s = pulse_device_->Stats();
    char text[200];
    std::snprintf(text, sizeof text,
                  "device PulseAudio: buffering %u ms (from %u, %lld growths), request %u ms, "
                  "latency %.1f ms, %lld starts brought forward",
                  s.target_ms, buffering_.target_ms, static_cast<long long>(s.growths),
                  buffering_.request_ms, s.latency_ms, static_cast<long long>(s.brought_forward));
    return text;
  }
  int Opened() const { return opened_; }

 private:
  bool Bad(std::string_view option) {
    std::fprintf(stderr, "bad value for %.*s\n", static_cast<int>(option.size()), option.data());
    return false;
  }

  bool sdl_ = false;
  audio::PulseBuffering buffering_;
  audio::PulseSoundDevice* pulse_device_ = nullptr;
  audio::SdlSoundDevice* sdl_device_ = nullptr;
  int opened_ = 0;
};

}  // namespace testsupport
