// The edge envelope of every tone: the step response of three moving-sum stages of different
// lengths. Stages 1 and 2 run in single precision, stage 3 in double; those precisions decide
// the table's low bits, so they are kept exactly.
#pragma once

#include <cstdint>
#include <vector>

namespace synth {

// The envelope every tone uses: edges of 20 ms rising towards 16384.
inline constexpr int32_t kSlopeTime = 20;
inline constexpr int16_t kSlopeMagnitude = 16384;

class SlopeEnvelope {
 public:
  // The envelope every tone uses, set up and computed.
  static SlopeEnvelope Standard();

  // Clamps SlopeTime to 10..30000 ms (written back) and discards all earlier state.
  void InitSlopeFilter(int32_t& SlopeTime);
  // One step of the cascade; returns its output rounded to single.
  float SlopeFilter(float x);
  // Fills SlopeTable with SlopeLength + 1 steps of a constant input Magnitude / FilterNorm.
  void CalcSlope(const int16_t& Magnitude);

  const std::vector<float>& SlopeTable() const { return SlopeTable_; }
  int32_t SlopeLength() const { return SlopeLength_; }
  double FilterLength1() const { return FilterLength1_; }
  double FilterLength2() const { return FilterLength2_; }
  int32_t FilterLength3() const { return FilterLength3_; }
  double FilterNorm() const { return FilterNorm_; }

 private:
  std::vector<float> SlopeTable_;
  int32_t FilterPos1_ = 0;
  int32_t FilterPos2_ = 0;
  int32_t FilterPos3_ = 0;
  std::vector<float> FilterRing1_;
  std::vector<float> FilterRing2_;
  std::vector<double> FilterRing3_;
  float FilterSum1_ = 0;
  float FilterSum2_ = 0;
  double FilterSum3_ = 0;
  double FilterLength1_ = 0;
  double FilterLength2_ = 0;
  int32_t FilterLength3_ = 0;
  double FilterNorm_ = 0;
  int32_t SlopeLength_ = 0;
};

}  // namespace synth
