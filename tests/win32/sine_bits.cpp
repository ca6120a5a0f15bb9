// The sines the tone bank is made of, for comparing the Windows build with the Linux one. A
// frequency's phases do not depend on the tone time, so the phases of the longest tone (30000 ms)
// include those of every other; they are taken through synth::Sines, as the bank takes them, and
// through the C library's sin, for the record.
//   sine_bits         one line per frequency: the phase count and FNV-1a hashes of the bits of
//                     the phases, of Sine and of sin
//   sine_bits FILE    also writes every phase, its Sine and its sin as little-endian doubles
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "synth/sine.h"
#include "synth/slope_filter.h"
#include "synth/tone_bank.h"

namespace {

struct Fnv {
  uint64_t hash = 14695981039346656037ull;
  void Add(double value) {
    unsigned char bytes[8];
    std::memcpy(bytes, &value, 8);
    for (unsigned char b : bytes) hash = (hash ^ b) * 1099511628211ull;
  }
};

void Put(std::FILE* out, double value) {
  uint64_t bits;
  std::memcpy(&bits, &value, 8);
  unsigned char bytes[8];
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(bits >> (8 * i));
  std::fwrite(bytes, 1, 8, out);
}

}  // namespace

int main(int argc, char** argv) {
  std::FILE* dump = nullptr;
  if (argc > 1 && (dump = std::fopen(argv[1], "wb")) == nullptr) {
    std::fprintf(stderr, "sine_bits: cannot write %s\n", argv[1]);
    return 1;
  }
  const synth::SlopeEnvelope slope = synth::SlopeEnvelope::Standard();
  const int32_t top = slope.SlopeLength();
  const int32_t samples = 2 * (top + 1) + synth::HoldSamplesFor(30000, top);

  // The bank's own steps and wrap, frequency by frequency: rows, then columns.
  const double per_hz = synth::kTwoPi / synth::kSampleRate;
  for (int f = 0; f < 8; ++f) {
    const int32_t hz = f < 4 ? synth::RowFreq[f] : synth::ColFreq[f - 4];
    const double step = per_hz * hz;
    std::vector<double> phases(static_cast<size_t>(samples));
    double phase = 0;
    for (double& p : phases) {
      phase += step;
      if (phase > synth::kPhaseWrap) phase -= synth::kPhaseWrap;
      p = phase;
    }
    std::vector<double> ours = phases;
    synth::Sines(ours);
    Fnv phase_hash, sines, libm;
    for (size_t s = 0; s < phases.size(); ++s) {
      const double theirs = std::sin(phases[s]);
      phase_hash.Add(phases[s]);
      sines.Add(ours[s]);
      libm.Add(theirs);
      if (dump != nullptr) {
        Put(dump, phases[s]);
        Put(dump, ours[s]);
        Put(dump, theirs);
      }
    }
    std::printf("%d %d phases=%016llx sine=%016llx libm=%016llx\n", hz, samples,
                static_cast<unsigned long long>(phase_hash.hash),
                static_cast<unsigned long long>(sines.hash),
                static_cast<unsigned long long>(libm.hash));
  }
  if (dump != nullptr && std::fclose(dump) != 0) {
    std::fprintf(stderr, "sine_bits: writing %s failed\n", argv[1]);
    return 1;
  }
  return 0;
}
