// kavrel-render: the dialer's sound, computed without a sound card.
//   bank  all 17 rows of the tone bank, row 0 first
//   dial  what the window plays for a dial string and Play
//   text  what the window plays for a text sent from the text box
//   check whether a recording carries DTMF digits to the standard
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "dialer/form1.h"
#include "dialer/forms/headless/headless.h"
#include "runtime/error.h"
#include "runtime/utf8.h"
#include "synth/tone_bank.h"
#include "tools/dtmf_check.h"
#include "tools/dtmf_report.h"
#include "tools/pcm_writer.h"
#include "tools/render_args.h"
#include "tools/resample.h"
#include "tools/wav_reader.h"

namespace {

int Usage(const std::string& problem) {
  std::fprintf(stderr, "kavrel-render: %s\n(see kavrel-render --help)\n", problem.c_str());
  return 2;
}

// Writes the dialer's samples at the rate and in the format asked.
int Write(const tools::RenderOptions& o, std::span<const int16_t> samples) {
  std::vector<int16_t> resampled;
  if (o.sound.rate != synth::kSampleRate) {
    const std::string error = tools::Resample(samples, synth::kSampleRate, o.sound.rate, resampled);
    if (!error.empty()) {
      std::fprintf(stderr, "kavrel-render: %s\n", error.c_str());
      return 1;
    }
    samples = resampled;
  }
  const std::string error = tools::WritePcm(o.output, samples, o.sound);
  if (error.empty()) return 0;
  std::fprintf(stderr, "kavrel-render: %s\n", error.c_str());
  return 1;
}

// Reads the file a piece at a time and reports each tone as it is found.
int Check(const tools::RenderOptions& o) {
  tools::WavFile file;
  const std::string problem = file.Open(*o.input);
  if (!problem.empty()) {
    std::fprintf(stderr, "kavrel-render: %s\n", problem.c_str());
    return 2;
  }
  tools::WavReader& reader = file.reader();
  tools::DtmfReport report(o.json, reader.rate());
  std::fputs(report.Begin().c_str(), stdout);
  tools::DtmfFinder finder(reader.rate(), [&report](const tools::DtmfTone& tone) {
    std::fputs(report.Add(tone).c_str(), stdout);
  });
  std::vector<float> samples(1 << 14);
  uint64_t count = 0;
  while (const size_t n = reader.Read(samples)) {
    finder.Feed({samples.data(), n});
    count += n;
  }
  if (file.failed()) {
    std::fprintf(stderr, "kavrel-render: cannot read '%s'\n", o.input->c_str());
    return 2;
  }
  finder.Finish();
  std::fputs(report.End(count).c_str(), stdout);
  return report.exit_code();
}

int Bank(const tools::RenderOptions& o) {
  const float tone_time = static_cast<float>(o.tone_time_ms);
  const synth::SlopeEnvelope slope = synth::SlopeEnvelope::Standard();
  synth::ToneBank bank;
  const int32_t block = synth::GenTones(tone_time, slope, bank);

  if (int rc = Write(o, bank.Samples())) return rc;
  std::fprintf(stderr, "kavrel-render: tone time %g ms, BlockSamples %d, %zu samples written\n",
               static_cast<double>(tone_time), block, bank.Samples().size());
  return 0;
}

// Runs the window's own logic on the headless engine and the virtual device, from the first key
// until the output has stopped by itself.
int Play(const tools::RenderOptions& o) {
  // No program folder: no settings are read, so the values set here stay whatever any file
  // holds.
  forms::HeadlessBinding engine("");
  dialer::Form1 form(engine,
                     [&engine](runtime::Dispatcher& d) { return engine.OpenVirtualDevice(d); });
  form.Text2.SetText(runtime::FromUtf8(o.tone_time));
  form.VScroll1.SetValue(o.volume_value);
  form.UserLoad();
  if (!engine.Messages().empty()) {
    std::fprintf(stderr, "kavrel-render: %s\n", runtime::ToUtf8(engine.Messages().back()).c_str());
    return 1;
  }

  const std::u16string input = runtime::FromUtf8(*o.input);
  form.Deliver([&] {
    if (o.command == "dial") {
      form.Text1.SetText(input);
      form.Command3_Click();
    } else {
      form.Text6.SetText(input);
      form.SendText();
    }
  });
  audio::VirtualSoundDevice* device = engine.Device();
  engine.RunUntil([&] { return !device->Playing(); }, 1e12);
  for (const std::u16string& message : engine.Messages()) {
    std::fprintf(stderr, "kavrel-render: %s\n", runtime::ToUtf8(message).c_str());
  }

  const auto& samples = device->Recording();
  if (int rc = Write(o, samples)) return rc;
  std::fprintf(stderr, "kavrel-render: tone time %s ms, BlockSamples %d, %zu samples written\n",
               o.tone_time.c_str(), form.BlockSamples, samples.size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const tools::RenderArgs args = tools::ParseRenderArgs({argv + 1, argv + argc});
  if (args.exit_code == 0) {
    std::fputs(tools::kRenderUsage, stdout);
    return 0;
  }
  if (args.exit_code) return Usage(args.problem);
  const tools::RenderOptions& options = args.options;
  if (options.command == "check") return Check(options);
  // Known before any sound is made: a build without a resampler keeps to the dialer's rate.
  if (options.sound.rate != synth::kSampleRate && !tools::kCanResample) {
    std::vector<int16_t> none;
    return Usage(tools::Resample({}, synth::kSampleRate, options.sound.rate, none));
  }
  try {
    return options.command == "bank" ? Bank(options) : Play(options);
  } catch (const runtime::Error& e) {
    std::fprintf(stderr, "kavrel-render: error %d: %s\n", e.number(), e.description().c_str());
    return 1;
  }
}
