#include <soxr.h>

#include "tools/resample.h"

namespace tools {

const bool kCanResample = true;

std::string Resample(std::span<const int16_t> in, int32_t from, int32_t to,
                     std::vector<int16_t>& out) {
  out.assign((in.size() * static_cast<uint64_t>(to) + static_cast<uint64_t>(from) / 2) / from, 0);
  soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
  io.flags |= SOXR_NO_DITHER;  // the same bytes on every run
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  size_t done = 0;
  const soxr_error_t error = soxr_oneshot(from, to, 1, in.data(), in.size(), nullptr, out.data(),
                                          out.size(), &done, &io, &quality, &runtime);
  if (error) return std::string("resampling failed: ") + error;
  out.resize(done);
  return {};
}

}  // namespace tools
