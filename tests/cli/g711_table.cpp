// The G.711 tables in full, for comparison with sox's: `g711_table mulaw|alaw` writes the code of
// every 16-bit sample from -32768 up; `g711_table mulaw-decode|alaw-decode` the 16-bit
// little-endian sample of every code from 0 up.
#include <cstdio>
#include <cstring>

#include "tools/g711.h"

int main(int argc, char** argv) {
  const char* mode = argc == 2 ? argv[1] : "";
  const bool mu = !std::strncmp(mode, "mulaw", 5);
  if (!mu && std::strncmp(mode, "alaw", 4)) {
    std::fputs("usage: g711_table mulaw|alaw|mulaw-decode|alaw-decode\n", stderr);
    return 2;
  }
  if (std::strstr(mode, "-decode")) {
    for (int code = 0; code < 256; ++code) {
      const auto u = static_cast<uint8_t>(code);
      const auto s = static_cast<uint16_t>(mu ? tools::MuLawDecode(u) : tools::ALawDecode(u));
      std::putchar(s & 0xff);
      std::putchar(s >> 8);
    }
  } else {
    for (int s = -32768; s < 32768; ++s) {
      const auto v = static_cast<int16_t>(s);
      std::putchar(mu ? tools::MuLawEncode(v) : tools::ALawEncode(v));
    }
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
