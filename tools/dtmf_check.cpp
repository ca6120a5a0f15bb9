#include "tools/dtmf_check.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <complex>
#include <deque>
#include <vector>

namespace tools {
namespace {

using Complex = std::complex<double>;

constexpr double kPi = 3.14159265358979323846;
// The low group, then the high one.
constexpr double kNominal[8] = {697, 770, 852, 941, 1209, 1336, 1477, 1633};
constexpr char kKeys[4][5] = {"123A", "456B", "789C", "*0#D"};
constexpr double kFullScale = 32768;

// Blocks of 12.8 ms (102 samples at 8000 Hz: the four rows, 73 to 89 Hz apart, fall near the
// zeros of each other's filters), every 6.4 ms; each block is two half blocks, so every sample
// passes through the eight filters once.
constexpr double kHalfBlockSeconds = 0.0064;
// A block holds a key when, of the eight tones, the strongest of each group is 6 dB above the
// other three of its group; the two carry 70% of the block's energy or more; neither is below
// -65 dBFS; each lies within 5% of its nominal frequency (from its phase turn between the
// halves); the twist is within 12 dB; and neither tone's second harmonic comes within 10 dB of
// it. Speech and music have harmonics, several partials near each other and changing pitch;
// DTMF has none of these.
constexpr double kRelativePeak = 4;  // powers, 6 dB
constexpr double kPairShare = 0.7;
const double kQuietest = kFullScale * std::pow(10.0, -65 / 20.0);
constexpr double kSearchShare = 0.05;
constexpr double kTwistLimitDb = 12;
const double kHarmonicShare = std::pow(10.0, -10 / 20.0);  // amplitudes
// What is a tone, measured over its steady part: the two sines leave at most 25% of its energy
// (white noise down to about 5 dB S/N); what they leave has no partial within 12 dB of the
// weaker sine where a harmonic series through both would have its next partials (two harmonics
// of a voice, 4 x 238 and 5 x 238 Hz, pass for 941 and 1209 Hz; the voice's 3 x 238 and 6 x 238
// Hz are there too), and neither sine's second or third harmonic comes within 15 dB of it (a
// sender's are 20 dB down; an instrument's, even a clarinet's with no second, are not); a
// tone more than 2% off (a sender may be off by 1.8%) counts only when they leave at most 5%
// (13 dB), as a test set's tone does. A peak at the edge of the search is beyond it. Partials
// under 300 Hz, below the telephone band where mains hum lies, are not looked for.
constexpr double kNoisyRest = 0.25;
constexpr double kCleanRest = 0.05;
constexpr double kSenderPct = 2;
const double kSeriesShare = std::pow(10.0, -12 / 20.0);  // amplitudes
const double kHarmonicRest = std::pow(10.0, -15 / 20.0);
constexpr double kLowestPartialHz = 300;
// A key is heard in this many blocks in a row; a key's blocks may miss this many in a row (a
// click or a burst of noise), the envelope then tells whether the tone really stopped.
constexpr uint64_t kConfirmBlocks = 2;
constexpr int kBridgedBlocks = 2;
// The envelope's Hann window: 10 ms keeps the other group's tone (at least 268 Hz away) out. It
// is sampled every millisecond, and each crossing found to a fraction of a sample between.
constexpr double kEnvelopeSeconds = 0.010;
constexpr double kStrideSeconds = 0.001;
// A tone shorter than this at half its amplitude is a blip (a receiver must not take one under
// about 20 ms).
constexpr double kBlipSeconds = 0.015;
// At most this much of a tone's steady middle is measured.
constexpr double kMeasuredSeconds = 0.25;
// A key's run is measured whole up to this length; a longer one by its head, which gives the
// start and the measures, and its last part, which gives the end: the samples kept stay bounded.
constexpr double kHeadSeconds = 0.5;
constexpr double kTailSeconds = 0.1;

// The magnitude of the sum of n samples of a sine `bins` away from a filter's frequency, against
// one at it: the leakage of a rectangular window.
double Leakage(double bins, size_t n) {
  const double x = kPi * bins;
  return std::abs(x) < 1e-9 ? 1.0 : std::abs(std::sin(x) / (n * std::sin(x / n)));
}

// Σ e^(jΔm) for m from 0 to n - 1: what a filter at one frequency takes of a sine Δ radians per
// sample away.
Complex SineSum(double delta, size_t n) {
  const double half = delta / 2;
  if (std::abs(std::sin(half)) < 1e-12) return static_cast<double>(n);
  return std::polar(std::sin(n * half) / std::sin(half), half * (n - 1));
}

// K Goertzel filters side by side, each summing x[i]·e^(-jω·i) over the samples stepped through.
template <size_t K>
class Goertzel {
 public:
  explicit Goertzel(const std::array<double, K>& omega) : omega_(omega) {
    for (size_t k = 0; k < K; ++k) c_[k] = 2 * std::cos(omega[k]);
  }

  void Step(double v) {
    for (size_t k = 0; k < K; ++k) {
      const double s = v + c_[k] * s1_[k] - s2_[k];
      s2_[k] = s1_[k];
      s1_[k] = s;
    }
  }

  // The sums over the n samples stepped through since the last; the filters start again.
  std::array<Complex, K> Take(size_t n) {
    std::array<Complex, K> dft;
    const double last = static_cast<double>(n) - 1;
    for (size_t k = 0; k < K; ++k) {
      dft[k] = std::polar(1.0, -omega_[k] * last) * (s1_[k] - std::polar(1.0, -omega_[k]) * s2_[k]);
      s1_[k] = s2_[k] = 0;
    }
    return dft;
  }

 private:
  std::array<double, K> omega_, c_;
  std::array<double, K> s1_{}, s2_{};
};

// Σ x[i]·e^(-jω·i) at K frequencies.
template <size_t K, typename Sample>
std::array<Complex, K> Dfts(std::span<const Sample> x, const std::array<double, K>& omega) {
  Goertzel<K> filters(omega);
  for (const Sample v : x) filters.Step(v);
  return filters.Take(x.size());
}

// w[i] = 0.5 - 0.5·cos(2π(i + 1) / (n + 1)), the Hann window of n samples, by turning a phasor.
void Hann(size_t n, std::vector<double>& w) {
  w.resize(n);
  const Complex turn = std::polar(1.0, 2 * kPi / (n + 1));
  Complex z = turn;
  for (size_t i = 0; i < n; ++i, z *= turn) w[i] = 0.5 - 0.5 * z.real();
}

// A stretch of samples under a Hann window.
struct Windowed {
  std::vector<double> w, y;  // the window, and it times the samples
  double window_sum = 0;
  double energy = 0;  // Σ w·x²

  void Load(std::span<const float> x) {
    Hann(x.size(), w);
    y.resize(x.size());
    window_sum = energy = 0;
    for (size_t i = 0; i < x.size(); ++i) {
      window_sum += w[i];
      y[i] = w[i] * x[i];
      energy += y[i] * x[i];
    }
  }
};

// The frequency within 5% of `nominal`, near `guess`, where the windowed spectrum peaks, and the
// amplitude of the sine there: a parabola through the logarithms of three magnitudes half a bin
// apart, then a tenth of a bin apart, each after walking uphill until the peak lies between
// them (near its peak, the window's spectrum is nearly a Gaussian).
struct Peak {
  double hz;
  double amplitude;
  Complex phasor;  // amplitude·e^(jφ) of the sine at the first sample
  bool inside;     // within the search, not at its edge
};
Peak FindPeak(const Windowed& s, double guess, double nominal, int32_t rate) {
  const double lowest = nominal * (1 - kSearchShare), highest = nominal * (1 + kSearchShare);
  const std::span<const double> y = s.y;
  const double radians = 2 * kPi / rate;
  const double bin = static_cast<double>(rate) / y.size();
  double hz = std::clamp(guess, lowest, highest);
  for (double step : {0.5 * bin, 0.1 * bin}) {
    double below = 0, at = 0, above = 0;
    for (int walk = 0; walk < 8; ++walk) {
      const auto dft = Dfts<3>(y, {(hz - step) * radians, hz * radians, (hz + step) * radians});
      below = std::log(std::abs(dft[0]) + 1e-30);
      at = std::log(std::abs(dft[1]) + 1e-30);
      above = std::log(std::abs(dft[2]) + 1e-30);
      if (below <= at && above <= at) break;
      const double dir = above > below ? 1 : -1;
      if ((dir > 0 && hz + step > highest) || (dir < 0 && hz - step < lowest)) break;
      hz += dir * step;
    }
    const double curve = below - 2 * at + above;
    if (curve < 0) hz += std::clamp(0.5 * (below - above) / curve, -1.0, 1.0) * step;
    hz = std::clamp(hz, lowest, highest);
  }
  const Complex phasor = 2.0 * Dfts<1>(y, {hz * radians})[0] / s.window_sum;
  return {hz, std::abs(phasor), phasor, hz > lowest && hz < highest};
}

// What the two sines leave of a stretch: the share of its energy under the window; the
// strongest of the partials a harmonic series through both would have next to them (at 2a - b,
// (a + b) / 2 and 2b - a, from 300 Hz), against the weaker sine; and the stronger of each sine's
// second and third harmonics (below 0.45 of the rate), against it.
struct Rest {
  double share;
  double series;
  double harmonics;
};
Rest Leftover(const Windowed& s, std::span<const float> x, const Peak& a, const Peak& b,
              int32_t rate, std::vector<double>& rest) {
  if (!(s.energy > 0) || !(std::min(a.amplitude, b.amplitude) > 0)) return {1, 1, 1};
  const Complex turn_a = std::polar(1.0, 2 * kPi * a.hz / rate);
  const Complex turn_b = std::polar(1.0, 2 * kPi * b.hz / rate);
  Complex za = a.phasor, zb = b.phasor;
  double energy = 0;
  rest.resize(x.size());
  for (size_t i = 0; i < x.size(); ++i) {
    const double r = x[i] - za.real() - zb.real();
    rest[i] = s.w[i] * r;
    energy += rest[i] * r;
    za *= turn_a;
    zb *= turn_b;
  }
  const std::array<double, 7> hz = {2 * a.hz - b.hz, (a.hz + b.hz) / 2, 2 * b.hz - a.hz, 2 * a.hz,
                                    3 * a.hz,        2 * b.hz,          3 * b.hz};
  std::array<double, 7> omega;
  for (size_t k = 0; k < 7; ++k) omega[k] = 2 * kPi * hz[k] / rate;
  const auto dft = Dfts<7>(std::span<const double>(rest), omega);
  Rest left = {energy / s.energy, 0, 0};
  for (size_t k = 0; k < 7; ++k) {
    const double amplitude = 2 * std::abs(dft[k]) / s.window_sum;
    if (k < 3 && hz[k] >= kLowestPartialHz) {
      left.series = std::max(left.series, amplitude / std::min(a.amplitude, b.amplitude));
    } else if (k >= 3 && hz[k] < 0.45 * rate) {
      left.harmonics = std::max(left.harmonics, amplitude / (k < 5 ? a.amplitude : b.amplitude));
    }
  }
  return left;
}

// The sum of the two tones' amplitudes around a sample: each demodulated at its frequency and
// smoothed by a Hann window, over samples `x` that begin at sample `base` and reach half a
// window beyond every sample asked for.
class Envelope {
 public:
  Envelope(std::span<const float> x, int64_t base, int32_t rate, size_t length, double low_hz,
           double high_hz)
      : x_(x), base_(base), half_(length / 2) {
    std::vector<double> w;
    Hann(length, w);
    taps_.resize(4 * length);
    for (int k = 0; k < 2; ++k) {
      const Complex turn = std::polar(1.0, 2 * kPi * (k ? high_hz : low_hz) / rate);
      Complex z = 1;
      for (size_t m = 0; m < length; ++m, z *= turn) {
        taps_[4 * m + 2 * k] = w[m] * z.real();
        taps_[4 * m + 2 * k + 1] = w[m] * z.imag();
      }
    }
    double sum = 0;
    for (double v : w) sum += v;
    scale_ = 2 / sum;
  }

  double At(uint64_t n) const {
    const float* v = x_.data() + (static_cast<int64_t>(n) - base_ - static_cast<int64_t>(half_));
    // Two sums of each, over the even and the odd taps, so that the additions overlap.
    double sum[2][4] = {};
    for (size_t m = 0; m < taps_.size() / 4; ++m) {
      const double x = v[m];
      const double* t = &taps_[4 * m];
      double* s = sum[m & 1];
      for (int j = 0; j < 4; ++j) s[j] += x * t[j];
    }
    double magnitude = 0;
    for (int k = 0; k < 2; ++k) {
      const double re = sum[0][2 * k] + sum[1][2 * k], im = sum[0][2 * k + 1] + sum[1][2 * k + 1];
      magnitude += std::sqrt(re * re + im * im);
    }
    return scale_ * magnitude;
  }

 private:
  std::span<const float> x_;
  int64_t base_;
  size_t half_;
  std::vector<double> taps_;  // per tap: the window times the cosine and sine of each tone
  double scale_ = 0;
};

// The eight frequencies in radians per sample.
std::array<double, 8> Omegas(int32_t rate) {
  std::array<double, 8> omega;
  for (int k = 0; k < 8; ++k) omega[k] = 2 * kPi * kNominal[k] / rate;
  return omega;
}

double Dbfs(double amplitude) {
  return 20 * std::log10(std::max(amplitude, 1e-9) / kFullScale);
}

}  // namespace

class DtmfFinder::Impl {
 public:
  Impl(int32_t rate, Found found);
  void Feed(std::span<const float> x);
  void Finish();

 private:
  // A key's blocks in a row, with the phase turns of its two tones summed over them.
  struct Run {
    int key = -1;
    uint64_t first = 0, last = 0;
    Complex turn[2];
    uint64_t head_end = 0;  // where its head ends, once measured
  };
  enum class Part { kWhole, kHead, kTail };
  // A part of a run to measure, once the samples to `to` and half an envelope beyond are in.
  struct Job {
    Run run;
    Part part;
    uint64_t from, to;
  };
  // A tone whose head is measured, waiting for its end; none when it is no tone.
  struct Open {
    std::optional<DtmfTone> tone;
    double start;
  };

  void EndHalf();
  int Classify(uint64_t block_start, const Complex* first, const Complex* second, double energy,
               Complex turn[2]);
  double Offset(const Complex& turn) const;
  void OnBlock(uint64_t block, int key, const Complex turn[2]);
  void Close();
  void RunJobs(bool finishing);
  void Measure(const Job& job);
  std::optional<DtmfTone> Tone(int key, const double guess[2], double start, uint64_t m0,
                               uint64_t m1);
  void Emit(DtmfTone tone, double start, double end);
  void LoadWindow(int64_t from, int64_t to);

  const int32_t rate_;
  const Found found_;
  const size_t half_;   // samples of a half block
  const size_t block_;  // two halves
  const size_t envelope_length_;
  const size_t stride_;
  const uint64_t head_, tail_;
  Complex half_turn_[8];  // e^(-jωH)

  std::vector<float> ring_;  // the last samples, sample n at n & mask_
  uint64_t mask_ = 0;
  uint64_t n_ = 0;       // samples fed
  Goertzel<8> filters_;  // at the eight frequencies, over the half block under way
  double energy_ = 0;
  size_t in_half_ = 0;
  Complex previous_[8];  // the last complete half block's DFT
  double previous_energy_ = 0;
  uint64_t halves_ = 0;

  std::optional<Run> active_, challenger_;
  int gap_ = 0;
  std::deque<Job> jobs_;
  std::optional<Open> open_;
  std::optional<DtmfTone> last_;

  std::vector<float> window_;
  int64_t window_base_ = 0;
  std::vector<float> block_samples_;
  Windowed steady_;
  std::vector<double> rest_, median_;
};

DtmfFinder::Impl::Impl(int32_t rate, Found found)
    : rate_(rate),
      found_(std::move(found)),
      half_(std::max<size_t>(8, std::lround(rate * kHalfBlockSeconds))),
      block_(2 * half_),
      envelope_length_(std::max<size_t>(3, std::lround(rate * kEnvelopeSeconds)) | 1),
      stride_(std::max<size_t>(1, std::lround(rate * kStrideSeconds))),
      head_(std::lround(rate * kHeadSeconds)),
      tail_(std::lround(rate * kTailSeconds)),
      filters_(Omegas(rate)) {
  for (int k = 0; k < 8; ++k)
    half_turn_[k] = std::polar(1.0, -2 * kPi * kNominal[k] / rate * half_);
  // The longest stretch a job reads, with the time it may wait for its samples.
  ring_.resize(std::bit_ceil(head_ + 4 * block_ + 2 * envelope_length_));
  mask_ = ring_.size() - 1;
  block_samples_.resize(block_);
}

void DtmfFinder::Impl::Feed(std::span<const float> x) {
  while (!x.empty()) {
    const size_t n = std::min(x.size(), half_ - in_half_);
    for (size_t i = 0; i < n; ++i) {
      const double v = x[i];
      ring_[(n_ + i) & mask_] = x[i];
      energy_ += v * v;
      filters_.Step(v);
    }
    n_ += n;
    in_half_ += n;
    x = x.subspan(n);
    if (in_half_ == half_) EndHalf();
  }
}

void DtmfFinder::Impl::EndHalf() {
  const std::array<Complex, 8> current = filters_.Take(half_);
  const double energy = energy_;
  energy_ = 0;
  in_half_ = 0;
  if (halves_ > 0) {
    const uint64_t block = halves_ - 1;
    Complex turn[2];
    const int key =
        Classify(block * half_, previous_, current.data(), previous_energy_ + energy, turn);
    OnBlock(block, key, turn);
  }
  std::copy(current.begin(), current.end(), previous_);
  previous_energy_ = energy;
  ++halves_;
  RunJobs(false);
}

double DtmfFinder::Impl::Offset(const Complex& turn) const {
  return std::arg(turn) * rate_ / (2 * kPi * half_);
}

int DtmfFinder::Impl::Classify(uint64_t block_start, const Complex* first, const Complex* second,
                               double energy, Complex turn[2]) {
  double power[8];
  for (int k = 0; k < 8; ++k) power[k] = std::norm(first[k] + half_turn_[k] * second[k]);
  int tone[2];
  for (int group = 0; group < 2; ++group) {
    const double* p = power + 4 * group;
    const int best = static_cast<int>(std::max_element(p, p + 4) - p);
    for (int k = 0; k < 4; ++k) {
      if (k != best && p[best] < kRelativePeak * p[k]) return -1;
    }
    tone[group] = 4 * group + best;
  }
  double amplitude[2], captured = 0;
  for (int g = 0; g < 2; ++g) {
    const int k = tone[g];
    // The phase turn between the halves, against the nominal frequency's, is the offset.
    turn[g] = second[k] * std::conj(first[k]) * half_turn_[k];
    const double offset = Offset(turn[g]);
    if (std::abs(offset) > kSearchShare * kNominal[k]) return -1;
    const double gain = std::max(Leakage(offset * block_ / rate_, block_), 0.5);
    amplitude[g] = 2 * std::sqrt(power[k]) / block_ / gain;
    if (amplitude[g] < kQuietest) return -1;
    captured += amplitude[g] * amplitude[g] * block_ / 2;
  }
  if (captured < kPairShare * energy) return -1;
  if (std::abs(20 * std::log10(amplitude[1] / amplitude[0])) > kTwistLimitDb) return -1;
  // The second harmonics, once both tones (fitted at their frequencies) are taken out: a low
  // tone's harmonic lies within a bin of a high tone (2 x 697 Hz against 1336 Hz).
  double omega[2];
  for (int g = 0; g < 2; ++g) omega[g] = 2 * kPi * (kNominal[tone[g]] + Offset(turn[g])) / rate_;
  for (size_t i = 0; i < block_; ++i) block_samples_[i] = ring_[(block_start + i) & mask_];
  const auto dft = Dfts<4>(std::span<const float>(block_samples_),
                           {omega[0], omega[1], 2 * omega[0], 2 * omega[1]});
  const Complex fit[2] = {dft[0], dft[1]};
  for (int g = 0; g < 2; ++g) {
    const double harmonic = 2 * omega[g];
    if (harmonic > 0.9 * kPi) continue;
    Complex rest = dft[2 + g];
    for (int t = 0; t < 2; ++t) {
      rest -= (fit[t] * SineSum(omega[t] - harmonic, block_) +
               std::conj(fit[t]) * SineSum(-omega[t] - harmonic, block_)) /
              static_cast<double>(block_);
    }
    if (2 * std::abs(rest) / block_ > kHarmonicShare * amplitude[g]) return -1;
  }
  return tone[0] * 4 + (tone[1] - 4);
}

void DtmfFinder::Impl::OnBlock(uint64_t block, int key, const Complex turn[2]) {
  if (active_ && key == active_->key) {
    active_->last = block;
    active_->turn[0] += turn[0];
    active_->turn[1] += turn[1];
    gap_ = 0;
    challenger_.reset();
  } else {
    if (active_) ++gap_;
    if (key < 0) {
      challenger_.reset();
    } else if (challenger_ && challenger_->key == key && challenger_->last + 1 == block) {
      challenger_->last = block;
      challenger_->turn[0] += turn[0];
      challenger_->turn[1] += turn[1];
    } else {
      challenger_ = Run{key, block, block, {turn[0], turn[1]}};
    }
    if (challenger_ && challenger_->last - challenger_->first + 1 >= kConfirmBlocks) {
      if (active_) Close();
      active_ = challenger_;
      challenger_.reset();
      gap_ = 0;
    } else if (active_ && gap_ > kBridgedBlocks) {
      Close();
    }
  }
  // A long run's head is measured while its samples are still kept.
  if (active_ && !active_->head_end) {
    const uint64_t from = active_->first * half_ >= block_ ? active_->first * half_ - block_ : 0;
    if (active_->last * half_ + 2 * block_ - from > head_) {
      active_->head_end = from + head_;
      jobs_.push_back({*active_, Part::kHead, from, active_->head_end});
    }
  }
}

// The run's part not yet measured: around its blocks, a block each side.
void DtmfFinder::Impl::Close() {
  const Run& run = *active_;
  const uint64_t to = run.last * half_ + 2 * block_;
  if (run.head_end) {
    jobs_.push_back({run, Part::kTail, std::max(run.head_end, to - tail_), to});
  } else {
    const uint64_t from = run.first * half_ >= block_ ? run.first * half_ - block_ : 0;
    jobs_.push_back({run, Part::kWhole, from, to});
  }
  active_.reset();
}

void DtmfFinder::Impl::RunJobs(bool finishing) {
  while (!jobs_.empty() && (finishing || jobs_.front().to + envelope_length_ <= n_)) {
    Measure(jobs_.front());
    jobs_.pop_front();
  }
}

void DtmfFinder::Impl::Finish() {
  if (active_) Close();
  RunJobs(true);
}

// The samples [from, to) into window_; silence outside the recording.
void DtmfFinder::Impl::LoadWindow(int64_t from, int64_t to) {
  window_.assign(static_cast<size_t>(to - from), 0.0f);
  window_base_ = from;
  const int64_t first = std::max<int64_t>({from, 0, static_cast<int64_t>(n_ - ring_.size())});
  const int64_t last = std::min<int64_t>(to, static_cast<int64_t>(n_));
  for (int64_t i = first; i < last; ++i) window_[i - from] = ring_[i & mask_];
}

// The tones of a run's part: where the envelope stands at half its peak or above, to a fraction
// of a sample, each measured over its part at 90% of the peak or above. A head leaves its last
// tone open when it lasts to the head's end; the tail ends it.
void DtmfFinder::Impl::Measure(const Job& job) {
  const int row = job.run.key / 4, col = job.run.key % 4;
  const double guess[2] = {kNominal[row] + Offset(job.run.turn[0]),
                           kNominal[4 + col] + Offset(job.run.turn[1])};
  const uint64_t from = job.from, to = std::min(job.to, n_);
  const auto end_open = [&](double end) {
    if (open_ && open_->tone) Emit(*open_->tone, open_->start, end);
    open_.reset();
  };
  if (to <= from) {
    if (job.part == Part::kTail) end_open(static_cast<double>(from));
    return;
  }
  const int64_t reach = static_cast<int64_t>(envelope_length_ / 2);
  LoadWindow(static_cast<int64_t>(from) - reach, static_cast<int64_t>(to) + reach);
  const Envelope envelope(window_, window_base_, rate_, envelope_length_, guess[0], guess[1]);
  std::vector<uint64_t> at;
  std::vector<double> value;
  for (uint64_t n = from; n < to; n += stride_) {
    at.push_back(n);
    value.push_back(envelope.At(n));
  }
  const double peak = *std::max_element(value.begin(), value.end());
  const double half = peak / 2;
  if (job.part == Part::kTail && !(peak > 0 && value[0] >= half)) {
    end_open(static_cast<double>(from));  // it ended before this part began
  }
  if (!(peak > 0)) return;
  // Where the envelope crosses half its peak between samples a and b, one on each side of it:
  // halved down to two samples next to each other, then linearly interpolated.
  const auto crossing = [&](uint64_t a, uint64_t b) {
    double va = envelope.At(a), vb = envelope.At(b);
    while (a + 1 < b || b + 1 < a) {
      const uint64_t middle = a + (static_cast<int64_t>(b) - static_cast<int64_t>(a)) / 2;
      const double v = envelope.At(middle);
      if ((v >= half) == (va >= half)) {
        a = middle;
        va = v;
      } else {
        b = middle;
        vb = v;
      }
    }
    return static_cast<double>(a) + (static_cast<double>(b) - a) * (half - va) / (vb - va);
  };
  for (size_t i = 0; i < at.size();) {
    if (value[i] < half) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j + 1 < at.size() && value[j + 1] >= half) ++j;
    const bool open_start = i == 0, open_end = j + 1 == at.size();
    const double start = open_start ? static_cast<double>(at[0]) : crossing(at[i - 1], at[i]);
    const double end = open_end ? static_cast<double>(to) : crossing(at[j + 1], at[j]);
    // The steady part: from the first to the last point at 90% of the tone's median level or
    // above (its peak is raised by noise), else the whole tone; at most its middle.
    median_.assign(value.begin() + i, value.begin() + j + 1);
    std::nth_element(median_.begin(), median_.begin() + median_.size() / 2, median_.end());
    const double steady = 0.9 * median_[median_.size() / 2];
    size_t first = i, last = j;
    while (first < last && value[first] < steady) ++first;
    while (last > first && value[last] < steady) --last;
    uint64_t m0 = at[first], m1 = at[last];
    i = j + 1;
    if (job.part == Part::kTail && open_start && open_) {
      end_open(end);
      continue;
    }
    const bool stays_open = job.part == Part::kHead && open_end;
    if (!stays_open && end - start < rate_ * kBlipSeconds) continue;
    if (m1 - m0 < static_cast<uint64_t>(rate_ / 200)) {
      m0 = static_cast<uint64_t>(std::ceil(start));
      m1 = static_cast<uint64_t>(std::floor(end));
    }
    const uint64_t longest = std::lround(rate_ * kMeasuredSeconds);
    if (m1 - m0 > longest) m0 += (m1 - m0 - longest) / 2, m1 = m0 + longest;
    if (m1 <= m0 + 8) continue;
    const std::optional<DtmfTone> tone = Tone(job.run.key, guess, start, m0, m1 + 1);
    if (stays_open) {
      open_ = Open{tone, start};
    } else if (tone) {
      Emit(*tone, start, end);
    }
  }
}

// A tone of `key` from `start`, measured over samples [m0, m1) of the window; none when the two
// sines leave too much of those samples unexplained.
std::optional<DtmfTone> DtmfFinder::Impl::Tone(int key, const double guess[2], double start,
                                               uint64_t m0, uint64_t m1) {
  const int row = key / 4, col = key % 4;
  const std::span<const float> x(window_.data() + (static_cast<int64_t>(m0) - window_base_),
                                 m1 - m0);
  steady_.Load(x);
  const Peak low = FindPeak(steady_, guess[0], kNominal[row], rate_);
  const Peak high = FindPeak(steady_, guess[1], kNominal[4 + col], rate_);
  const Rest rest = Leftover(steady_, x, low, high, rate_, rest_);
  DtmfTone tone;
  tone.digit = kKeys[row][col];
  tone.start_sample = static_cast<uint64_t>(std::llround(start));
  tone.start_s = start / rate_;
  tone.low_hz = low.hz;
  tone.high_hz = high.hz;
  tone.low_error_pct = (low.hz / kNominal[row] - 1) * 100;
  tone.high_error_pct = (high.hz / kNominal[4 + col] - 1) * 100;
  tone.low_dbfs = Dbfs(low.amplitude);
  tone.high_dbfs = Dbfs(high.amplitude);
  tone.twist_db = tone.high_dbfs - tone.low_dbfs;
  const double off = std::max(std::abs(tone.low_error_pct), std::abs(tone.high_error_pct));
  if (rest.share > (off > kSenderPct ? kCleanRest : kNoisyRest) || rest.series > kSeriesShare ||
      rest.harmonics > kHarmonicRest || !low.inside || !high.inside) {
    return std::nullopt;
  }
  return tone;
}

void DtmfFinder::Impl::Emit(DtmfTone tone, double start, double end) {
  tone.length_ms = (end - start) * 1000 / rate_;
  if (last_) {
    tone.pause_ms = (tone.start_s - last_->start_s) * 1000 - last_->length_ms;
    if (*tone.pause_ms <= 0) return;  // the same tone, reached from a run beside it
  }
  last_ = tone;
  found_(tone);
}

DtmfFinder::DtmfFinder(int32_t rate, Found found)
    : impl_(std::make_unique<Impl>(rate, std::move(found))) {}
DtmfFinder::~DtmfFinder() = default;
void DtmfFinder::Feed(std::span<const float> samples) {
  impl_->Feed(samples);
}
void DtmfFinder::Finish() {
  impl_->Finish();
}

}  // namespace tools
