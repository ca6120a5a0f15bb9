// Streams a list of tone numbers through the output module the way the dial controller does:
// the first block into a fresh buffer and play; on each notification the next block; when the
// list is used up one half of silence, and at the notification after that a stop.
#pragma once

#include <cstddef>
#include <cstdint>
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

}  // namespace testsupport
