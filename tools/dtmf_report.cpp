#include "tools/dtmf_report.h"

#include <cmath>
#include <cstdio>

namespace tools {
namespace {

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

std::string Where(const DtmfTone& t) {
  return Format("%c at %.3f s", t.digit, t.start_s);
}

// The rules' names in the JSON document.
constexpr const char* kRuleNames[] = {"tone_too_short", "pause_too_short", "frequency_off",
                                      "twist"};

}  // namespace

bool Refused(const DtmfTone& tone) {
  return std::max(std::abs(tone.low_error_pct), std::abs(tone.high_error_pct)) > kRejectedPct;
}

// A tone's measure for a rule: above 0 it breaks it, and the larger the worse.
double DtmfReport::Measure(Rule rule, const DtmfTone& t) {
  constexpr double kShortest = kShortestMs - kLengthSlackMs;
  switch (rule) {
    case kShort:
      return kShortest - t.length_ms;
    case kPause:
      return t.pause_ms ? kShortest - *t.pause_ms : -HUGE_VAL;  // the first has none to judge
    case kFrequency:
      return std::max(std::abs(t.low_error_pct), std::abs(t.high_error_pct)) - kAcceptedPct;
    default:
      return std::max(-t.twist_db - kNormalTwistDb, t.twist_db - kReverseTwistDb);
  }
}

std::string DtmfReport::Begin() const {
  if (json_) return Format("{\n  \"rate\": %d,\n  \"tones\": [", rate_);
  return "digit  start s  length ms  pause ms   low Hz   error  high Hz   error  low dBFS"
         "  high dBFS  twist dB\n";
}

std::string DtmfReport::Add(const DtmfTone& t) {
  const size_t index = tones_++;
  for (int r = 0; r < kRules; ++r) {
    const double measure = Measure(static_cast<Rule>(r), t);
    Breach& b = breach_[r];
    if (measure <= 0) continue;
    if (b.count++ == 0 || measure > b.worst) b.worst = measure, b.index = index, b.tone = t;
  }
  if (!Refused(t)) digits_ += t.digit;
  if (json_) {
    const std::string pause = t.pause_ms ? Format("%.2f", Tidy(*t.pause_ms, 2)) : "null";
    return Format(
               "%s\n    {\"digit\": \"%c\", \"sample\": %llu, \"start_s\": %.6f, \"length_ms\": "
               "%.2f, \"pause_ms\": %s,",
               index ? "," : "", t.digit, static_cast<unsigned long long>(t.start_sample),
               t.start_s, Tidy(t.length_ms, 2), pause.c_str()) +
           Format(
               " \"low_hz\": %.2f, \"low_error_pct\": %.3f, \"high_hz\": %.2f, "
               "\"high_error_pct\": %.3f,",
               t.low_hz, Tidy(t.low_error_pct, 3), t.high_hz, Tidy(t.high_error_pct, 3)) +
           Format(" \"low_dbfs\": %.2f, \"high_dbfs\": %.2f, \"twist_db\": %.2f, \"refused\": %s}",
                  t.low_dbfs, t.high_dbfs, Tidy(t.twist_db, 2), Refused(t) ? "true" : "false");
  }
  const std::string pause = t.pause_ms ? Format("%8.1f", *t.pause_ms) : "       -";
  return Format("%-5c %8.3f %10.1f %s %8.1f %+6.2f%% %8.1f %+6.2f%% %9.1f %10.1f %+9.1f\n", t.digit,
                t.start_s, t.length_ms, pause.c_str(), t.low_hz, Tidy(t.low_error_pct, 2),
                t.high_hz, Tidy(t.high_error_pct, 2), t.low_dbfs, t.high_dbfs, Tidy(t.twist_db, 1));
}

// The line of a rule that tones break; empty when none does.
std::string DtmfReport::Verdict(Rule rule) const {
  const Breach& b = breach_[rule];
  if (b.count == 0) return {};
  const DtmfTone& w = b.tone;
  switch (rule) {
    case kShort:
      return Format("too short: %d of %zu tones last under 40 ms (shortest: %s, %.1f ms)", b.count,
                    tones_, Where(w).c_str(), w.length_ms);
    case kPause:
      return Format("pause too short: %d of %zu pauses under 40 ms (shortest: %.1f ms before %s)",
                    b.count, tones_ - 1, *w.pause_ms, Where(w).c_str());
    case kFrequency: {
      const bool low = std::abs(w.low_error_pct) >= std::abs(w.high_error_pct);
      const double hz = low ? w.low_hz : w.high_hz;
      const double pct = low ? w.low_error_pct : w.high_error_pct;
      return Format(
          "frequency off: %d of %zu tones more than 1.5%% off (worst: %s, %.1f Hz for %.0f Hz, "
          "%+.2f%%, %s)",
          b.count, tones_, Where(w).c_str(), hz, hz / (1 + pct / 100), pct,
          std::abs(pct) > kRejectedPct ? "more than 3.5%: refused" : "not sure to be accepted");
    }
    default:
      return Format("twist beyond the limits: %d of %zu tones (worst: %s, twist %+.1f dB, %s)",
                    b.count, tones_, Where(w).c_str(), w.twist_db,
                    w.twist_db < 0 ? "normal twist, the low tone louder, above 8 dB"
                                   : "reverse twist, the high tone louder, above 4 dB");
  }
}

std::string DtmfReport::End(uint64_t samples) const {
  std::string out;
  if (json_) {
    out += Format("%s],\n  \"samples\": %llu,\n  \"digits\": \"%s\",\n  \"verdicts\": [",
                  tones_ ? "\n  " : "", static_cast<unsigned long long>(samples), digits_.c_str());
    bool first = true;
    const auto verdict = [&](const char* rule, const std::string& text, const std::string& more) {
      out += Format("%s\n    {\"rule\": \"%s\"", first ? "" : ",", rule) + more + ", \"text\": \"" +
             text + "\"}";
      first = false;
    };
    if (!tones_) verdict("no_tone", "no DTMF tone found", "");
    for (int r = 0; r < kRules; ++r) {
      const Breach& b = breach_[r];
      if (!b.count) continue;
      verdict(kRuleNames[r], Verdict(static_cast<Rule>(r)),
              Format(", \"count\": %d, \"of\": %zu, \"worst\": %zu", b.count,
                     r == kPause ? tones_ - 1 : tones_, b.index));
    }
    out += Format("%s],\n  \"within_q24\": %s\n}\n", first ? "" : "\n  ",
                  exit_code() ? "false" : "true");
    return out;
  }
  out += "digits " + (digits_.empty() ? std::string("none") : digits_) + "\n";
  if (!tones_) return out + "no DTMF tone found\n";
  for (int r = 0; r < kRules; ++r) {
    const std::string line = Verdict(static_cast<Rule>(r));
    if (!line.empty()) out += line + "\n";
  }
  if (!exit_code()) out += Format("all %zu digits within Q.24\n", tones_);
  return out;
}

int DtmfReport::exit_code() const {
  if (!tones_) return 1;
  for (const Breach& b : breach_) {
    if (b.count) return 1;
  }
  return 0;
}

}  // namespace tools
