#include "tools/pcm_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#endif

namespace tools {
namespace {

bool EndsWithWav(const std::string& path) {
  if (path.size() < 4) return false;
  std::string tail = path.substr(path.size() - 4);
  for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  return tail == ".wav";
}

void PutLe(std::vector<unsigned char>& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<unsigned char>(value >> (8 * i)));
}

std::vector<unsigned char> WavHeader(size_t sample_count) {
  const uint32_t data_bytes = static_cast<uint32_t>(sample_count * 2);
  std::vector<unsigned char> h;
  h.insert(h.end(), {'R', 'I', 'F', 'F'});
  PutLe(h, 36 + data_bytes, 4);
  h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  PutLe(h, 16, 4);     // fmt chunk size
  PutLe(h, 1, 2);      // PCM
  PutLe(h, 1, 2);      // mono
  PutLe(h, 11025, 4);  // samples per second
  PutLe(h, 22050, 4);  // bytes per second
  PutLe(h, 2, 2);      // block align
  PutLe(h, 16, 2);     // bits per sample
  h.insert(h.end(), {'d', 'a', 't', 'a'});
  PutLe(h, data_bytes, 4);
  return h;
}

std::vector<unsigned char> LittleEndian(std::span<const int16_t> samples) {
  std::vector<unsigned char> out;
  out.reserve(samples.size() * 2);
  for (int16_t s : samples) PutLe(out, static_cast<uint16_t>(s), 2);
  return out;
}

}  // namespace

std::string WritePcm(const std::string& path, std::span<const int16_t> samples) {
  const bool to_stdout = path == "-";
  const bool wav = !to_stdout && EndsWithWav(path);
  if (wav && samples.size() * 2 > 0xFFFFFFFFu - 36) return "too many samples for a WAV file";

  std::vector<unsigned char> bytes = wav ? WavHeader(samples.size()) : std::vector<unsigned char>{};
  const std::vector<unsigned char> data = LittleEndian(samples);
  bytes.insert(bytes.end(), data.begin(), data.end());

  FILE* f = stdout;
  if (to_stdout) {
#if defined(_WIN32)
    _setmode(_fileno(stdout), _O_BINARY);
#endif
  } else {
    f = std::fopen(path.c_str(), "wb");
    if (!f) return "cannot open '" + path + "' for writing: " + std::strerror(errno);
  }
  errno = 0;
  const size_t written = std::fwrite(bytes.data(), 1, bytes.size(), f);
  bool ok = written == bytes.size();
  int error = errno;
  if (to_stdout) {
    ok = std::fflush(f) == 0 && ok;
  } else {
    ok = std::fclose(f) == 0 && ok;
  }
  if (!error) error = errno;
  if (ok) return {};
  const std::string where = to_stdout ? std::string("standard output") : "'" + path + "'";
  if (!to_stdout) std::remove(path.c_str());
  return "writing " + where + " failed" + (error ? std::string(": ") + std::strerror(error) : "");
}

}  // namespace tools
