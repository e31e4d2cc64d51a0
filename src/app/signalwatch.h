#pragma once

#include <QObject>

#include <functional>
#include <memory>

class QSocketNotifier;

namespace umbrafold {

// The process's signals. SIGTERM and SIGINT (logout, shutdown, Ctrl+C in a
// terminal) end the program in an orderly way: `onStop` is called with the
// signal's number on the main thread, from the event loop, never inside the
// handler. While shielded, SIGHUP, SIGUSR1, SIGUSR2 and SIGPIPE are ignored,
// so that none of them can take the curtain down. One instance per process;
// main thread only.
class SignalWatch : public QObject {
  Q_OBJECT

 public:
  explicit SignalWatch(std::function<void(int)> onStop);
  ~SignalWatch() override;
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  // Ignores (true) or restores the default action of (false) SIGHUP,
  // SIGUSR1, SIGUSR2 and SIGPIPE.
  void setShielded(bool shielded);

 private:
  std::function<void(int)> onStop_;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace umbrafold
