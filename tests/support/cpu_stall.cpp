// A machine that takes the processor away now and then, for the audio tests and benchmarks: one
// real-time thread per processor, pinned to it, that spins for TAKE ms every EVERY ms at the
// highest real-time priority, so that nothing else runs there meanwhile (a virtual machine's
// processor taken by its host, a driver with interrupts off). Processor k's stalls come k/N of the
// period after processor 0's (N processors), so at any moment at most one is taken and a thread
// can be held up on one while the rest of the machine goes on; --together takes them all at once.
//
//   cpu_stall --take MS --every MS [--together]
//
// Prints "cpu_stall: taking ..." once every thread runs real-time, then stalls until SIGTERM or
// SIGINT. Exits with 1 when the system refuses real-time scheduling (it needs root or an
// RLIMIT_RTPRIO of 99), 2 for bad arguments.
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> quit{false};

int64_t Now() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec;
}

timespec At(int64_t ns) {
  return timespec{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
}

// Pins the calling thread to `cpu` at the highest real-time priority; the error number, or 0.
int TakeOver(int cpu) {
  cpu_set_t set;
  CPU_ZERO(&set);
  CPU_SET(cpu, &set);
  if (int e = pthread_setaffinity_np(pthread_self(), sizeof set, &set)) return e;
  sched_param param{};
  param.sched_priority = sched_get_priority_max(SCHED_FIFO);
  return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

void Stall(int64_t first, int64_t take, int64_t every) {
  for (int64_t start = first; !quit.load(std::memory_order_relaxed); start += every) {
    const timespec at = At(start);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr) == EINTR) {
    }
    if (quit.load(std::memory_order_relaxed)) return;
    while (Now() < start + take) {
    }
  }
}

int Usage() {
  std::fprintf(stderr, "usage: cpu_stall --take MS --every MS [--together]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  double take_ms = 0;
  double every_ms = 0;
  bool together = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    if (flag == "--together") {
      together = true;
    } else if ((flag == "--take" || flag == "--every") && i + 1 < argc) {
      char* end = nullptr;
      const double v = std::strtod(argv[++i], &end);
      if (*end != '\0' || !(v > 0 && v < 1e6)) return Usage();
      (flag == "--take" ? take_ms : every_ms) = v;
    } else {
      return Usage();
    }
  }
  // The system keeps 5% of each second for other than real-time threads: a stall may not take more.
  if (take_ms == 0 || every_ms == 0 || take_ms > every_ms * 0.9) return Usage();

  // The threads stop at the end of their stall in progress; the signals wake none of them, so
  // they go to this thread, which only waits for them.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  const int cpus = static_cast<int>(std::thread::hardware_concurrency());
  const auto take = static_cast<int64_t>(take_ms * 1e6);
  const auto every = static_cast<int64_t>(every_ms * 1e6);
  const int64_t first = Now() + 100000000;
  std::vector<std::thread> threads;
  std::atomic<int> refused{0};
  std::atomic<int> ready{0};
  for (int cpu = 0; cpu < cpus; ++cpu) {
    threads.emplace_back([&, cpu] {
      if (int e = TakeOver(cpu)) {
        std::fprintf(stderr, "cpu_stall: processor %d: real-time scheduling refused: %s\n", cpu,
                     std::strerror(e));
        refused = 1;
        ++ready;
        return;
      }
      ++ready;
      Stall(first + (together ? 0 : every * cpu / cpus), take, every);
    });
  }
  while (ready < cpus) std::this_thread::yield();
  if (refused) {
    quit = true;
  } else {
    std::printf("cpu_stall: taking each of %d processors for %g ms every %g ms%s\n", cpus, take_ms,
                every_ms, together ? ", all at once" : "");
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    quit = true;
  }
  for (std::thread& t : threads) t.join();
  return refused ? 1 : 0;
}
