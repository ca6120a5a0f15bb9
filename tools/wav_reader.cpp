#include "tools/wav_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tools/g711.h"

namespace tools {
namespace {

uint32_t Le(const unsigned char* p, int bytes) {
  uint32_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = value << 8 | p[i];
  return value;
}

// Bytes read at a time: whole frames, at least one.
constexpr size_t kBufferBytes = 1 << 16;
// The format chunk's bytes that are read: up to the subformat of WAVE_FORMAT_EXTENSIBLE.
constexpr size_t kFormatBytes = 40;

std::string Bytes(uint64_t n) {
  return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

// The size of an open regular file; none for a pipe or a terminal.
std::optional<uint64_t> RegularFileSize(FILE* f) {
#if defined(_WIN32)
  // _fstat64 fills st_size as a 64-bit count of bytes, and _S_IFREG in st_mode marks a file
  // (a pipe or console has _S_IFIFO or _S_IFCHR).
  struct _stat64 st;
  if (_fstat64(_fileno(f), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) return std::nullopt;
#else
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
#endif
  return static_cast<uint64_t>(st.st_size);
}

}  // namespace

std::string WavReader::Open(Source source, std::optional<uint64_t> size) {
  source_ = std::move(source);
  unsigned char riff[12];
  if (source_(riff, sizeof riff) != sizeof riff || std::memcmp(riff, "RIFF", 4) ||
      std::memcmp(riff + 8, "WAVE", 4)) {
    return "not a RIFF WAV file";
  }
  // The last chunk's pad byte may be missing: a size one beyond the end is let pass.
  const uint64_t riff_end = 8 + uint64_t{Le(riff + 4, 4)};
  if (size && riff_end > *size + 1) {
    return "its header says " + Bytes(riff_end) + " but the file has " + Bytes(*size);
  }
  uint64_t at = sizeof riff;
  unsigned char format[kFormatBytes];
  bool have_format = false;
  for (;;) {
    unsigned char chunk[8];
    if (source_(chunk, sizeof chunk) != sizeof chunk) {
      return have_format ? "it has no data chunk" : "it has no format chunk";
    }
    at += sizeof chunk;
    const uint64_t length = Le(chunk + 4, 4);
    const bool data = !std::memcmp(chunk, "data", 4);
    if (size && at + length > *size) {
      return data ? "its data chunk says " + Bytes(length) + " but " + Bytes(*size - at) + " follow"
                  : "a chunk of " + Bytes(length) + " reaches beyond the end of the file";
    }
    if (!std::memcmp(chunk, "fmt ", 4)) {
      const size_t read = std::min<uint64_t>(length, kFormatBytes);
      if (length < 16 || source_(format, read) != read) return "its format chunk is cut short";
      tag_ = Le(format, 2);
      if (tag_ == 0xFFFE) {  // the format is the first two bytes of the subformat's GUID
        if (length < 40) return "its extensible format chunk is cut short";
        tag_ = Le(format + 24, 2);
      }
      have_format = true;
      if (!Skip(length - read + (length & 1))) return "it has no data chunk";
      at += length + (length & 1);
      continue;
    }
    if (!data) {
      if (!Skip(length + (length & 1))) {
        return have_format ? "it has no data chunk" : "it has no format chunk";
      }
      at += length + (length & 1);
      continue;
    }
    if (!have_format) return "its data come before its format";
    const uint32_t channels = Le(format + 2, 2), rate = Le(format + 4, 4);
    align_ = Le(format + 12, 2);
    bits_ = Le(format + 14, 2);
    const bool pcm = tag_ == 1 && (bits_ == 8 || bits_ == 16);
    const bool g711 = (tag_ == 6 || tag_ == 7) && bits_ == 8;
    if (!pcm && !g711) {
      return "its samples are neither 8- or 16-bit PCM nor mu-law or A-law (format " +
             std::to_string(tag_) + ", " + std::to_string(bits_) + " bits)";
    }
    if (channels == 0 || align_ < channels * (bits_ / 8)) return "its format chunk is inconsistent";
    if (rate < kLowestWavRate || rate > kHighestWavRate) {
      return "its rate, " + std::to_string(rate) + " Hz, is outside " +
             std::to_string(kLowestWavRate) + " to " + std::to_string(kHighestWavRate) + " Hz";
    }
    rate_ = static_cast<int32_t>(rate);
    left_ = length - length % align_;
    buffer_.resize(std::max<size_t>(kBufferBytes / align_, 1) * align_);
    return {};
  }
}

bool WavReader::Skip(uint64_t bytes) {
  unsigned char scrap[4096];
  while (bytes > 0) {
    const size_t n = std::min<uint64_t>(bytes, sizeof scrap);
    if (source_(scrap, n) != n) return false;
    bytes -= n;
  }
  return true;
}

size_t WavReader::Read(std::span<float> to) {
  const size_t frames = std::min<uint64_t>({to.size(), left_ / align_, buffer_.size() / align_});
  if (frames == 0) return 0;
  const size_t got = source_(buffer_.data(), frames * align_) / align_;
  left_ = got < frames ? 0 : left_ - frames * align_;
  const unsigned char* p = buffer_.data();
  for (size_t i = 0; i < got; ++i, p += align_) {
    if (bits_ == 16) {
      to[i] = static_cast<int16_t>(Le(p, 2));
    } else if (tag_ == 1) {
      to[i] = (static_cast<int>(*p) - 128) * 256.0f;
    } else {
      to[i] = tag_ == 7 ? MuLawDecode(*p) : ALawDecode(*p);
    }
  }
  return got;
}

std::string WavFile::Open(const std::string& path) {
  file_.reset(std::fopen(path.c_str(), "rb"));
  if (!file_) return "cannot open '" + path + "': " + std::strerror(errno);
  FILE* f = file_.get();
  const std::string problem =
      reader_.Open([f](unsigned char* to, size_t size) { return std::fread(to, 1, size, f); },
                   RegularFileSize(f));
  if (failed()) return "cannot read '" + path + "'";
  return problem.empty() ? problem : "'" + path + "': " + problem;
}

bool WavFile::failed() const {
  return file_ && std::ferror(file_.get());
}

}  // namespace tools
