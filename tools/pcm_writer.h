// Writes mono samples as a RIFF WAV file (names ending in .wav) or raw (any other name, or "-" for
// standard output): 16-bit little-endian PCM, or one G.711 byte per sample.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "tools/sound_format.h"

namespace tools {

// Writes all samples; returns an empty string on success, else a message saying what failed.
// A file that could not be written completely is removed rather than left truncated.
// The samples are at format.rate already; G.711 encodes them here.
std::string WritePcm(const std::string& path, std::span<const int16_t> samples,
                     const SoundFormat& format = {});

}  // namespace tools
