// libFuzzer target for the settings file as start-up reads it, any bytes as the file:
// - what is read is at most three lines, none with a line end in it;
// - the values the window takes from them (dial string, tone time, a volume within the scroll
//   bar's range) come back the same from the file it writes at shutdown.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "dialer/form1.h"
#include "runtime/codepage.h"
#include "runtime/text_file.h"
#include "tests/fuzz/fuzz_check.h"

namespace {

using fuzz::Check;

// The file, in memory where the system offers it (it is written twice for every input), and
// removed when the run ends.
struct ScratchFile {
  ScratchFile() {
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::is_directory("/dev/shm", ec)
                                             ? "/dev/shm"
                                             : std::filesystem::temp_directory_path();
    path = (folder / ("settings_fuzzer-" + std::to_string(getpid()) + ".ini")).string();
  }
  ~ScratchFile() { std::remove(path.c_str()); }
  std::string path;
};

const std::string& FilePath() {
  static const ScratchFile file;
  return file.path;
}

void Write(const std::string& bytes) {
  std::FILE* f = std::fopen(FilePath().c_str(), "wb");
  Check(f != nullptr, "the scratch file can be written");
  std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
}

dialer::StoredSettings Read() {
  const auto lines = runtime::ReadLines(FilePath(), 3);
  Check(lines.has_value() && lines->size() <= 3, "at most three lines");
  for (const std::string& line : *lines) {
    Check(line.find_first_of("\r\n") == std::string::npos, "no line end within a line");
  }
  return dialer::ReadStoredSettings(*lines);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Write(std::string(reinterpret_cast<const char*>(data), size));
  const dialer::StoredSettings read = Read();
  if (read.volume) Check(*read.volume >= 1 && *read.volume <= 5001, "a volume within range");

  // Saved as the window saves them, with the initial value for whatever the file lacked.
  const std::u16string dial = read.dial_string.value_or(u"");
  const std::u16string tone = read.tone_time.value_or(u"40");
  const int16_t volume = read.volume.value_or(10);
  Write(runtime::ToAnsi(dial) + "\r\n" + runtime::ToAnsi(tone) + "\r\n " + std::to_string(volume) +
        " \r\n \r\n \r\n");
  const dialer::StoredSettings again = Read();
  Check(again.dial_string == dial, "the dial string comes back unchanged");
  Check(again.tone_time == tone, "the tone time comes back unchanged");
  Check(again.volume == volume, "the volume comes back unchanged");
  return 0;
}
