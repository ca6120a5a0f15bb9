// What anyone would write for `kavrel-render bank`: the 17 rows in one plain loop on one thread,
// two calls of the C library's sin per sample, then one fwrite to standard output. The baseline
// of render_vs_plain.sh.
//   plain_bank [TONE_TIME_MS]
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/support/reference_tones.h"

int main(int argc, char** argv) {
  const float tone_time = argc > 1 ? std::strtof(argv[1], nullptr) : 40.0f;
  const std::vector<int16_t> bank = testsupport::PlainToneBank(
      tone_time, synth::SlopeEnvelope::Standard(), [](double x) { return std::sin(x); });
  return std::fwrite(bank.data(), sizeof bank[0], bank.size(), stdout) == bank.size() ? 0 : 1;
}
