// Records the default sink's monitor on PipeWire into FILE (raw 16-bit mono samples at 11025 Hz)
// until SIGTERM or SIGINT, keeping the graph's timeline: where the graph went on without a period
// (held up past it), the recording gets silence of that length, as a sound card would have
// played. A recorder outside the graph could not tell such a period from its own lateness.
//
//   graph_record FILE
//
// Exits with 1 when PipeWire does not answer, 2 for bad arguments.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/support/graph_capture.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: graph_record FILE\n");
    return 2;
  }
  std::FILE* out = std::fopen(argv[1], "ab");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  std::mutex mutex;
  std::vector<int16_t> pending;  // under mutex
  int64_t next = -1;             // the graph thread's: where the next period should begin
  // Smaller differences are the resampler's rounding, which the next period makes up.
  constexpr int64_t kSkip = 32;
  try {
    testsupport::GraphCapture capture(
        [&](std::span<const int16_t> samples, int64_t position, int64_t) {
          std::lock_guard lock(mutex);
          if (next >= 0 && position - next > kSkip)
            pending.insert(pending.end(), position - next, 0);
          pending.insert(pending.end(), samples.begin(), samples.end());
          next = position + static_cast<int64_t>(samples.size());
        });
    std::atomic<bool> quit{false};
    std::thread writer([&] {
      std::vector<int16_t> taken;
      for (bool last = false; !last;) {
        last = quit;  // one more round after the stop, so nothing taken before it is left
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        {
          std::lock_guard lock(mutex);
          taken.swap(pending);
        }
        if (taken.empty()) continue;
        std::fwrite(taken.data(), 2, taken.size(), out);
        std::fflush(out);
        taken.clear();
      }
    });
    int signal = 0;
    sigwait(&stop, &signal);
    quit = true;
    writer.join();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "graph_record: %s\n", e.what());
    return 1;
  }
  return 0;
}
