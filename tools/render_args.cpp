#include "tools/render_args.h"

#include <utility>

#include "runtime/error.h"
#include "runtime/rounding.h"
#include "runtime/val.h"

namespace tools {

const char* const kRenderUsage =
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

namespace {

// Val of an argument; nullopt when the number is beyond the range of a double.
std::optional<double> Number(const std::string& text) {
  try {
    return runtime::Val(text);
  } catch (const runtime::Error&) {
    return std::nullopt;
  }
}

}  // namespace

RenderArgs ParseRenderArgs(const std::vector<std::string>& args) {
  RenderArgs parsed;
  RenderOptions& o = parsed.options;
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
    if (a == "--tone-time" || a == "-o" || a == "--volume") {
      if (i + 1 >= args.size()) return bad("option " + a + " needs a value");
      (a == "-o" ? o.output : a == "--volume" ? o.volume : o.tone_time) = args[++i];
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
  if (o.command != "bank" && o.command != "dial" && o.command != "text") {
    return bad("unknown command '" + o.command + "'");
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
  return parsed;
}

}  // namespace tools
