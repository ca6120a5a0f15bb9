// Finds the DTMF tones in a recording as it is read, and measures them. A receiver's tests decide
// where a key sounds (Goertzel filters at the eight frequencies over blocks of 12.8 ms, every
// 6.4 ms: one tone of each group well above the others and carrying most of the block's energy,
// no strong second harmonics, a twist and level in bounds, two blocks in a row); around each
// key, the two tones' envelopes place its start and end at half its amplitude, and the peak of
// the Hann-windowed spectrum over its steady part gives each frequency and level. Time and memory
// are linear in the file's length and bounded, whatever the length of a tone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>

namespace tools {

struct DtmfTone {
  char digit = 0;
  uint64_t start_sample = 0;  // the sample nearest to its start
  double start_s = 0;
  double length_ms = 0;
  std::optional<double> pause_ms;  // none before the first tone
  double low_hz = 0, high_hz = 0;
  double low_error_pct = 0, high_error_pct = 0;  // against the nominal frequencies
  double low_dbfs = 0, high_dbfs = 0;            // a sine of amplitude 32768 is 0 dBFS
  double twist_db = 0;                           // the high tone's level minus the low one's
};

class DtmfFinder {
 public:
  using Found = std::function<void(const DtmfTone&)>;

  // Samples at `rate` Hz (4000 to 192000); `found` receives the tones in order, each once it has
  // ended.
  DtmfFinder(int32_t rate, Found found);
  ~DtmfFinder();
  DtmfFinder(const DtmfFinder&) = delete;
  DtmfFinder& operator=(const DtmfFinder&) = delete;

  // The next samples, on the 16-bit scale, in pieces of any size.
  void Feed(std::span<const float> samples);
  // The end of the recording: the tones still open are measured and reported.
  void Finish();

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tools
