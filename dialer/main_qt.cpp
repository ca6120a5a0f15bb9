// kavrel: the dialer window on Qt 6 with sound through the sound server (PulseAudio or
// PipeWire), or SDL2 where there is none.
#include <QApplication>
#include <QWidget>
#include <cstdio>
#include <cstdlib>

#include "audio/linux_device.h"
#include "dialer/form1.h"
#include "dialer/forms/qt/qt_binding.h"
#include "dialer/forms/qt/window_priority.h"

namespace {

bool Set(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && value[0] != '\0';
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
  dialer::Form1 form(binding, [](runtime::Dispatcher& dispatcher) {
    audio::LinuxDevice opened = audio::OpenLinuxDevice(dispatcher);
    if (!opened.no_server.empty()) {
      std::fprintf(stderr, "kavrel: no sound server (%s); playing through SDL2\n",
                   opened.no_server.c_str());
    }
    return std::move(opened.device);
  });
  binding.Build(form);
  // A termination signal saves the settings and ends the program, even during start-up.
  binding.CloseOnTerminationSignals();

  forms::qt::RaiseWindowThread();

  // Start-up errors (no sound device, say) are shown in a message box; the window opens anyway.
  form.UserLoad();
  return binding.Run();
}
