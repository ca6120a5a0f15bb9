// kavrel-render: the dialer's sound, computed without a sound card.
//   bank  all 17 rows of the tone bank, row 0 first
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "runtime/error.h"
#include "runtime/val.h"
#include "synth/tone_bank.h"
#include "tools/pcm_writer.h"

namespace {

constexpr const char* kUsage =
    "usage: kavrel-render bank [--tone-time MS] [-o FILE]\n"
    "\n"
    "  bank           write all 17 rows of the tone bank, row 0 (silence) first\n"
    "\n"
    "options:\n"
    "  --tone-time MS tone time in milliseconds (default 40), read like the tone-time box\n"
    "  -o FILE        output file: *.wav gives a RIFF WAV (PCM, mono, 11025 Hz, 16-bit),\n"
    "                 anything else raw little-endian 16-bit samples; '-' or no -o:\n"
    "                 standard output\n"
    "  --help         this text\n";

struct Options {
  std::string command;
  std::string tone_time = "40";
  std::string output = "-";
};

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
    if (a == "--tone-time" || a == "-o") {
      if (i + 1 >= args.size()) return Usage("option " + a + " needs a value");
      (a == "-o" ? o.output : o.tone_time) = args[++i];
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return Usage("unknown option '" + a + "'");
    } else if (o.command.empty()) {
      o.command = a;
    } else {
      return Usage("unexpected argument '" + a + "'");
    }
  }
  if (o.command.empty()) return Usage("no command given");
  if (o.command != "bank") return Usage("unknown command '" + o.command + "'");
  return std::nullopt;
}

int Bank(const Options& o) {
  const double requested = runtime::Val(o.tone_time);
  // The window never applies more than this either; beyond it the bank would not fit in memory.
  if (requested > 30000) return Usage("tone time " + o.tone_time + " is above 30000 ms");
  const float tone_time = static_cast<float>(requested);
  synth::SlopeEnvelope slope;
  int32_t slope_time = 20;
  slope.InitSlopeFilter(slope_time);
  const int16_t magnitude = 16384;
  slope.CalcSlope(magnitude);
  synth::ToneBank bank;
  const int32_t block = synth::GenTones(tone_time, slope, bank);

  const std::string error = tools::WritePcm(o.output, bank.Samples());
  if (!error.empty()) {
    std::fprintf(stderr, "kavrel-render: %s\n", error.c_str());
    return 1;
  }
  std::fprintf(stderr, "kavrel-render: tone time %g ms, BlockSamples %d, %zu samples written\n",
               static_cast<double>(tone_time), block, bank.Samples().size());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (auto stop = Parse(argc, argv, options)) return *stop;
  try {
    return Bank(options);
  } catch (const runtime::Error& e) {
    std::fprintf(stderr, "kavrel-render: error %d: %s\n", e.number(), e.description().c_str());
    return 1;
  }
}
