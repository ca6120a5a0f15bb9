// Streams a list of tone numbers through the output module the way the dial controller does:
// the first block into a fresh buffer and play; on each notification the next block; when the
// list is used up one half of silence, and at the notification after that a stop.
#pragma once

#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "audio/output.h"

namespace testsupport {

class BlockStreamer final : public audio::EventSink {
 public:
  explicit BlockStreamer(std::vector<int16_t> tones) : tones_(std::move(tones)) {}

  // The module must have its output created and at least one tone to play.
  void Start(audio::PlayDX8Module& output) {
    output_ = &output;
    next_ = 1;
    silence_written_ = false;
    finished_ = false;
    output.ResetOutput();
    output.WriteToneBlock(tones_.front());
    output.StartOutput();
  }

  void DXCallBack(int32_t) override {
    if (output_ == nullptr || finished_) return;
    ++notifications_;
    if (next_ < tones_.size()) {
      output_->WriteToneBlock(tones_[next_++]);
    } else if (!silence_written_) {
      const int16_t silence = 0;
      output_->WriteToneBlock(silence);
      silence_written_ = true;
    } else {
      output_->ResetOutput();
      finished_ = true;
    }
  }

  // The device went away: the stream cannot finish.
  void DeviceLost() override { lost_ = true; }

  bool finished() const { return finished_; }
  bool lost() const { return lost_; }
  int notifications() const { return notifications_; }
  const std::vector<int16_t>& tones() const { return tones_; }

 private:
  std::vector<int16_t> tones_;
  audio::PlayDX8Module* output_ = nullptr;
  size_t next_ = 0;
  bool silence_written_ = false;
  bool finished_ = false;
  bool lost_ = false;
  int notifications_ = 0;
};

// Writes what streaming `tones` through `output` should be heard as, for stream_check verify: the
// block size in samples (32-bit), then the blocks back to back with the volume applied and the
// final silent block (16-bit samples), all little-endian. False when it could not be written.
inline bool WriteExpected(const std::string& path, const audio::PlayDX8Module& output,
                          const std::vector<int16_t>& tones) {
  const auto block = static_cast<uint32_t>(output.Inspect().ToneBank.Row(0).size());
  std::ofstream out(path, std::ios::binary);
  const auto put = [&out](uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xff));
  };
  put(block, 4);
  const double gain = audio::VolumeGain(output.Volume());
  for (int16_t t : tones) {
    for (int16_t s : output.Inspect().ToneBank.Row(t))
      put(static_cast<uint16_t>(audio::ApplyGain(s, gain)), 2);
  }
  for (uint32_t i = 0; i < block; ++i) put(0, 2);
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace testsupport
