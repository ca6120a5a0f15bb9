// kavrel-render: the dialer's sound, computed without a sound card.
//   bank  all 17 rows of the tone bank, row 0 first
//   dial  what the window plays for a dial string and Play
//   text  what the window plays for a text sent from the text box
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "dialer/form1.h"
#include "dialer/forms/headless/headless.h"
#include "runtime/error.h"
#include "runtime/rounding.h"
#include "runtime/utf8.h"
#include "runtime/val.h"
#include "synth/tone_bank.h"
#include "tools/pcm_writer.h"

namespace {

constexpr const char* kUsage =
    "usage: kavrel-render bank [--tone-time MS] [-o FILE]\n"
    "       kavrel-render dial STRING [--tone-time MS] [--volume V] [-o FILE]\n"
    "       kavrel-render text TEXT [--tone-time MS] [--volume V] [-o FILE]\n"
    "\n"
    "  bank           write all 17 rows of the tone bank, row 0 (silence) first\n"
    "  dial STRING    what the dialer plays for STRING in the dial-string box and Play\n"
    "  text TEXT      what the dialer plays for TEXT sent from the text box (no line\n"
    "                 break is added)\n"
    "\n"
    "options:\n"
    "  --tone-time MS tone time in milliseconds (default 40), read like the tone-time box\n"
    "  --volume V     the volume scroll bar's value, 1 (0 dB) to 5001 (-50 dB); default 10\n"
    "  -o FILE        output file: *.wav gives a RIFF WAV (PCM, mono, 11025 Hz, 16-bit),\n"
    "                 anything else raw little-endian 16-bit samples; '-' or no -o:\n"
    "                 standard output\n"
    "  --help         this text\n";

struct Options {
  std::string command;
  std::optional<std::string> input;  // the dial string or text
  std::string tone_time = "40";
  std::string volume = "10";
  std::string output = "-";
  // The numbers, once checked.
  double tone_time_ms = 0;
  int16_t volume_value = 0;
};

// Val of an argument; nullopt when the number is beyond the range of a double.
std::optional<double> Number(const std::string& text) {
  try {
    return runtime::Val(text);
  } catch (const runtime::Error&) {
    return std::nullopt;
  }
}

int Usage(const std::string& problem) {
  std::fprintf(stderr, "kavrel-render: %s\n(see kavrel-render --help)\n", problem.c_str());
  return 2;
}

// Parses the arguments; returns an exit code when the program should stop.
std::optional<int> Parse(int argc, char** argv, Options& o) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (a == "--tone-time" || a == "-o" || a == "--volume") {
      if (i + 1 >= args.size()) return Usage("option " + a + " needs a value");
      (a == "-o" ? o.output : a == "--volume" ? o.volume : o.tone_time) = args[++i];
    } else if (o.command.empty()) {
      if (!a.empty() && a[0] == '-') return Usage("unknown option '" + a + "'");
      o.command = a;
    } else if (o.command != "bank" && !o.input) {
      o.input = a;  // may begin with '-' or be empty: it is what gets dialed
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return Usage("unknown option '" + a + "'");
    } else {
      return Usage("unexpected argument '" + a + "'");
    }
  }
  if (o.command.empty()) return Usage("no command given");
  if (o.command != "bank" && o.command != "dial" && o.command != "text") {
    return Usage("unknown command '" + o.command + "'");
  }
  if (o.command != "bank" && !o.input) return Usage(o.command + " needs a text to play");
  // Numbers as the window reads them; beyond 30000 ms the window does not rebuild either.
  const std::optional<double> tone_time = Number(o.tone_time);
  if (!tone_time) return Usage("tone time " + o.tone_time + " is out of range");
  if (*tone_time > 30000) return Usage("tone time " + o.tone_time + " is above 30000 ms");
  o.tone_time_ms = *tone_time;
  const std::optional<double> volume = Number(o.volume);
  if (!volume || !(*volume >= 1 && *volume <= 5001)) {
    return Usage("volume " + o.volume + " is not in 1..5001");
  }
  o.volume_value = runtime::CInt(*volume);
  return std::nullopt;
}

int Write(const Options& o, std::span<const int16_t> samples) {
  const std::string error = tools::WritePcm(o.output, samples);
  if (error.empty()) return 0;
  std::fprintf(stderr, "kavrel-render: %s\n", error.c_str());
  return 1;
}

int Bank(const Options& o) {
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
int Play(const Options& o) {
  // An empty program folder: no settings file is read, the values set here stay.
  std::error_code ec;
  const auto folder = std::filesystem::temp_directory_path(ec) / "kavrel-render-empty";
  forms::HeadlessBinding engine((folder / "no-settings").string());
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
  Options options;
  if (auto stop = Parse(argc, argv, options)) return *stop;
  try {
    return options.command == "bank" ? Bank(options) : Play(options);
  } catch (const runtime::Error& e) {
    std::fprintf(stderr, "kavrel-render: error %d: %s\n", e.number(), e.description().c_str());
    return 1;
  }
}
