// Writes the settings file of a first start into FOLDER: what the window saves when it closes with
// the values it starts with. Its output, dialer/default/Sindrat.ini, is put beside the programs in
// the build folder and shipped in the Windows packages; the default_settings test checks that it
// is still what this writes. (The Windows builds cannot run a program at build time: a 32-bit one
// may not start on the machine that builds it.)
//   make_settings FOLDER
#include <cstdio>
#include <fstream>
#include <string>

#include "audio/virtual/virtual_device.h"
#include "dialer/form1.h"
#include "dialer/forms/headless/headless.h"
#include "runtime/folders.h"
#include "runtime/utf8.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: make_settings FOLDER\n", stderr);
    return 2;
  }
  const std::string folder = argv[1];
  // An empty settings file gives the window no values, so it keeps its own; and a file already
  // there makes the folder the settings' place, whoever runs this (the superuser too).
  std::ofstream{folder + runtime::kPathSeparator + dialer::kSettingsFileName};
  forms::HeadlessBinding engine(folder);
  dialer::Form1 form(
      engine, [&engine](runtime::Dispatcher& d) { return audio::OpenVirtualDevice(d, engine); });
  form.UserLoad();
  form.UserClose();
  for (const std::u16string& message : engine.Messages()) {
    std::fprintf(stderr, "make_settings: %s\n", runtime::ToUtf8(message).c_str());
  }
  return engine.Messages().empty() ? 0 : 1;
}
