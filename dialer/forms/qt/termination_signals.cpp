#include "dialer/forms/qt/termination_signals.h"

#include <QSocketNotifier>
#include <csignal>
#include <utility>

#include <sys/socket.h>
#include <unistd.h>

namespace forms::qt {
namespace {

// The handler writes into the first end, and the window's thread reads the second.
int signal_pipe[2] = {-1, -1};
constexpr int kTerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

void OnTerminationSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(signal_pipe[0], &byte, 1);
}

}  // namespace

TerminationSignals::TerminationSignals(QObject& context, std::function<void()> on_signal) {
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signal_pipe) != 0) return;
  requests_ = std::make_unique<QSocketNotifier>(signal_pipe[1], QSocketNotifier::Read);
  QObject::connect(requests_.get(), &QSocketNotifier::activated, &context,
                   [on_signal = std::move(on_signal)] {
                     char byte;
                     [[maybe_unused]] const ssize_t got = read(signal_pipe[1], &byte, 1);
                     on_signal();
                   });
  struct sigaction action {};
  action.sa_handler = OnTerminationSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : kTerminationSignals) sigaction(signal, &action, nullptr);
}

TerminationSignals::~TerminationSignals() {
  if (!requests_) return;
  for (int signal : kTerminationSignals) std::signal(signal, SIG_DFL);
  requests_.reset();
  for (int& end : signal_pipe) {
    close(end);
    end = -1;
  }
}

}  // namespace forms::qt
