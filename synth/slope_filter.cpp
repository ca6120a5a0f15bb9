#include "synth/slope_filter.h"

#include "runtime/error.h"
#include "runtime/rounding.h"
#include "synth/sample_rate.h"

namespace synth {

SlopeEnvelope SlopeEnvelope::Standard() {
  SlopeEnvelope envelope;
  int32_t slope_time = kSlopeTime;
  envelope.InitSlopeFilter(slope_time);
  envelope.CalcSlope(kSlopeMagnitude);
  return envelope;
}

void SlopeEnvelope::InitSlopeFilter(int32_t& SlopeTime) {
  if (SlopeTime < 10) SlopeTime = 10;
  if (SlopeTime > 30000) SlopeTime = 30000;

  SlopeLength_ = runtime::CLng(static_cast<double>(SlopeTime) * kSampleRate / 1000 - 1);
  runtime::Allocating([&] { SlopeTable_.assign(static_cast<size_t>(SlopeLength_) + 1, 0.0f); });

  FilterPos1_ = FilterPos2_ = FilterPos3_ = 0;
  FilterSum1_ = 0;
  FilterSum2_ = 0;
  FilterSum3_ = 0;

  FilterLength1_ = SlopeLength_ / 2.4 - 0.5;
  FilterLength2_ = FilterLength1_ * 0.828;
  FilterLength3_ = runtime::CLng(FilterLength1_ * 0.643);
  FilterNorm_ = (FilterLength1_ * FilterLength2_) * FilterLength3_;

  runtime::Allocating([&] {
    FilterRing1_.assign(static_cast<size_t>(runtime::CLng(FilterLength1_)) + 1, 0.0f);
    FilterRing2_.assign(static_cast<size_t>(runtime::CLng(FilterLength2_)) + 1, 0.0f);
    FilterRing3_.assign(static_cast<size_t>(FilterLength3_) + 1, 0.0);
  });
}

float SlopeEnvelope::SlopeFilter(float x) {
  // A position equal to a fractional length's integer part is still used; one above wraps to 1.
  if (++FilterPos1_ > FilterLength1_) FilterPos1_ = 1;
  if (++FilterPos2_ > FilterLength2_) FilterPos2_ = 1;
  if (++FilterPos3_ > FilterLength3_) FilterPos3_ = 1;

  FilterSum1_ -= FilterRing1_[FilterPos1_];
  FilterRing1_[FilterPos1_] = x;
  FilterSum1_ += x;

  FilterSum2_ -= FilterRing2_[FilterPos2_];
  FilterRing2_[FilterPos2_] = FilterSum1_;
  FilterSum2_ += FilterSum1_;

  FilterSum3_ -= FilterRing3_[FilterPos3_];
  FilterRing3_[FilterPos3_] = FilterSum2_;
  FilterSum3_ += FilterSum2_;

  return static_cast<float>(FilterSum3_);
}

void SlopeEnvelope::CalcSlope(const int16_t& Magnitude) {
  const float step = static_cast<float>(Magnitude / FilterNorm_);
  const int32_t last = SlopeLength_;
  for (int32_t i = 0; i <= last; ++i) SlopeTable_[i] = SlopeFilter(step);
}

}  // namespace synth
