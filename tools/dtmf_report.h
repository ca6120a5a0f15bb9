// The report of `kavrel-render check`, written as the tones are found: a line per tone, then the
// digits heard and a line per ITU-T Q.24 rule the tones break, or that all hold; or the same as
// one JSON document.
#pragma once

#include <cstdint>
#include <string>

#include "tools/dtmf_check.h"

namespace tools {

// Whether a receiver must refuse the tone: a frequency more than 3.5% off. Such a tone is listed
// and judged, but it is no digit.
bool Refused(const DtmfTone& tone);

class DtmfReport {
 public:
  DtmfReport(bool json, int32_t rate) : json_(json), rate_(rate) {}

  // What comes before the first tone.
  std::string Begin() const;
  // A tone's line, or its element; the tone is judged.
  std::string Add(const DtmfTone& tone);
  // The rest, once the recording's `samples` are all read: the digits and the verdicts.
  std::string End(uint64_t samples) const;
  // 0 when all the rules hold, 1 when one is broken or there is no tone.
  int exit_code() const;

 private:
  // How many tones break a rule, and the one that breaks it most (the first of equals).
  struct Breach {
    int count = 0;
    double worst = 0;
    size_t index = 0;
    DtmfTone tone;
  };
  enum Rule { kShort, kPause, kFrequency, kTwist, kRules };
  static double Measure(Rule rule, const DtmfTone& tone);
  std::string Verdict(Rule rule) const;

  bool json_;
  int32_t rate_;
  size_t tones_ = 0;
  std::string digits_;
  Breach breach_[kRules];
};

}  // namespace tools
