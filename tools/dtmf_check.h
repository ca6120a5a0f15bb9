// Finds the DTMF tones in a recording and measures them: Goertzel filters at the eight
// frequencies over short frames find where each key sounds; around each, the two tones'
// envelopes (a demodulation at each measured frequency, smoothed by a Hann window) place its
// start and end at half its amplitude, and the peak of the Hann-windowed spectrum over its
// steady part gives each frequency and level.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tools {

struct DtmfTone {
  char digit = 0;
  double start_s = 0;
  double length_ms = 0;
  std::optional<double> pause_ms;  // none before the first tone
  double low_hz = 0, high_hz = 0;
  double low_error_pct = 0, high_error_pct = 0;  // against the nominal frequencies
  double low_dbfs = 0, high_dbfs = 0;            // a sine of amplitude 32768 is 0 dBFS
  double twist_db = 0;                           // the high tone's level minus the low one's
};

// The tones in samples on the 16-bit scale at `rate` Hz, in order.
std::vector<DtmfTone> FindDtmfTones(std::span<const float> samples, int32_t rate);

// The table of tones and one line per ITU-T Q.24 rule they break, or that all hold; the exit
// code is 0 when all hold, 1 otherwise (also when there is no tone at all).
struct DtmfVerdict {
  std::string text;
  int exit_code = 0;
};
DtmfVerdict JudgeDtmf(const std::vector<DtmfTone>& tones);

}  // namespace tools
