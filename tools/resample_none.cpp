#include "tools/resample.h"

namespace tools {

const bool kCanResample = false;

std::string Resample(std::span<const int16_t>, int32_t, int32_t to, std::vector<int16_t>&) {
  return "this build writes only 11025 Hz (it has no resampling library), not " +
         std::to_string(to) + " Hz";
}

}  // namespace tools
