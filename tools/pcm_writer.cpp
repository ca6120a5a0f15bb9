#include "tools/pcm_writer.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "tools/g711.h"

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

std::vector<unsigned char> WavHeader(size_t sample_count, const SoundFormat& format) {
  const bool pcm = format.encoding == Encoding::kPcm16;
  const uint32_t bytes_per_sample = pcm ? 2 : 1;
  const auto data_bytes = static_cast<uint32_t>(sample_count * bytes_per_sample);
  const auto rate = static_cast<uint32_t>(format.rate);
  // G.711 has the longer format chunk (with its empty extension) and a sample count, as a
  // format that is not PCM needs; data of odd length is padded to an even one.
  const uint32_t fmt_bytes = pcm ? 16 : 18;
  const uint32_t fact_bytes = pcm ? 0 : 12;
  const uint32_t pad = data_bytes & 1;
  std::vector<unsigned char> h;
  h.insert(h.end(), {'R', 'I', 'F', 'F'});
  PutLe(h, 4 + 8 + fmt_bytes + fact_bytes + 8 + data_bytes + pad, 4);
  h.insert(h.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
  PutLe(h, fmt_bytes, 4);
  PutLe(h, pcm ? 1 : format.encoding == Encoding::kMuLaw ? 7 : 6, 2);  // PCM, MULAW, ALAW
  PutLe(h, 1, 2);                                                      // mono
  PutLe(h, rate, 4);                                                   // samples per second
  PutLe(h, rate * bytes_per_sample, 4);                                // bytes per second
  PutLe(h, bytes_per_sample, 2);                                       // block align
  PutLe(h, 8 * bytes_per_sample, 2);                                   // bits per sample
  if (!pcm) {
    PutLe(h, 0, 2);  // no extension
    h.insert(h.end(), {'f', 'a', 'c', 't'});
    PutLe(h, 4, 4);
    PutLe(h, static_cast<uint32_t>(sample_count), 4);
  }
  h.insert(h.end(), {'d', 'a', 't', 'a'});
  PutLe(h, data_bytes, 4);
  return h;
}

// Writes the samples as little-endian bytes. On a little-endian machine they are those bytes
// already and go out in one write; elsewhere they are swapped a chunk at a time.
bool WriteSamples(FILE* f, std::span<const int16_t> samples) {
  if constexpr (std::endian::native == std::endian::little) {
    return std::fwrite(samples.data(), sizeof(int16_t), samples.size(), f) == samples.size();
  } else {
    unsigned char chunk[8192];
    constexpr size_t kPerChunk = sizeof chunk / 2;
    for (size_t first = 0; first < samples.size(); first += kPerChunk) {
      const size_t n = std::min(kPerChunk, samples.size() - first);
      for (size_t i = 0; i < n; ++i) {
        const auto s = static_cast<uint16_t>(samples[first + i]);
        chunk[2 * i] = static_cast<unsigned char>(s & 0xff);
        chunk[2 * i + 1] = static_cast<unsigned char>(s >> 8);
      }
      if (std::fwrite(chunk, 1, 2 * n, f) != 2 * n) return false;
    }
    return true;
  }
}

}  // namespace

std::string WritePcm(const std::string& path, std::span<const int16_t> samples,
                     const SoundFormat& format) {
  const bool to_stdout = path == "-";
  const bool wav = !to_stdout && EndsWithWav(path);
  const bool pcm = format.encoding == Encoding::kPcm16;
  if (wav && samples.size() * (pcm ? 2 : 1) > 0xFFFFFFFFu - 60) {
    return "too many samples for a WAV file";
  }
  std::vector<unsigned char> codes;
  if (!pcm) {
    codes.resize(samples.size());
    const auto encode = format.encoding == Encoding::kMuLaw ? MuLawEncode : ALawEncode;
    std::transform(samples.begin(), samples.end(), codes.begin(), encode);
    if (wav && codes.size() % 2) codes.push_back(0);  // the pad byte
  }

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
  bool ok = true;
  if (wav) {
    const std::vector<unsigned char> header = WavHeader(samples.size(), format);
    ok = std::fwrite(header.data(), 1, header.size(), f) == header.size();
  }
  ok = ok && (pcm ? WriteSamples(f, samples)
                  : std::fwrite(codes.data(), 1, codes.size(), f) == codes.size());
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
