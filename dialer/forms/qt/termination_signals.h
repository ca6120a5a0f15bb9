// SIGTERM, SIGINT and SIGHUP as a call on the window's thread. A signal handler may do next to
// nothing, so it only writes a byte into one end of a socket pair; the event loop watches the
// other end and makes the call between two events. For the Qt binding's own files.
#pragma once

#include <QObject>
#include <functional>
#include <memory>

class QSocketNotifier;

namespace forms::qt {

class TerminationSignals {
 public:
  // One per process. The signals make `on_signal` run on `context`'s thread from now on; when
  // the socket pair cannot be made, they keep ending the process as before.
  TerminationSignals(QObject& context, std::function<void()> on_signal);
  // A signal from now on ends the process as it would have without the window.
  ~TerminationSignals();
  TerminationSignals(const TerminationSignals&) = delete;
  TerminationSignals& operator=(const TerminationSignals&) = delete;

 private:
  std::unique_ptr<QSocketNotifier> requests_;
};

}  // namespace forms::qt
