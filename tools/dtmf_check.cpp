#include "tools/dtmf_check.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace tools {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kLow[4] = {697, 770, 852, 941};
constexpr double kHigh[4] = {1209, 1336, 1477, 1633};
constexpr char kKeys[4][5] = {"123A", "456B", "789C", "*0#D"};
constexpr double kFullScale = 32768;

// A frame holds a key when its two strongest tones, one of each group, carry most of its energy,
// neither is lost in the quiet nor more than 16 dB below the other.
constexpr double kFrameSeconds = 0.010;
constexpr double kHopSeconds = 0.0025;
constexpr double kCapturedShare = 0.6;
const double kQuietest = kFullScale * std::pow(10.0, -65 / 20.0);
const double kWeakestShare = std::pow(10.0, -16 / 20.0);
// A key's frames may miss this many frames in a row (a receiver bridges such breaks too); the
// envelope then tells whether the tone really stopped.
constexpr int kBridgedFrames = 2;
// The envelope's Hann window: 10 ms keeps the other group's tone (at least 268 Hz away) out.
constexpr double kEnvelopeSeconds = 0.010;
// The rules of ITU-T Q.24: tones and pauses of 40 ms at least (lengths are measured to within
// half a millisecond, so that much shorter still counts as 40), frequencies within 1.5% (beyond
// 3.5% refused), twist within 8 dB normal and 4 dB reverse. A line loses more of the high group
// than of the low one, so the low tone louder is the normal twist a receiver takes more of; the
// high tone louder, as a sender's pre-emphasis leaves it, is the reverse twist.
constexpr double kShortestMs = 40;
constexpr double kLengthSlackMs = 0.5;
constexpr double kAcceptedPct = 1.5;
constexpr double kRejectedPct = 3.5;
constexpr double kNormalTwistDb = 8;
constexpr double kReverseTwistDb = 4;
// At most this much of a tone's steady middle is measured.
constexpr double kMeasuredSeconds = 0.25;
// Frequencies are searched within this share of the nominal one, short of the next key's.
constexpr double kSearchShare = 0.05;

struct Run {
  int key;      // row * 4 + column
  size_t from;  // samples
  size_t to;
};

// The frames' keys, joined into runs of one key.
std::vector<Run> FindRuns(std::span<const float> x, int32_t rate) {
  const size_t frame = std::max<size_t>(16, std::lround(rate * kFrameSeconds));
  const size_t hop = std::max<size_t>(1, std::lround(rate * kHopSeconds));
  double coeff[8];
  for (int k = 0; k < 8; ++k)
    coeff[k] = 2 * std::cos(2 * kPi * (k < 4 ? kLow[k] : kHigh[k - 4]) / rate);
  std::vector<Run> runs;
  int gap = 0;
  for (size_t at = 0; at + frame <= x.size(); at += hop) {
    double s1[8] = {}, s2[8] = {}, energy = 0;
    for (size_t i = at; i < at + frame; ++i) {
      const double v = x[i];
      energy += v * v;
      for (int k = 0; k < 8; ++k) {
        const double s = v + coeff[k] * s1[k] - s2[k];
        s2[k] = s1[k];
        s1[k] = s;
      }
    }
    double amplitude[8];
    for (int k = 0; k < 8; ++k) {
      const double power = s1[k] * s1[k] + s2[k] * s2[k] - coeff[k] * s1[k] * s2[k];
      amplitude[k] = 2 * std::sqrt(std::max(power, 0.0)) / frame;
    }
    const int row = static_cast<int>(std::max_element(amplitude, amplitude + 4) - amplitude);
    const int col =
        static_cast<int>(std::max_element(amplitude + 4, amplitude + 8) - amplitude) - 4;
    const double low = amplitude[row], high = amplitude[4 + col];
    const double captured = frame * (low * low + high * high) / 2;
    const bool key = energy > 0 && captured >= kCapturedShare * energy &&
                     std::min(low, high) >= kQuietest &&
                     std::min(low, high) >= kWeakestShare * std::max(low, high);
    if (key && !runs.empty() && runs.back().key == row * 4 + col && gap <= kBridgedFrames &&
        runs.back().to + hop * (gap + 1) >= at + frame) {
      runs.back().to = at + frame;
      gap = 0;
    } else if (key) {
      runs.push_back({row * 4 + col, at, at + frame});
      gap = 0;
    } else {
      ++gap;
    }
  }
  // One frame alone is a click, not a key.
  std::erase_if(runs, [&](const Run& r) { return r.to - r.from < frame + hop; });
  return runs;
}

// The frequency near `nominal` where the Hann-windowed spectrum of x[from, to) peaks, and the
// amplitude of the sine there.
struct Peak {
  double hz;
  double amplitude;
};
Peak MeasureTone(std::span<const float> x, size_t from, size_t to, double nominal, int32_t rate) {
  const size_t n = to - from;
  std::vector<double> y(n);
  double window_sum = 0;
  for (size_t i = 0; i < n; ++i) {
    const double w = 0.5 - 0.5 * std::cos(2 * kPi * (i + 1) / (n + 1));
    window_sum += w;
    y[i] = w * x[from + i];
  }
  const auto magnitude = [&](double hz) {
    const double c = 2 * std::cos(2 * kPi * hz / rate);
    double s1 = 0, s2 = 0;
    for (double v : y) {
      const double s = v + c * s1 - s2;
      s2 = s1;
      s1 = s;
    }
    return std::sqrt(std::max(s1 * s1 + s2 * s2 - c * s1 * s2, 0.0));
  };
  // A grid of a quarter of the window's bin, then golden sections around its best point.
  const double lowest = nominal * (1 - kSearchShare), highest = nominal * (1 + kSearchShare);
  const double step = static_cast<double>(rate) / n / 4;
  double best = nominal, best_value = -1;
  for (double hz = lowest; hz <= highest; hz += step) {
    const double v = magnitude(hz);
    if (v > best_value) best = hz, best_value = v;
  }
  double a = std::max(lowest, best - step), b = std::min(highest, best + step);
  const double ratio = (std::sqrt(5.0) - 1) / 2;
  double c = b - ratio * (b - a), d = a + ratio * (b - a);
  double fc = magnitude(c), fd = magnitude(d);
  for (int i = 0; i < 40; ++i) {
    if (fc > fd) {
      b = d, d = c, fd = fc;
      c = b - ratio * (b - a), fc = magnitude(c);
    } else {
      a = c, c = d, fc = fd;
      d = a + ratio * (b - a), fd = magnitude(d);
    }
  }
  const double hz = (a + b) / 2;
  return {hz, 2 * magnitude(hz) / window_sum};
}

// The sum of the two tones' amplitudes around sample n: each demodulated at its frequency and
// smoothed by a Hann window; samples beyond the ends count as silence.
class Envelope {
 public:
  Envelope(std::span<const float> x, int32_t rate, double low_hz, double high_hz) : x_(x) {
    const size_t length = std::max<size_t>(3, std::lround(rate * kEnvelopeSeconds)) | 1;
    half_ = length / 2;
    double sum = 0;
    for (size_t m = 0; m < length; ++m) {
      const double w = 0.5 - 0.5 * std::cos(2 * kPi * (m + 1) / (length + 1));
      sum += w;
      for (int k = 0; k < 2; ++k) {
        const double omega = 2 * kPi * (k ? high_hz : low_hz) / rate;
        cos_[k].push_back(w * std::cos(omega * m));
        sin_[k].push_back(w * std::sin(omega * m));
      }
    }
    scale_ = 2 / sum;
  }

  double At(size_t n) const {
    const size_t first = n >= half_ ? 0 : half_ - n;
    const size_t last = std::min(cos_[0].size(), x_.size() + half_ - n);
    double re[2] = {}, im[2] = {};
    for (size_t m = first; m < last; ++m) {
      const double v = x_[n - half_ + m];
      for (int k = 0; k < 2; ++k) {
        re[k] += v * cos_[k][m];
        im[k] += v * sin_[k][m];
      }
    }
    return scale_ * (std::hypot(re[0], im[0]) + std::hypot(re[1], im[1]));
  }

 private:
  std::span<const float> x_;
  size_t half_ = 0;
  std::vector<double> cos_[2], sin_[2];
  double scale_ = 0;
};

double Dbfs(double amplitude) {
  return 20 * std::log10(std::max(amplitude, 1e-9) / kFullScale);
}

// The tones of one run: where the envelope stands at half its peak or above, to a fraction of a
// sample, measured over the part at 90% of the peak or above.
void MeasureRun(std::span<const float> x, int32_t rate, const Run& run,
                std::vector<DtmfTone>& tones) {
  const int row = run.key / 4, col = run.key % 4;
  const Peak low = MeasureTone(x, run.from, run.to, kLow[row], rate);
  const Peak high = MeasureTone(x, run.from, run.to, kHigh[col], rate);
  const Envelope envelope(x, rate, low.hz, high.hz);

  const size_t frame = std::lround(rate * kFrameSeconds);
  const size_t stride = std::max<size_t>(1, rate / 1000);
  const size_t from = run.from >= frame ? run.from - frame : 0;
  const size_t to = std::min(x.size(), run.to + frame);
  std::vector<size_t> at;
  std::vector<double> value;
  for (size_t n = from; n < to; n += stride) {
    at.push_back(n);
    value.push_back(envelope.At(n));
  }
  if (at.empty()) return;
  const double peak = *std::max_element(value.begin(), value.end());
  const double half = peak / 2;
  // Where the envelope crosses half its peak between samples a (below) and b (above, or
  // the other way round): the first sample past it, linearly interpolated.
  const auto crossing = [&](size_t a, size_t b) {
    const int dir = b > a ? 1 : -1;
    double previous = envelope.At(a);
    for (size_t n = a; n != b;) {
      const size_t next = n + dir;
      const double v = envelope.At(next);
      if ((v >= half) != (previous >= half)) {
        return static_cast<double>(n) + dir * (half - previous) / (v - previous);
      }
      n = next;
      previous = v;
    }
    return static_cast<double>(b);
  };
  for (size_t i = 0; i < at.size();) {
    if (value[i] < half) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j + 1 < at.size() && value[j + 1] >= half) ++j;
    const double start = i == 0 ? static_cast<double>(at[0]) : crossing(at[i - 1], at[i]);
    const double end = j + 1 == at.size() ? static_cast<double>(at[j]) : crossing(at[j + 1], at[j]);
    if (end - start < rate * 0.005) {  // a blip, not a tone
      i = j + 1;
      continue;
    }
    // The steady part: at 90% of the peak or above, else the whole tone; at most its middle.
    size_t first = i, last = j;
    while (first < last && value[first] < 0.9 * peak) ++first;
    while (last > first && value[last] < 0.9 * peak) --last;
    size_t m0 = at[first], m1 = at[last];
    if (m1 - m0 < static_cast<size_t>(rate / 200)) {
      m0 = static_cast<size_t>(std::max(0.0, std::ceil(start)));
      m1 = static_cast<size_t>(std::floor(end));
    }
    const size_t longest = std::lround(rate * kMeasuredSeconds);
    if (m1 - m0 > longest) m0 += (m1 - m0 - longest) / 2, m1 = m0 + longest;
    i = j + 1;
    if (m1 <= m0 + 8) continue;

    const Peak l = MeasureTone(x, m0, m1 + 1, kLow[row], rate);
    const Peak h = MeasureTone(x, m0, m1 + 1, kHigh[col], rate);
    DtmfTone tone;
    tone.digit = kKeys[row][col];
    tone.start_s = start / rate;
    tone.length_ms = (end - start) * 1000 / rate;
    if (!tones.empty()) {
      const DtmfTone& before = tones.back();
      tone.pause_ms = (tone.start_s - before.start_s) * 1000 - before.length_ms;
      if (*tone.pause_ms <= 0) continue;  // the same tone, reached from a run beside it
    }
    tone.low_hz = l.hz;
    tone.high_hz = h.hz;
    tone.low_error_pct = (l.hz / kLow[row] - 1) * 100;
    tone.high_error_pct = (h.hz / kHigh[col] - 1) * 100;
    tone.low_dbfs = Dbfs(l.amplitude);
    tone.high_dbfs = Dbfs(h.amplitude);
    tone.twist_db = tone.high_dbfs - tone.low_dbfs;
    tones.push_back(tone);
  }
}

// How many tones break a rule, and the one that breaks it most: a tone breaks it when its
// `measure` (larger is worse) is above `limit`; the first of equals is the worst.
struct Breach {
  int count = 0;
  const DtmfTone* worst = nullptr;
};
template <typename Measure>
Breach FindBreach(const std::vector<DtmfTone>& tones, double limit, Measure measure) {
  Breach breach;
  for (const DtmfTone& t : tones) {
    if (measure(t) <= limit) continue;
    ++breach.count;
    if (!breach.worst || measure(t) > measure(*breach.worst)) breach.worst = &t;
  }
  return breach;
}

// A value as printed to `decimals`, with no minus sign on a zero.
double Tidy(double value, int decimals) {
  const double scale = std::pow(10.0, decimals);
  const double rounded = std::round(value * scale) / scale;
  return rounded == 0 ? 0.0 : rounded;
}

std::string Format(const char* format, auto... values) {
  char line[256];
  std::snprintf(line, sizeof line, format, values...);
  return line;
}

}  // namespace

std::vector<DtmfTone> FindDtmfTones(std::span<const float> samples, int32_t rate) {
  std::vector<DtmfTone> tones;
  if (rate < 4000) return tones;  // the highest tone needs at least this rate
  for (const Run& run : FindRuns(samples, rate)) MeasureRun(samples, rate, run, tones);
  return tones;
}

DtmfVerdict JudgeDtmf(const std::vector<DtmfTone>& tones) {
  DtmfVerdict verdict;
  std::string& out = verdict.text;
  out +=
      "digit  start s  length ms  pause ms   low Hz   error  high Hz   error  low dBFS"
      "  high dBFS  twist dB\n";
  std::string digits;
  for (const DtmfTone& t : tones) {
    digits += t.digit;
    const std::string pause = t.pause_ms ? Format("%8.1f", *t.pause_ms) : "       -";
    out +=
        Format("%-5c %8.3f %10.1f %s %8.1f %+6.2f%% %8.1f %+6.2f%% %9.1f %10.1f %+9.1f\n", t.digit,
               t.start_s, t.length_ms, pause.c_str(), t.low_hz, Tidy(t.low_error_pct, 2), t.high_hz,
               Tidy(t.high_error_pct, 2), t.low_dbfs, t.high_dbfs, Tidy(t.twist_db, 1));
  }
  out += "digits " + (digits.empty() ? std::string("none") : digits) + "\n";
  if (tones.empty()) {
    out += "no DTMF tone found\n";
    verdict.exit_code = 1;
    return verdict;
  }
  const size_t n = tones.size();
  const size_t rules_from = out.size();
  const auto where = [](const DtmfTone& t) { return Format("%c at %.3f s", t.digit, t.start_s); };

  // Lengths as their negatives: the shorter, the worse.
  constexpr double kShortest = kShortestMs - kLengthSlackMs;
  const Breach short_tone =
      FindBreach(tones, -kShortest, [](const DtmfTone& t) { return -t.length_ms; });
  if (const DtmfTone* worst = short_tone.worst) {
    out += Format("too short: %d of %zu tones last under 40 ms (shortest: %s, %.1f ms)\n",
                  short_tone.count, n, where(*worst).c_str(), worst->length_ms);
  }

  const Breach short_pause = FindBreach(tones, -kShortest, [](const DtmfTone& t) {
    return t.pause_ms ? -*t.pause_ms : -HUGE_VAL;  // the first tone has no pause to judge
  });
  if (const DtmfTone* worst = short_pause.worst) {
    out += Format("pause too short: %d of %zu pauses under 40 ms (shortest: %.1f ms before %s)\n",
                  short_pause.count, n - 1, *worst->pause_ms, where(*worst).c_str());
  }

  const Breach off = FindBreach(tones, kAcceptedPct, [](const DtmfTone& t) {
    return std::max(std::abs(t.low_error_pct), std::abs(t.high_error_pct));
  });
  if (const DtmfTone* worst = off.worst) {
    const bool low = std::abs(worst->low_error_pct) >= std::abs(worst->high_error_pct);
    const double hz = low ? worst->low_hz : worst->high_hz;
    const double pct = low ? worst->low_error_pct : worst->high_error_pct;
    out += Format(
        "frequency off: %d of %zu tones more than 1.5%% off (worst: %s, %.1f Hz for %.0f "
        "Hz, %+.2f%%, %s)\n",
        off.count, n, where(*worst).c_str(), hz, hz / (1 + pct / 100), pct,
        std::abs(pct) > kRejectedPct ? "more than 3.5%: refused" : "not sure to be accepted");
  }

  const Breach twist = FindBreach(tones, 0, [](const DtmfTone& t) {
    return std::max(-t.twist_db - kNormalTwistDb, t.twist_db - kReverseTwistDb);
  });
  if (const DtmfTone* worst = twist.worst) {
    out += Format("twist beyond the limits: %d of %zu tones (worst: %s, twist %+.1f dB, %s)\n",
                  twist.count, n, where(*worst).c_str(), worst->twist_db,
                  worst->twist_db < 0 ? "normal twist, the low tone louder, above 8 dB"
                                      : "reverse twist, the high tone louder, above 4 dB");
  }

  if (out.size() == rules_from) {
    out += Format("all %zu digits within Q.24\n", n);
  } else {
    verdict.exit_code = 1;
  }
  return verdict;
}

}  // namespace tools
