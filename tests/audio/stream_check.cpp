// Plays keys through the output module on a real device (the sound server's, or SDL2), paced by
// its own notifications as the dialer paces them, and checks a recording of what was heard
// against what was written. linux is the default device: the server's, else SDL2's.
//
//   stream_check play [DEVICE OPTIONS] [--tone-time MS] [--scroll 1..5001] [--keys KEYS]
//                     --expected FILE
//   stream_check verify EXPECTED RECORDING.wav
//   stream_check contract [DEVICE OPTIONS]
//   stream_check gaps RECORDING.wav SHORTEST_PAUSE_MS
//
// play exits with 3 when the mixer counted a late refill (a notification handled after the half
// it was for had begun to play), which says the machine was too busy, not that the device failed;
// it prints the server's own count of underflows beside it.
// --scroll is the volume scroll bar's value (volume 1 - value). play writes what should be heard:
// the block size in samples (32-bit), then the blocks back to back with the volume applied and
// the final silent block (16-bit samples), all little-endian. verify finds them in the
// recording and checks that every block is heard as written, within a millisecond of one block
// after the one before (no gap, nothing heard twice), and that the rest of the recording is
// silence. contract makes every breach of the buffer contract on the device (the shared table of
// tests/audio/contract_breaches.h) and exits with 1 when one is let through. gaps prints how many
// holes a recording has: silences too short to be a pause between tones (shorter than
// SHORTEST_PAUSE_MS, at least 2 ms) that cut a tone off or let it in at its full level.
#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstddef>
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
#include "runtime/error.h"
#include "synth/slope_filter.h"
#include "synth/tone_bank.h"
#include "tests/audio/block_streamer.h"
#include "tests/audio/contract_breaches.h"
#include "tests/audio/main_thread_dispatcher.h"
#include "tests/support/device_choice.h"

namespace {

constexpr std::string_view kKeypad = "123A456B789C*0#D";
// play's status when the device heard a half again: the window thread missed the 30 ms lead.
constexpr int kLate = 3;

int Usage() {
  std::cerr << "usage: stream_check play [DEVICE OPTIONS] [--tone-time MS] [--scroll 1..5001]"
               " [--keys KEYS] --expected FILE\n"
               "       stream_check verify EXPECTED RECORDING.wav\n"
               "       stream_check contract [DEVICE OPTIONS]\n"
               "       stream_check gaps RECORDING.wav SHORTEST_PAUSE_MS\n";
  return 2;
}

class NoSink final : public audio::EventSink {
 public:
  void DXCallBack(int32_t) override {}
  void DeviceLost() override {}
};

int Contract(int argc, char** argv) {
  testsupport::DeviceChoice choice;
  if (!choice.Parse(argc, argv) || argc != 2) return Usage();
  testsupport::MainThreadDispatcher dispatcher;
  NoSink sink;
  const std::unique_ptr<audio::SoundDevice> device = choice.Open(dispatcher);
  const std::string name = choice.Describe();
  const audio::EventHandle made = device->CreateEvent(sink);
  auto buffer = device->CreateSoundBuffer(testsupport::DefaultDesc());
  int let_through = 0;
  for (const testsupport::Breach& breach : testsupport::kBreaches) {
    const std::string refusal = testsupport::RefusalOf(breach, *device, *buffer, made);
    if (refusal.find(breach.says) == std::string::npos) {
      std::cerr << "stream_check: " << name << ": " << breach.what << ": '" << refusal << "'\n";
      ++let_through;
    }
  }
  std::cerr << "stream_check: " << name << " refused "
            << std::size(testsupport::kBreaches) - let_through << " of "
            << std::size(testsupport::kBreaches) << " breaches of the contract\n";
  return let_through == 0 ? 0 : 1;
}

int Play(int argc, char** argv) {
  testsupport::DeviceChoice choice;
  if (!choice.Parse(argc, argv)) return Usage();
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
      std::cerr << "stream_check: '" << k << "' is not a key of the keypad\n";
      return 2;
    }
    tones.push_back(static_cast<int16_t>(index + 1));
  }

  testsupport::MainThreadDispatcher dispatcher;
  testsupport::BlockStreamer streamer(tones);
  audio::PlayDX8Module output([&] { return choice.Open(dispatcher); }, [=] { return scroll; },
                              [] { return runtime::WindowHandle{}; }, streamer);
  const synth::SlopeEnvelope slope = synth::SlopeEnvelope::Standard();
  int32_t block = 0;
  try {
    block = output.InstallToneBank(tone_time, slope);
  } catch (const runtime::Error& e) {
    std::cerr << "stream_check: " << e.description() << "\n";
    return 1;
  }

  streamer.Start(output);
  const auto length = std::chrono::microseconds(
      static_cast<int64_t>(1e6 * block * (tones.size() + 2) / synth::kSampleRate));
  const bool finished =
      dispatcher.RunUntil([&] { return streamer.finished() || streamer.lost(); },
                          std::chrono::steady_clock::now() + 2 * length + std::chrono::seconds(5));
  // What the device has queued still plays before it goes.
  if (finished) {
    dispatcher.RunUntil([&] { return streamer.lost(); },
                        std::chrono::steady_clock::now() + std::chrono::milliseconds(500));
  }
  if (streamer.lost()) {
    std::cerr << "stream_check: the sound device was lost\n";
    return 1;
  }
  const audio::MixStats stats = choice.Mix();
  std::cerr << "stream_check: " << tones.size() << " blocks of " << block << " samples, "
            << streamer.notifications() << " notifications, " << stats.renders << " renders, "
            << stats.late_refills << " late refills, holes " << choice.Holes() << "; "
            << choice.Describe() << "\n";
  if (!finished) {
    std::cerr << "stream_check: the stream did not finish in time\n";
    return 1;
  }

  if (!testsupport::WriteExpected(expected_path, output, tones)) {
    std::cerr << "stream_check: cannot write " << expected_path << "\n";
    return 1;
  }
  if (stats.late_refills > 0) {
    std::cerr << "stream_check: a notification reached this thread after its half began\n";
    return kLate;
  }
  return 0;
}

// The recording went through two resamplings (11025 Hz to the sink's rate and back), so it sits
// a fraction of a sample away from the samples written: each block is compared with the written
// one delayed by fractions of a sample, in steps of a twentieth. Heard as written, a block
// matches almost exactly; it must also start within a millisecond of one block length after the
// block before it. A refill that came too late is heard as the wrong samples, a lost block as a
// missing one, a gap as a step. (A sound server on a loaded machine slips by a fraction of a
// millisecond now and then; that is not the stream's doing.)
constexpr double kMinCorrelation = 0.99;
constexpr double kMaxStep = 11;
constexpr int kLagSearch = 12;
constexpr int kFractions = 20;
constexpr int kSincHalfWidth = 16;
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

template <typename A>
Match Compare(const A* a, const int16_t* b, size_t n) {
  double ab = 0, aa = 0, bb = 0;
  for (size_t i = 0; i < n; ++i) {
    ab += static_cast<double>(a[i]) * b[i];
    aa += static_cast<double>(a[i]) * a[i];
    bb += static_cast<double>(b[i]) * b[i];
  }
  if (aa == 0 || bb == 0) return {};
  return {ab / std::sqrt(aa * bb), std::sqrt(bb / aa)};
}

// x delayed by a fraction of a sample: windowed-sinc interpolation (Blackman window).
std::vector<float> Delayed(const std::vector<int16_t>& x, double delay) {
  constexpr double kPi = 3.14159265358979323846;
  std::array<double, 2 * kSincHalfWidth + 1> taps;
  for (int j = -kSincHalfWidth; j <= kSincHalfWidth; ++j) {
    const double t = j - delay;
    const double sinc = t == 0 ? 1 : std::sin(kPi * t) / (kPi * t);
    const double w = (t + kSincHalfWidth + 1) / (2 * kSincHalfWidth + 2);
    taps[j + kSincHalfWidth] =
        sinc * (0.42 - 0.5 * std::cos(2 * kPi * w) + 0.08 * std::cos(4 * kPi * w));
  }
  std::vector<float> y(x.size());
  for (size_t n = 0; n < x.size(); ++n) {
    double sum = 0;
    for (int j = -kSincHalfWidth; j <= kSincHalfWidth; ++j) {
      const auto at = static_cast<ptrdiff_t>(n) - j;
      if (at >= 0 && at < static_cast<ptrdiff_t>(x.size())) sum += x[at] * taps[j + kSincHalfWidth];
    }
    y[n] = static_cast<float>(sum);
  }
  return y;
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
  // To whole samples only, so a looser match: the blocks are checked to the fraction below.
  if (best.correlation < 0.9) {
    std::cerr << "verify: the first block is not in the recording (best correlation "
              << best.correlation << ")\n";
    return 1;
  }
  // The written stream at every fraction of a sample from -1/2 to +1/2.
  std::vector<std::vector<float>> delayed;
  for (int f = 0; f <= kFractions; ++f) delayed.push_back(Delayed(e, f / double(kFractions) - 0.5));

  bool ok = true;
  double min_correlation = 1, min_level = 1e9, max_level = 0, max_step = 0;
  // Where the previous block was heard, in samples from its place in the written stream.
  std::optional<double> previous;
  int offset = 0;  // the same, whole samples: where the next block is looked for
  for (size_t k = 0; k < blocks; ++k) {
    const size_t place = start + k * block + offset;
    if (place < kLagSearch || place + block + kLagSearch > r.size()) {
      std::cerr << "verify: the recording ends inside block " << k << "\n";
      return 1;
    }
    const int16_t* heard = r.data() + place;
    if (MaxAbs(e.data() + k * block, block) == 0) {
      const int loudest = MaxAbs(heard, block);
      if (loudest > quiet) {
        std::cerr << "verify: block " << k << " should be silent, peaks at " << loudest << "\n";
        ok = false;
      }
      continue;
    }
    Match m;
    double lag = 0;
    for (int l = -kLagSearch; l <= kLagSearch; ++l) {
      for (int f = 0; f <= kFractions; ++f) {
        const Match c = Compare(delayed[f].data() + k * block, heard + l, block);
        if (c.correlation > m.correlation) m = c, lag = l + f / double(kFractions) - 0.5;
      }
    }
    const double position = offset + lag;
    const double step = previous ? position - *previous : 0;
    previous = position;
    offset = static_cast<int>(std::lround(position));
    min_correlation = std::min(min_correlation, m.correlation);
    min_level = std::min(min_level, m.level);
    max_level = std::max(max_level, m.level);
    max_step = std::max(max_step, std::abs(step));
    if (m.correlation < kMinCorrelation || std::abs(step) > kMaxStep) {
      std::cerr << "verify: block " << k << " heard " << step
                << " samples from one block after the one before, correlation " << m.correlation
                << "\n";
      ok = false;
    }
    if (std::abs(m.level - 1) > kMaxLevelError) {
      std::cerr << "verify: block " << k << " heard at " << m.level << " times its level\n";
      ok = false;
    }
  }
  const int before = MaxAbs(r.data(), start);
  const size_t end = start + e.size() + offset;
  const int after = MaxAbs(r.data() + end, r.size() - end);
  if (before > quiet || after > quiet) {
    std::cerr << "verify: sound outside the stream (peak " << before << " before, " << after
              << " after)\n";
    ok = false;
  }
  std::cerr << "verify: " << blocks << " blocks of " << block << " samples from sample " << start
            << "; correlation >= " << min_correlation << ", steps <= " << max_step
            << " samples (slipped " << (previous ? *previous : 0) << " in all), level " << min_level
            << ".." << max_level << (ok ? "" : "; FAILED") << "\n";
  return ok ? 0 : 1;
}

// Near zero: what a sink plays where it ran dry (exact zeros, through the recorder's resampling a
// little above). Loud: well above it even at the quietest volume tested (-20 dB). A hole cuts a
// tone off, or lets it in again, at its full level: within a millisecond of the silence the sound
// is still (or already) at half its level over five, where a tone's own edges take about ten
// milliseconds to fade. A silence of 2 ms is longer than any near-zero moment of two tones beating
// against each other.
constexpr int kNearZero = 64;
constexpr int kLoud = 512;
constexpr size_t kShortestHole = synth::kSampleRate * 2 / 1000;
constexpr size_t kEdge = synth::kSampleRate / 1000;
constexpr size_t kAround = synth::kSampleRate * 5 / 1000;

bool Abrupt(const int16_t* near, const int16_t* around) {
  const int level = MaxAbs(around, kAround);
  return level >= kLoud && MaxAbs(near, kEdge) * 2 >= level;
}

int Gaps(const std::string& recording_path, double shortest_pause_ms) {
  const std::vector<int16_t> r = ReadWav(recording_path);
  const auto longest = static_cast<size_t>(shortest_pause_ms * synth::kSampleRate / 1000);
  int holes = 0;
  size_t i = 0;
  while (i < r.size()) {
    if (std::abs(static_cast<int>(r[i])) > kNearZero) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < r.size() && std::abs(static_cast<int>(r[end])) <= kNearZero) ++end;
    const size_t length = end - i;
    if (length >= kShortestHole && length < longest && i >= kAround && end + kAround <= r.size() &&
        (Abrupt(r.data() + i - kEdge, r.data() + i - kAround) ||
         Abrupt(r.data() + end, r.data() + end))) {
      ++holes;
      std::cerr << "gaps: " << 1000.0 * static_cast<double>(length) / synth::kSampleRate
                << " ms of silence at " << static_cast<double>(i) / synth::kSampleRate << " s\n";
    }
    i = end;
  }
  std::cout << holes << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    if (argc >= 2 && std::string_view(argv[1]) == "play") return Play(argc, argv);
    if (argc == 4 && std::string_view(argv[1]) == "verify") return Verify(argv[2], argv[3]);
    if (argc == 4 && std::string_view(argv[1]) == "gaps") return Gaps(argv[2], std::stod(argv[3]));
    if (argc >= 2 && std::string_view(argv[1]) == "contract") return Contract(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "stream_check: " << e.what() << "\n";
    return 1;
  }
  return Usage();
}
