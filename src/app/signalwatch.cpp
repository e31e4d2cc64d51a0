#include "signalwatch.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QSocketNotifier>

#include <array>
#include <cerrno>
#include <utility>

namespace umbrafold {

namespace {

// The pipe through which the handler tells the event loop; written only by
// the handler (async-signal-safe: one write of one byte), read on the main
// thread.
std::array<int, 2> pipeEnds{-1, -1};

constexpr std::array kStopSignals{SIGTERM, SIGINT};
constexpr std::array kShieldedSignals{SIGHUP, SIGUSR1, SIGUSR2, SIGPIPE};

extern "C" void noteSignal(int number) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(number);
  [[maybe_unused]] const ssize_t written = ::write(pipeEnds[1], &byte, 1);
  errno = saved;
}

void setAction(int number, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(number, &action, nullptr);
}

}  // namespace

SignalWatch::SignalWatch(std::function<void(int)> onStop) : onStop_(std::move(onStop)) {
  if (pipeEnds[0] < 0 && ::pipe2(pipeEnds.data(), O_CLOEXEC | O_NONBLOCK) != 0) return;
  notifier_ = std::make_unique<QSocketNotifier>(pipeEnds[0], QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
    unsigned char byte = 0;
    while (::read(pipeEnds[0], &byte, 1) == 1) {
      if (onStop_) onStop_(byte);
    }
  });
  for (const int number : kStopSignals) setAction(number, &noteSignal);
}

SignalWatch::~SignalWatch() {
  for (const int number : kStopSignals) setAction(number, SIG_DFL);
}

void SignalWatch::setShielded(bool shielded) {
  for (const int number : kShieldedSignals) setAction(number, shielded ? SIG_IGN : SIG_DFL);
}

}  // namespace umbrafold
