// Plays keys through the output module on the SDL2 device, paced by its own notifications as the
// dialer paces them, and checks a recording of what was heard against what was written.
//
//   sdl_stream_check play [--tone-time MS] [--scroll 1..5001] [--keys KEYS] --expected FILE
//   sdl_stream_check verify EXPECTED RECORDING.wav
//
// --scroll is the volume scroll bar's value (volume 1 - value). play writes what should be heard:
// the block size in samples (32-bit), then the blocks back to back with the volume applied and
// the final silent block (16-bit samples), all little-endian. verify finds them in the
// recording and checks that every block sits exactly one block after the one before (no gap,
// nothing heard twice) and that the rest of the recording is silence.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "audio/output.h"
#include "audio/sdl/sdl_device.h"
#include "runtime/error.h"
#include "synth/tone_bank.h"
#include "tests/audio/block_streamer.h"
#include "tests/audio/main_thread_dispatcher.h"
#include "tests/support/reference_tones.h"

namespace {

constexpr std::string_view kKeypad = "123A456B789C*0#D";

void PutLe(std::ostream& out, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.put(static_cast<char>((value >> (8 * i)) & 0xff));
}

int Usage() {
  std::cerr << "usage: sdl_stream_check play [--tone-time MS] [--scroll 1..5001] [--keys KEYS]"
               " --expected FILE\n"
               "       sdl_stream_check verify EXPECTED RECORDING.wav\n";
  return 2;
}

int Play(int argc, char** argv) {
  float tone_time = 40;
  int16_t scroll = 1;
  std::string keys = "123A456B789C*0#D";
  std::string expected_path;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string_view flag = argv[i];
    if (flag == "--tone-time") {
      tone_time = std::stof(argv[i + 1]);
    } else if (flag == "--scroll") {
      scroll = static_cast<int16_t>(std::clamp(std::stoi(argv[i + 1]), 1, 5001));
    } else if (flag == "--keys") {
      keys = argv[i + 1];
    } else if (flag == "--expected") {
      expected_path = argv[i + 1];
    } else {
      return Usage();
    }
  }
  if (expected_path.empty() || keys.empty() || argc % 2 != 0) return Usage();
  std::vector<int16_t> tones;
  for (char k : keys) {
    const size_t index = kKeypad.find(k);
    if (index == std::string_view::npos) {
      std::cerr << "sdl_stream_check: '" << k << "' is not a key of the keypad\n";
      return 2;
    }
    tones.push_back(static_cast<int16_t>(index + 1));
  }

  testsupport::MainThreadDispatcher dispatcher;
  testsupport::BlockStreamer streamer(tones);
  audio::PlayDX8Module output([&] { return audio::OpenSdlDevice(dispatcher); },
                              [=] { return scroll; }, [] { return audio::WindowHandle{}; },
                              streamer);
  const synth::SlopeEnvelope slope = testsupport::StandardSlope();
  const int32_t block = synth::GenTones(tone_time, slope, output.ToneBank);
  try {
    output.CreateOutput(block);
  } catch (const runtime::Error& e) {
    std::cerr << "sdl_stream_check: " << e.description() << "\n";
    return 1;
  }

  streamer.Start(output);
  const auto length = std::chrono::microseconds(
      static_cast<int64_t>(1e6 * block * (tones.size() + 2) / synth::kSampleRate));
  const bool finished =
      dispatcher.RunUntil([&] { return streamer.finished(); },
                          std::chrono::steady_clock::now() + 2 * length + std::chrono::seconds(5));
  const audio::SdlPlaybackStats stats =
      static_cast<const audio::SdlSoundDevice&>(*output.SoundDevice).Stats();
  std::cerr << "sdl_stream_check: " << tones.size() << " blocks of " << block << " samples, "
            << streamer.notifications() << " notifications, " << stats.callbacks << " callbacks, "
            << stats.underruns << " underruns\n";
  if (!finished) {
    std::cerr << "sdl_stream_check: the stream did not finish in time\n";
    return 1;
  }

  std::vector<int16_t> expected;
  const double gain = audio::VolumeGain(output.Volume());
  for (int16_t t : tones) {
    for (int16_t s : output.ToneBank.Row(t)) expected.push_back(audio::ApplyGain(s, gain));
  }
  expected.insert(expected.end(), block, 0);
  std::ofstream out(expected_path, std::ios::binary);
  PutLe(out, static_cast<uint32_t>(block), 4);
  for (int16_t s : expected) PutLe(out, static_cast<uint16_t>(s), 2);
  out.flush();
  if (!out) {
    std::cerr << "sdl_stream_check: cannot write " << expected_path << "\n";
    return 1;
  }
  return 0;
}

// The recording went through two resamplings (11025 Hz to the sink's rate and back), so it sits
// a fraction of a sample away from the samples written: up to half a sample, which costs the
// highest tones some correlation. A block counts as heard when it correlates at least this well
// at its place within half a sample of where the first block puts it: one block length after
// the one before, with no gap and nothing in between.
constexpr double kMinCorrelation = 0.9;
constexpr double kMaxDrift = 0.5;
constexpr int kLagSearch = 8;
// The volume is applied before the resamplings, which keep the level of these tones to within a
// fraction of a percent.
constexpr double kMaxLevelError = 0.03;

uint32_t GetLe(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  for (int i = bytes - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<int16_t> Samples(const uint8_t* p, size_t bytes) {
  std::vector<int16_t> samples(bytes / 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<int16_t>(GetLe(p + 2 * i, 2));
  }
  return samples;
}

// The samples of a WAV file of 16-bit mono PCM at 11025 Hz. A data size the recorder could not
// fill in (it was stopped) is taken as "to the end of the file".
std::vector<int16_t> ReadWav(const std::string& path) {
  const std::vector<uint8_t> file = ReadAll(path);
  if (file.size() < 12 || std::memcmp(file.data(), "RIFF", 4) != 0 ||
      std::memcmp(file.data() + 8, "WAVE", 4) != 0) {
    throw std::runtime_error(path + " is not a WAV file");
  }
  bool format_ok = false;
  size_t at = 12;
  while (at + 8 <= file.size()) {
    const uint8_t* chunk = file.data() + at;
    const size_t size = GetLe(chunk + 4, 4);
    const size_t room = file.size() - at - 8;
    if (std::memcmp(chunk, "fmt ", 4) == 0 && size >= 16 && size <= room) {
      const uint32_t tag = GetLe(chunk + 8, 2);
      format_ok = (tag == 1 || tag == 0xfffe) && GetLe(chunk + 10, 2) == 1 &&
                  GetLe(chunk + 12, 4) == 11025 && GetLe(chunk + 22, 2) == 16;
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!format_ok) throw std::runtime_error(path + " is not 16-bit mono PCM at 11025 Hz");
      return Samples(chunk + 8, size == 0 || size > room ? room : size);
    }
    at += 8 + size + (size & 1);
  }
  throw std::runtime_error(path + " has no data");
}

// Normalised correlation of n samples of a and b, and b's level relative to a's.
struct Match {
  double correlation = 0;
  double level = 0;
};

Match Compare(const int16_t* a, const int16_t* b, size_t n) {
  double ab = 0, aa = 0, bb = 0;
  for (size_t i = 0; i < n; ++i) {
    ab += static_cast<double>(a[i]) * b[i];
    aa += static_cast<double>(a[i]) * a[i];
    bb += static_cast<double>(b[i]) * b[i];
  }
  if (aa == 0 || bb == 0) return {};
  return {ab / std::sqrt(aa * bb), std::sqrt(bb / aa)};
}

int MaxAbs(const int16_t* p, size_t n) {
  int m = 0;
  for (size_t i = 0; i < n; ++i) m = std::max(m, std::abs(static_cast<int>(p[i])));
  return m;
}

int Verify(const std::string& expected_path, const std::string& recording_path) {
  const std::vector<uint8_t> raw = ReadAll(expected_path);
  if (raw.size() < 4) throw std::runtime_error(expected_path + " is too short");
  const size_t block = GetLe(raw.data(), 4);
  const std::vector<int16_t> e = Samples(raw.data() + 4, raw.size() - 4);
  const std::vector<int16_t> r = ReadWav(recording_path);
  if (block == 0 || e.size() % block != 0) throw std::runtime_error("bad expected stream");
  const size_t blocks = e.size() / block;
  const int peak = MaxAbs(e.data(), e.size());
  const int quiet = peak / 50;

  // The stream starts at the best match of its first block at or before the first loud sample.
  const auto loud =
      std::find_if(r.begin(), r.end(), [&](int16_t s) { return std::abs(s) > peak / 4; });
  if (loud == r.end()) {
    std::cerr << "verify: nothing was heard\n";
    return 1;
  }
  const size_t first_loud = static_cast<size_t>(loud - r.begin());
  size_t start = 0;
  Match best;
  for (size_t c = first_loud >= block ? first_loud - block : 0;
       c <= first_loud && c + block <= r.size(); ++c) {
    const Match m = Compare(e.data(), r.data() + c, block);
    if (m.correlation > best.correlation) best = m, start = c;
  }
  if (best.correlation < kMinCorrelation) {
    std::cerr << "verify: the first block is not in the recording (best correlation "
              << best.correlation << ")\n";
    return 1;
  }
  if (start < kLagSearch || start + e.size() + kLagSearch > r.size()) {
    std::cerr << "verify: the recording does not hold the whole stream\n";
    return 1;
  }

  bool ok = true;
  double min_correlation = 1, min_level = 1e9, max_level = 0, max_drift = 0;
  std::optional<double> first_lag;
  for (size_t k = 0; k < blocks; ++k) {
    const int16_t* want = e.data() + k * block;
    const int16_t* heard = r.data() + start + k * block;
    if (MaxAbs(want, block) == 0) {
      const int loudest = MaxAbs(heard, block);
      if (loudest > quiet) {
        std::cerr << "verify: block " << k << " should be silent, peaks at " << loudest << "\n";
        ok = false;
      }
      continue;
    }
    std::array<Match, 2 * kLagSearch + 1> at;
    for (int l = -kLagSearch; l <= kLagSearch; ++l) {
      at[l + kLagSearch] = Compare(want, heard + l, block);
    }
    const auto peak_at = std::max_element(at.begin(), at.end(), [](const Match& a, const Match& b) {
      return a.correlation < b.correlation;
    });
    const int i = static_cast<int>(peak_at - at.begin());
    // The fraction of a sample from a parabola through the peak and its neighbours.
    double lag = i - kLagSearch;
    if (i > 0 && i < 2 * kLagSearch) {
      const double l = at[i - 1].correlation, c = at[i].correlation, r = at[i + 1].correlation;
      if (l - 2 * c + r < 0) lag += (l - r) / (2 * (l - 2 * c + r));
    }
    if (!first_lag) first_lag = lag;
    const double drift = lag - *first_lag;
    const Match& m = *peak_at;
    min_correlation = std::min(min_correlation, m.correlation);
    min_level = std::min(min_level, m.level);
    max_level = std::max(max_level, m.level);
    max_drift = std::max(max_drift, std::abs(drift));
    if (m.correlation < kMinCorrelation || std::abs(drift) > kMaxDrift) {
      std::cerr << "verify: block " << k << " heard " << drift << " samples from its place, "
                << "correlation " << m.correlation << "\n";
      ok = false;
    }
    if (std::abs(m.level - 1) > kMaxLevelError) {
      std::cerr << "verify: block " << k << " heard at " << m.level << " times its level\n";
      ok = false;
    }
  }
  const int before = MaxAbs(r.data(), start);
  const size_t end = start + e.size();
  const int after = MaxAbs(r.data() + end, r.size() - end);
  if (before > quiet || after > quiet) {
    std::cerr << "verify: sound outside the stream (peak " << before << " before, " << after
              << " after)\n";
    ok = false;
  }
  std::cerr << "verify: " << blocks << " blocks of " << block << " samples from sample " << start
            << "; correlation >= " << min_correlation << ", drift <= " << max_drift << ", level "
            << min_level << ".." << max_level << (ok ? "" : "; FAILED") << "\n";
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc >= 2 && std::string_view(argv[1]) == "play") return Play(argc, argv);
    if (argc == 4 && std::string_view(argv[1]) == "verify") return Verify(argv[2], argv[3]);
  } catch (const std::exception& e) {
    std::cerr << "sdl_stream_check: " << e.what() << "\n";
    return 1;
  }
  return Usage();
}
