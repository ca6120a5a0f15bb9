// Reads the first channel of a RIFF WAV file a piece at a time: PCM of 8 or 16 bits, mu-law or
// A-law (plain or as WAVE_FORMAT_EXTENSIBLE), at 4000 to 192000 Hz, as samples on the 16-bit
// scale. Memory does not grow with the file.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tools {

// The rates a file may have: the highest DTMF tone needs 4000 Hz, and no recorder goes beyond
// 192000 Hz.
inline constexpr int32_t kLowestWavRate = 4000;
inline constexpr int32_t kHighestWavRate = 192000;

class WavReader {
 public:
  // Fills `to` with up to `size` bytes and returns how many; fewer only at the end of the input.
  using Source = std::function<size_t(unsigned char* to, size_t size)>;

  // Reads the header up to the first sample. `size` is the whole input's size where it is known
  // (a file, not a pipe): no size in the header may reach beyond it. Returns an empty string,
  // else what is wrong with the input.
  std::string Open(Source source, std::optional<uint64_t> size);

  int32_t rate() const { return rate_; }

  // The next samples, at most to.size(); none at the end of the data.
  size_t Read(std::span<float> to);

 private:
  bool Skip(uint64_t bytes);

  Source source_;
  int32_t rate_ = 0;
  uint32_t tag_ = 0;    // 1 PCM, 6 A-law, 7 mu-law
  uint32_t bits_ = 0;   // of a sample
  uint32_t align_ = 0;  // bytes of a frame, all channels
  uint64_t left_ = 0;   // bytes of whole frames still to read
  std::vector<unsigned char> buffer_;
};

// A WAV file opened for reading.
class WavFile {
 public:
  // Returns an empty string, else why the file cannot be read (naming it).
  std::string Open(const std::string& path);
  WavReader& reader() { return reader_; }
  // Whether reading failed before the end of the file.
  bool failed() const;

 private:
  std::unique_ptr<FILE, int (*)(FILE*)> file_{nullptr, std::fclose};
  WavReader reader_;
};

}  // namespace tools
