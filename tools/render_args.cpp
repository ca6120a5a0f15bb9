#include "tools/render_args.h"

#include <utility>

#include "runtime/error.h"
#include "runtime/rounding.h"
#include "runtime/val.h"

namespace tools {

const char* const kRenderUsage =
    "usage: kavrel-render bank [--tone-time MS] [SOUND] [-o FILE]\n"
    "       kavrel-render dial STRING [--tone-time MS] [--volume V] [SOUND] [-o FILE]\n"
    "       kavrel-render text TEXT [--tone-time MS] [--volume V] [SOUND] [-o FILE]\n"
    "       kavrel-render check FILE [--json]\n"
    "\n"
    "  bank           write all 17 rows of the tone bank, row 0 (silence) first\n"
    "  dial STRING    what the dialer plays for STRING in the dial-string box and Play\n"
    "  text TEXT      what the dialer plays for TEXT sent from the text box (no line\n"
    "                 break is added)\n"
    "  check FILE     find the DTMF tones in a WAV file (PCM 8/16-bit, mu-law, A-law,\n"
    "                 any rate) and check them against ITU-T Q.24; exit 0 when all\n"
    "                 hold, 1 when a rule is broken; --json: the same report as one\n"
    "                 JSON document\n"
    "\n"
    "options:\n"
    "  --tone-time MS tone time in milliseconds (default 40), read like the tone-time box\n"
    "  --volume V     the volume scroll bar's value, 1 (0 dB) to 5001 (-50 dB); default 10\n"
    "  --rate HZ      8000, 11025 (default), 16000, 44100 or 48000: other than 11025,\n"
    "                 the dialer's samples resampled (SOUND is --rate and --format)\n"
    "  --format F     pcm16 (default, 16-bit little-endian), mulaw or alaw (G.711, a\n"
    "                 byte per sample)\n"
    "  -o FILE        output file: *.wav gives a RIFF WAV (mono, of the rate and format\n"
    "                 asked), anything else raw samples; '-' or no -o: standard output\n"
    "  --help         this text\n";

namespace {

// Val of an argument; nullopt when the number is beyond the range of a double.
std::optional<double> Number(const std::string& text) {
  try {
    return runtime::Val(text);
  } catch (const runtime::Error&) {
    return std::nullopt;
  }
}

// The rates telephony and sound cards use, written as plain numbers.
std::optional<int32_t> Rate(const std::string& text) {
  for (int32_t rate : {8000, 11025, 16000, 44100, 48000}) {
    if (text == std::to_string(rate)) return rate;
  }
  return std::nullopt;
}

std::optional<Encoding> EncodingNamed(const std::string& name) {
  if (name == "pcm16") return Encoding::kPcm16;
  if (name == "mulaw") return Encoding::kMuLaw;
  if (name == "alaw") return Encoding::kALaw;
  return std::nullopt;
}

}  // namespace

RenderArgs ParseRenderArgs(const std::vector<std::string>& args) {
  RenderArgs parsed;
  RenderOptions& o = parsed.options;
  bool options_seen = false;
  const auto bad = [&parsed](std::string problem) {
    parsed.exit_code = 2;
    parsed.problem = std::move(problem);
    return parsed;
  };
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--help" || a == "-h") {
      parsed.exit_code = 0;
      return parsed;
    }
    if (a == "--json" && (o.command.empty() || o.command == "check")) {
      o.json = true;
    } else if (a == "--tone-time" || a == "-o" || a == "--volume" || a == "--rate" ||
               a == "--format") {
      if (i + 1 >= args.size()) return bad("option " + a + " needs a value");
      std::string& value = a == "-o"         ? o.output
                           : a == "--volume" ? o.volume
                           : a == "--rate"   ? o.rate
                           : a == "--format" ? o.format
                                             : o.tone_time;
      value = args[++i];
      if (o.command == "check") return bad("check takes no option " + a);
      options_seen = true;
    } else if (o.command.empty()) {
      if (!a.empty() && a[0] == '-') return bad("unknown option '" + a + "'");
      o.command = a;
    } else if (o.command != "bank" && !o.input) {
      o.input = a;  // may begin with '-' or be empty: it is what gets dialed
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return bad("unknown option '" + a + "'");
    } else {
      return bad("unexpected argument '" + a + "'");
    }
  }
  if (o.command.empty()) return bad("no command given");
  if (o.command != "bank" && o.command != "dial" && o.command != "text" && o.command != "check") {
    return bad("unknown command '" + o.command + "'");
  }
  if (o.json && o.command != "check") return bad("--json is an option of check only");
  if (o.command == "check") {
    if (options_seen) return bad("check takes no option but its file");
    if (!o.input) return bad("check needs a file");
    return parsed;
  }
  if (o.command != "bank" && !o.input) return bad(o.command + " needs a text to play");
  // Numbers as the window reads them; beyond 30000 ms the window does not rebuild either.
  const std::optional<double> tone_time = Number(o.tone_time);
  if (!tone_time) return bad("tone time " + o.tone_time + " is out of range");
  if (*tone_time > 30000) return bad("tone time " + o.tone_time + " is above 30000 ms");
  o.tone_time_ms = *tone_time;
  const std::optional<double> volume = Number(o.volume);
  if (!volume || !(*volume >= 1 && *volume <= 5001)) {
    return bad("volume " + o.volume + " is not in 1..5001");
  }
  o.volume_value = runtime::CInt(*volume);
  const std::optional<int32_t> rate = Rate(o.rate);
  if (!rate) return bad("rate " + o.rate + " is not 8000, 11025, 16000, 44100 or 48000");
  o.sound.rate = *rate;
  const std::optional<Encoding> encoding = EncodingNamed(o.format);
  if (!encoding) return bad("format " + o.format + " is not pcm16, mulaw or alaw");
  o.sound.encoding = *encoding;
  return parsed;
}

}  // namespace tools
