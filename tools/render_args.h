// kavrel-render's command line: a command, its text and options, with the numbers checked as the
// window reads them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tools {

extern const char* const kRenderUsage;

struct RenderOptions {
  std::string command;               // bank, dial or text
  std::optional<std::string> input;  // the dial string or text
  std::string tone_time = "40";
  std::string volume = "10";
  std::string output = "-";
  // The numbers, once checked.
  double tone_time_ms = 0;
  int16_t volume_value = 0;
};

// What the arguments (without the program's name) ask for. With no exit code the options are
// complete and checked; otherwise the program ends with it: 0 for --help (print kRenderUsage), 2
// for a bad argument, which `problem` describes.
struct RenderArgs {
  RenderOptions options;
  std::optional<int> exit_code;
  std::string problem;
};
RenderArgs ParseRenderArgs(const std::vector<std::string>& args);

}  // namespace tools
