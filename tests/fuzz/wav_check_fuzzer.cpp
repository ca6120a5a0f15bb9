// libFuzzer target for `kavrel-render check`: any bytes as a WAV file, read and, when they read,
// searched for tones and judged:
// - reading either fails with a reason or gives a rate and samples on the 16-bit scale;
// - the tones come in order, each of a positive length after a positive pause, with finite
//   figures, digits of the keypad, frequencies within 5% of the nominal ones;
// - the verdict is 0 or 1, and 0 only with tones.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tests/fuzz/fuzz_check.h"
#include "tools/dtmf_check.h"
#include "tools/wav_reader.h"

using fuzz::Check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<unsigned char> bytes(data, data + size);
  tools::WavSound sound;
  const std::string problem = tools::ParseWav(bytes, sound);
  if (!problem.empty()) return 0;
  Check(sound.samples.size() <= size, "no more samples than bytes");
  for (float v : sound.samples) Check(v >= -32768 && v <= 32767, "samples on the 16-bit scale");

  const std::vector<tools::DtmfTone> tones = tools::FindDtmfTones(sound.samples, sound.rate);
  for (size_t i = 0; i < tones.size(); ++i) {
    const tools::DtmfTone& t = tones[i];
    Check(t.digit && std::strchr("123A456B789C*0#D", t.digit), "a digit of the keypad");
    Check(std::isfinite(t.start_s) && t.start_s >= 0 && t.length_ms > 0, "a start and a length");
    Check(t.pause_ms.has_value() == (i > 0), "a pause before all but the first");
    Check(!t.pause_ms || *t.pause_ms > 0, "tones apart");
    Check(std::abs(t.low_error_pct) <= 5.01 && std::abs(t.high_error_pct) <= 5.01,
          "frequencies within 5%");
    Check(std::isfinite(t.low_dbfs) && std::isfinite(t.high_dbfs) && std::isfinite(t.twist_db),
          "finite levels");
  }
  const tools::DtmfVerdict verdict = tools::JudgeDtmf(tones);
  Check(verdict.exit_code == 0 || verdict.exit_code == 1, "exit 0 or 1");
  Check(verdict.exit_code == 1 || !tones.empty(), "exit 0 only with tones");
  return 0;
}
