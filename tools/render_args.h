// kavrel-render's command line: a command, its text and options, with the numbers checked as the
// window reads them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "tools/sound_format.h"

namespace tools {

extern const char* const kRenderUsage;

struct RenderOptions {
  std::string command;               // bank, dial, text or check
  std::optional<std::string> input;  // the dial string, the text or the file to check
  std::string tone_time = "40";
  std::string volume = "10";
  std::string output = "-";
  std::string rate = "11025";
  std::string format = "pcm16";
  bool json = false;  // check: the report as one JSON document
  // The numbers and names, once checked.
  double tone_time_ms = 0;
  int16_t volume_value = 0;
  SoundFormat sound;
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
