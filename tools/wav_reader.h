// Reads the first channel of a RIFF WAV file: PCM of 8 or 16 bits, mu-law or A-law (plain or as
// WAVE_FORMAT_EXTENSIBLE), at any rate, as samples on the 16-bit scale.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tools {

struct WavSound {
  int32_t rate = 0;
  std::vector<float> samples;
};

// Returns an empty string on success, else what is wrong with the file.
std::string ReadWav(const std::string& path, WavSound& sound);

// The same from the file's bytes.
std::string ParseWav(const std::vector<unsigned char>& bytes, WavSound& sound);

}  // namespace tools
