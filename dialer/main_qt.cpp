// kavrel: the dialer window on Qt 6 with sound through SDL2.
#include <QApplication>
#include <QSocketNotifier>
#include <QWidget>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <sys/socket.h>
#include <unistd.h>

#include "audio/sdl/sdl_device.h"
#include "dialer/form1.h"
#include "dialer/forms/qt/qt_binding.h"

namespace {

bool Set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
}

// A termination signal closes the window the way the user would, so the settings are saved.
int signal_pipe[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(signal_pipe[0], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
  // Qt's own message for a missing display is long and names plugins; say it plainly instead.
  if (!Set("DISPLAY") && !Set("WAYLAND_DISPLAY") && !Set("QT_QPA_PLATFORM")) {
    std::fprintf(stderr,
                 "kavrel: no display to open the window on (DISPLAY and WAYLAND_DISPLAY are "
                 "empty); to run it on a virtual display: xvfb-run -a %s\n",
                 argv[0]);
    return 1;
  }

  QApplication app(argc, argv);
  // Lets the desktop match the window with its installed entry (name and icon).
  QGuiApplication::setDesktopFileName(KAVREL_APP_ID);
  forms::qt::QtBinding binding;
  dialer::Form1 form(
      binding, [](audio::Dispatcher& dispatcher) { return audio::OpenSdlDevice(dispatcher); });
  binding.Build(form);

  std::unique_ptr<QSocketNotifier> stop_requests;
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signal_pipe) == 0) {
    stop_requests = std::make_unique<QSocketNotifier>(signal_pipe[1], QSocketNotifier::Read);
    QObject::connect(stop_requests.get(), &QSocketNotifier::activated, [&binding] {
      char byte;
      [[maybe_unused]] const ssize_t got = read(signal_pipe[1], &byte, 1);
      binding.Window().close();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) sigaction(signal, &action, nullptr);
  }

  // Start-up errors (no sound device, say) are shown in a message box; the window opens anyway.
  form.UserLoad();
  binding.Window().show();
  return QApplication::exec();
}
