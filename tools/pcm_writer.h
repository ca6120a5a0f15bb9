// Writes 16-bit mono samples at 11025 Hz as a RIFF WAV file (names ending in .wav) or as raw
// little-endian samples (any other name, or "-" for standard output).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace tools {

// Writes all samples; returns an empty string on success, else a message saying what failed.
// A file that could not be written completely is removed rather than left truncated.
std::string WritePcm(const std::string& path, std::span<const int16_t> samples);

}  // namespace tools
