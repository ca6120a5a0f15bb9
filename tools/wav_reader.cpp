#include "tools/wav_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "tools/g711.h"

namespace tools {
namespace {

uint32_t Le(const unsigned char* p, int bytes) {
  uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

}  // namespace

std::string ParseWav(const std::vector<unsigned char>& bytes, WavSound& sound) {
  const size_t size = bytes.size();
  const unsigned char* b = bytes.data();
  if (size < 12 || std::memcmp(b, "RIFF", 4) || std::memcmp(b + 8, "WAVE", 4)) {
    return "not a RIFF WAV file";
  }
  uint32_t tag = 0, channels = 0, rate = 0, align = 0, bits = 0;
  bool have_format = false;
  for (size_t at = 12; at + 8 <= size;) {
    const unsigned char* chunk = b + at;
    const size_t length = Le(chunk + 4, 4);
    const size_t body = at + 8;
    const size_t available = size - body;
    if (!std::memcmp(chunk, "fmt ", 4)) {
      if (length < 16 || length > available) return "its format chunk is cut short";
      tag = Le(b + body, 2);
      channels = Le(b + body + 2, 2);
      rate = Le(b + body + 4, 4);
      align = Le(b + body + 12, 2);
      bits = Le(b + body + 14, 2);
      if (tag == 0xFFFE) {  // the format is the first two bytes of the subformat's GUID
        if (length < 40) return "its extensible format chunk is cut short";
        tag = Le(b + body + 24, 2);
      }
      have_format = true;
    } else if (!std::memcmp(chunk, "data", 4)) {
      if (!have_format) return "its data come before its format";
      const bool pcm8 = tag == 1 && bits == 8, pcm16 = tag == 1 && bits == 16;
      const bool g711 = (tag == 6 || tag == 7) && bits == 8;
      if (!pcm8 && !pcm16 && !g711) {
        return "its samples are neither 8- or 16-bit PCM nor mu-law or A-law (format " +
               std::to_string(tag) + ", " + std::to_string(bits) + " bits)";
      }
      const uint32_t sample_bytes = pcm16 ? 2 : 1;
      if (channels == 0 || rate == 0 || align < channels * sample_bytes) {
        return "its format chunk is inconsistent";
      }
      // A size beyond the file's end (a file written to a pipe) means the rest of the file.
      const size_t data = std::min(length, available);
      const size_t count = data / align;
      sound.rate = static_cast<int32_t>(rate);
      sound.samples.resize(count);
      const unsigned char* p = b + body;
      for (size_t i = 0; i < count; ++i, p += align) {
        float value = 0;
        if (pcm16) {
          value = static_cast<int16_t>(Le(p, 2));
        } else if (pcm8) {
          value = (static_cast<int>(*p) - 128) * 256.0f;
        } else {
          value = tag == 7 ? MuLawDecode(*p) : ALawDecode(*p);
        }
        sound.samples[i] = value;
      }
      return {};
    }
    if (length > available) break;
    at = body + length + (length & 1);
  }
  return have_format ? "it has no data chunk" : "it has no format chunk";
}

std::string ReadWav(const std::string& path, WavSound& sound) {
  const std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "rb"), std::fclose);
  if (!f) return "cannot open '" + path + "': " + std::strerror(errno);
  std::vector<unsigned char> bytes;
  unsigned char chunk[1 << 16];
  size_t n = 0;
  while ((n = std::fread(chunk, 1, sizeof chunk, f.get())) > 0) {
    bytes.insert(bytes.end(), chunk, chunk + n);
  }
  if (std::ferror(f.get())) return "cannot read '" + path + "'";
  const std::string problem = ParseWav(bytes, sound);
  return problem.empty() ? problem : "'" + path + "': " + problem;
}

}  // namespace tools
