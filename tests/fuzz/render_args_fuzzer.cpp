// libFuzzer target for kavrel-render's command line, the input split at NUL bytes into arguments:
// - it ends with 0 only for --help and otherwise with 2 and a problem to tell;
// - accepted options are complete and their numbers checked as the window reads them, the rate
//   and format one of those offered;
// - accepted options written out as a command line again read back the same.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/fuzz/fuzz_check.h"
#include "tools/render_args.h"

namespace {

using fuzz::Check;

bool Same(const tools::RenderOptions& a, const tools::RenderOptions& b) {
  return a.command == b.command && a.input == b.input && a.tone_time == b.tone_time &&
         a.volume == b.volume && a.output == b.output && a.rate == b.rate && a.format == b.format &&
         a.json == b.json && a.tone_time_ms == b.tone_time_ms && a.volume_value == b.volume_value &&
         a.sound.rate == b.sound.rate && a.sound.encoding == b.sound.encoding;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args(1);
  for (std::size_t i = 0; i < size && args.size() <= 16; ++i) {
    if (data[i] == 0) {
      args.emplace_back();
    } else {
      args.back() += static_cast<char>(data[i]);
    }
  }
  const tools::RenderArgs parsed = tools::ParseRenderArgs(args);
  if (parsed.exit_code == 0) {
    bool help = false;
    for (const std::string& a : args) help = help || a == "--help" || a == "-h";
    Check(help, "exit 0 only for --help");
    return 0;
  }
  if (parsed.exit_code) {
    Check(*parsed.exit_code == 2 && !parsed.problem.empty(), "a bad argument: exit 2, and why");
    return 0;
  }

  const tools::RenderOptions& o = parsed.options;
  Check(o.command == "bank" || o.command == "dial" || o.command == "text" || o.command == "check",
        "a known command");
  Check(o.input.has_value() == (o.command != "bank"), "a text or file exactly for all but bank");
  Check(!o.json || o.command == "check", "--json for check only");
  if (o.command == "check") {
    std::vector<std::string> again = {"check", *o.input};
    if (o.json) again.push_back("--json");
    const tools::RenderArgs reread = tools::ParseRenderArgs(again);
    Check(!reread.exit_code && Same(reread.options, o), "check: its file and --json, read back");
    return 0;
  }
  Check(std::isfinite(o.tone_time_ms) && o.tone_time_ms <= 30000, "a tone time up to 30000 ms");
  Check(o.volume_value >= 1 && o.volume_value <= 5001, "a volume within 1..5001");
  Check(std::to_string(o.sound.rate) == o.rate, "a rate as written");

  std::vector<std::string> again = {o.command};
  if (o.input) again.push_back(*o.input);
  again.insert(again.end(), {"--tone-time", o.tone_time, "--volume", o.volume, "--rate", o.rate,
                             "--format", o.format, "-o", o.output});
  const tools::RenderArgs reread = tools::ParseRenderArgs(again);
  Check(!reread.exit_code && Same(reread.options, o), "written out again, read back the same");
  return 0;
}
