// libFuzzer target for `kavrel-render check`: any bytes as a WAV file, read and, when they read,
// searched for tones and judged:
// - reading either fails with a reason or gives a rate of 4000 to 192000 Hz and samples on the
//   16-bit scale, no more than the bytes, and never when a size in the header reaches beyond the
//   end;
// - the same tones come whether the samples are fed at once or in pieces of any size;
// - the tones come in order, each of a positive length after a positive pause, with finite
//   figures, digits of the keypad, frequencies within 5% of the nominal ones;
// - the verdict is 0 or 1, and 0 only with tones.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "tests/fuzz/fuzz_check.h"
#include "tools/dtmf_check.h"
#include "tools/dtmf_report.h"
#include "tools/wav_reader.h"

using fuzz::Check;

namespace {

uint32_t Le32(const std::uint8_t* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | uint32_t{p[3]} << 24;
}

// Whether the RIFF size or a chunk's size reaches beyond the end of the bytes (the RIFF size by
// more than a pad byte), looking no further than the data chunk.
bool SizeBeyondEnd(const std::uint8_t* data, std::size_t size) {
  if (size >= 8 && 8 + uint64_t{Le32(data + 4)} > size + 1) return true;
  for (uint64_t at = 12; at + 8 <= size;) {
    const uint64_t length = Le32(data + at + 4);
    if (at + 8 + length > size) return true;
    if (!std::memcmp(data + at, "data", 4)) return false;
    at += 8 + length + (length & 1);
  }
  return false;
}

// The tones of all the samples, fed in pieces of `piece` samples.
std::vector<tools::DtmfTone> Tones(const std::vector<float>& samples, int32_t rate, size_t piece) {
  std::vector<tools::DtmfTone> tones;
  tools::DtmfFinder finder(rate, [&tones](const tools::DtmfTone& t) { tones.push_back(t); });
  for (size_t at = 0; at < samples.size(); at += piece) {
    finder.Feed({samples.data() + at, std::min(piece, samples.size() - at)});
  }
  finder.Finish();
  return tones;
}

bool Same(const tools::DtmfTone& a, const tools::DtmfTone& b) {
  return a.digit == b.digit && a.start_sample == b.start_sample && a.start_s == b.start_s &&
         a.length_ms == b.length_ms && a.pause_ms == b.pause_ms && a.low_hz == b.low_hz &&
         a.high_hz == b.high_hz && a.low_dbfs == b.low_dbfs && a.high_dbfs == b.high_dbfs;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::size_t at = 0;
  tools::WavReader reader;
  const std::string problem = reader.Open(
      [&](unsigned char* to, std::size_t n) {
        n = std::min(n, size - at);
        std::memcpy(to, data + at, n);
        at += n;
        return n;
      },
      size);
  if (!problem.empty()) return 0;
  Check(reader.rate() >= tools::kLowestWavRate && reader.rate() <= tools::kHighestWavRate,
        "a rate of 4000 to 192000 Hz");
  Check(!SizeBeyondEnd(data, size), "no size beyond the end");
  std::vector<float> samples;
  float piece[333];
  while (const std::size_t n = reader.Read(piece)) samples.insert(samples.end(), piece, piece + n);
  Check(samples.size() <= size, "no more samples than bytes");
  for (float v : samples) Check(v >= -32768 && v <= 32767, "samples on the 16-bit scale");

  const std::vector<tools::DtmfTone> tones = Tones(samples, reader.rate(), samples.size() + 1);
  const std::vector<tools::DtmfTone> pieces = Tones(samples, reader.rate(), 1 + size % 997);
  Check(pieces.size() == tones.size(), "as many tones fed in pieces");
  tools::DtmfReport report(false, reader.rate());
  for (size_t i = 0; i < tones.size(); ++i) {
    const tools::DtmfTone& t = tones[i];
    Check(Same(t, pieces[i]), "the same tone fed in pieces");
    Check(t.digit && std::strchr("123A456B789C*0#D", t.digit), "a digit of the keypad");
    Check(std::isfinite(t.start_s) && t.start_s >= 0 && t.length_ms > 0, "a start and a length");
    Check(t.pause_ms.has_value() == (i > 0), "a pause before all but the first");
    Check(!t.pause_ms || *t.pause_ms > 0, "tones apart");
    Check(std::abs(t.low_error_pct) <= 5.01 && std::abs(t.high_error_pct) <= 5.01,
          "frequencies within 5%");
    Check(std::isfinite(t.low_dbfs) && std::isfinite(t.high_dbfs) && std::isfinite(t.twist_db),
          "finite levels");
    report.Add(t);
  }
  report.End(samples.size());
  Check(report.exit_code() == 0 || report.exit_code() == 1, "exit 0 or 1");
  Check(report.exit_code() == 1 || !tones.empty(), "exit 0 only with tones");
  return 0;
}
