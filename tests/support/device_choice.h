// The sound device a test program or benchmark plays through, chosen on its command line:
//   --device linux|pipewire|pulse|sdl   the default one (PipeWire, else the PulseAudio server,
//                         else SDL2; the default), or that one
//   --target-ms N        PulseAudio: the buffering kept at the server (PulseBuffering::target_ms)
//   --request-ms N       PulseAudio: the step it asks for more in
//   --period N           PipeWire: the period asked for, in samples (PipewireBuffering::period)
//   --sdl-period N       SDL2: its period, in samples (SdlBuffering::period)
//   --sdl-margin N       SDL2: the queue kept beyond it (SdlBuffering::margin)
//   --fixed              PulseAudio, PipeWire: no growth after a hole
//   --queued-start       PulseAudio: a start waits behind the queued silence instead of replacing
//   it
#pragma once

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "audio/linux_device.h"
#include "audio/pipewire/pipewire_device.h"
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
        name_ = argv[++i];
        if (name_ != "linux" && name_ != "pipewire" && name_ != "pulse" && name_ != "sdl") {
          return Bad(a);
        }
      } else if ((a == "--target-ms" || a == "--request-ms") && has_value) {
        const int ms = std::atoi(argv[++i]);
        if (ms <= 0) return Bad(a);
        (a == "--target-ms" ? pulse_.target_ms : pulse_.request_ms) = static_cast<uint32_t>(ms);
      } else if (a == "--period" && has_value) {
        const int n = std::atoi(argv[++i]);
        if (n <= 0) return Bad(a);
        pipewire_.period = static_cast<uint32_t>(n);
      } else if ((a == "--sdl-period" || a == "--sdl-margin") && has_value) {
        const int n = std::atoi(argv[++i]);
        if (n <= 0) return Bad(a);
        (a == "--sdl-period" ? sdl_.period : sdl_.margin) = static_cast<uint32_t>(n);
      } else if (a == "--fixed") {
        pulse_.grow = false;
        pipewire_.grow = false;
      } else if (a == "--queued-start") {
        pulse_.bring_forward = false;
      } else {
        argv[kept++] = argv[i];
      }
    }
    argc = kept;
    return true;
  }

  // Raises runtime::Error when the device cannot be opened.
  std::unique_ptr<audio::SoundDevice> Open(runtime::Dispatcher& dispatcher) {
    ++opened_;
    std::unique_ptr<audio::SoundDevice> d;
    if (name_ == "pipewire") {
      d = std::make_unique<audio::PipewireSoundDevice>(dispatcher, pipewire_);
    } else if (name_ == "pulse") {
      d = std::make_unique<audio::PulseSoundDevice>(dispatcher, pulse_);
    } else if (name_ == "sdl") {
      d = std::make_unique<audio::SdlSoundDevice>(dispatcher, sdl_);
    } else {
      audio::LinuxDevice opened = audio::OpenLinuxDevice(dispatcher);
      if (!opened.no_server.empty()) {
        std::fprintf(stderr, "%s: no sound server (%s); playing through SDL2\n",
                     program_invocation_short_name, opened.no_server.c_str());
      }
      d = std::move(opened.device);
    }
    pipewire_device_ = dynamic_cast<audio::PipewireSoundDevice*>(d.get());
    pulse_device_ = dynamic_cast<audio::PulseSoundDevice*>(d.get());
    sdl_device_ = dynamic_cast<audio::SdlSoundDevice*>(d.get());
    return d;
  }

  // Of the device opened last; a device opened again (after one was lost) counts from its opening.
  audio::MixStats Mix() const {
    if (pipewire_device_) return pipewire_device_->Stats().mix;
    return pulse_device_ ? pulse_device_->Stats().mix : sdl_device_->Stats().mix;
  }
  // The holes the device counted (PipeWire: periods played without its samples; PulseAudio: the
  // server's underflows; SDL2: periods its queue could not fill).
  int64_t Holes() const {
    if (pipewire_device_) return pipewire_device_->Stats().holes;
    return pulse_device_ ? pulse_device_->Stats().underflows : sdl_device_->Stats().holes;
  }
  std::string Describe() const {
    char text[240];
    if (pipewire_device_) {
      const audio::PipewireStats s = pipewire_device_->Stats();
      std::snprintf(
          text, sizeof text,
          "device PipeWire: period %.1f ms (asked %u samples, from %u, %lld growths, %lld "
          "shrinks), holes %lld (%.1f ms late)",
          s.period_ms, s.asked, pipewire_.period, static_cast<long long>(s.growths),
          static_cast<long long>(s.shrinks), static_cast<long long>(s.holes), s.hole_ms);
    } else if (pulse_device_) {
      const audio::PulseStats s = pulse_device_->Stats();
      std::snprintf(text, sizeof text,
                    "device PulseAudio: buffering %u ms (from %u, %lld growths), request %u ms, "
                    "latency %.1f ms, %lld starts brought forward",
                    s.target_ms, pulse_.target_ms, static_cast<long long>(s.growths),
                    pulse_.request_ms, s.latency_ms, static_cast<long long>(s.brought_forward));
    } else {
      const audio::SdlStats s = sdl_device_->Stats();
      std::snprintf(text, sizeof text,
                    "device SDL2: period %u samples, queue %u, holes %lld, %lld starts brought "
                    "forward",
                    sdl_.period, sdl_.period + sdl_.margin, static_cast<long long>(s.holes),
                    static_cast<long long>(s.brought_forward));
    }
    return text;
  }
  int Opened() const { return opened_; }

 private:
  bool Bad(std::string_view option) {
    std::fprintf(stderr, "bad value for %.*s\n", static_cast<int>(option.size()), option.data());
    return false;
  }

  std::string name_ = "linux";
  audio::PulseBuffering pulse_;
  audio::PipewireBuffering pipewire_;
  audio::SdlBuffering sdl_;
  audio::PipewireSoundDevice* pipewire_device_ = nullptr;
  audio::PulseSoundDevice* pulse_device_ = nullptr;
  audio::SdlSoundDevice* sdl_device_ = nullptr;
  int opened_ = 0;
};

}  // namespace testsupport
