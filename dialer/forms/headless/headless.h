// The form engine without a screen, in virtual time: timers, posted calls and a virtual clock (the
// virtual sound device's) advance together through one ordered queue, so a test can press a key,
// advance 130 ms and know exactly which samples played and when each caption changed. No threads,
// no real time.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "dialer/forms/form.h"
#include "runtime/virtual_clock.h"
#include "synth/sample_rate.h"

namespace forms {

class HeadlessBinding final : public Binding, public runtime::ClockDriver {
 public:
  // A millisecond and a step of the clock, a sample, are both whole numbers of ticks: a sample is
  // 1000, a millisecond as many as the samples a second holds.
  static constexpr int64_t kTicksPerSample = 1000;
  static constexpr int64_t kTicksPerMs = synth::kSampleRate;

  explicit HeadlessBinding(std::string program_folder);

  // Drives the clock of the sound device a form opened, which counts samples; a device opened
  // later takes its place.
  void Drive(runtime::VirtualClock& clock, std::weak_ptr<const bool> life) override;

  double NowMs() const { return static_cast<double>(now_) / kTicksPerMs; }
  void RunFor(double ms);
  // Runs until `done` holds between two events, or until max_ms have passed; true if it held.
  bool RunUntil(const std::function<bool()>& done, double max_ms);
  // Runs until nothing is queued, nothing plays and no timer is armed (or max_ms pass). A title
  // bar waiting for its caption is no work: it is shown at the next step.
  bool RunUntilIdle(double max_ms = 600000);
  bool Idle() const;

  // What the window showed and asked for: the title bar's latest caption and how many times it
  // was shown, the messages, the addresses opened.
  const std::u16string& ShownCaption() const { return shown_caption_; }
  int CaptionsShown() const { return captions_shown_; }
  const std::vector<std::u16string>& Messages() const { return messages_; }
  const std::vector<std::pair<std::string, std::string>>& OpenedUrls() const { return urls_; }

  void PropertyChanged(const Control&, Property) override {}
  void ShowCaption(const std::u16string& caption) override {
    shown_caption_ = caption;
    ++captions_shown_;
  }
  // The idle moment is the start of the next step, before any queued call.
  bool WhenIdle(std::function<void()> call) override {
    idle_.push_back(std::move(call));
    return true;
  }
  void ArmTimer(Timer& timer) override;
  void DisarmTimer(Timer& timer) override;
  void ShowMessage(const std::u16string& text) override { messages_.push_back(text); }
  std::string ProgramFolder() override { return folder_; }
  runtime::WindowHandle Handle() override { return nullptr; }
  void OpenUrl(const std::string& address, const std::string& directory) override {
    urls_.emplace_back(address, directory);
  }
  void Post(std::function<void()> call) override { posted_.push_back(std::move(call)); }

 private:
  // Runs one step towards `limit`: queued calls first, then the earliest of timer and the clock's
  // event. Returns false once nothing is left before `limit`.
  bool Step(int64_t limit);

  // The clock driven, while its life lasts.
  runtime::VirtualClock* Clock() const { return clock_life_.expired() ? nullptr : clock_; }

  std::string folder_;
  runtime::VirtualClock* clock_ = nullptr;
  std::weak_ptr<const bool> clock_life_;
  int64_t now_ = 0;
  std::deque<std::function<void()>> idle_;
  std::deque<std::function<void()>> posted_;
  // Armed timers with their next due tick; ties fire in the order they were armed.
  std::map<Timer*, std::pair<int64_t, uint64_t>> timers_;
  uint64_t arm_sequence_ = 0;
  std::u16string shown_caption_;
  int captions_shown_ = 0;
  std::vector<std::u16string> messages_;
  std::vector<std::pair<std::string, std::string>> urls_;
};

}  // namespace forms
