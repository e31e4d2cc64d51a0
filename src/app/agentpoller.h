#pragma once

#include <chrono>
#include <functional>

#include "agentactivity.h"

class QThread;

namespace umbrafold {

// Runs the agent scan periodically on one worker thread and hands every
// result to the thread that started polling. Scans never overlap: the worker
// is serial, so a scan that outlasts the interval delays the next tick instead
// of running beside it. Create, start, stop and destroy on one thread (the
// main thread), which must run an event loop for results to arrive.
class AgentPoller {
 public:
  using Scan = std::function<AgentActivity()>;
  using Deliver = std::function<void(AgentActivity)>;

  // `scan` runs on the worker thread only; it must share nothing with the
  // caller. The first tick comes at once, then one every `interval`.
  explicit AgentPoller(Scan scan,
                       std::chrono::milliseconds interval = std::chrono::milliseconds(2000));
  // Stops polling.
  ~AgentPoller();
  AgentPoller(const AgentPoller&) = delete;
  AgentPoller& operator=(const AgentPoller&) = delete;

  // Starts the worker; every scan result is later passed to `deliver` on the
  // calling thread, in tick order. Does nothing while already polling.
  void start(Deliver deliver);
  // Stops polling without waiting: no scan starts after it returns, and no
  // result is delivered any more. A scan in progress finishes on its own
  // thread, which then ends by itself. Safe when not polling.
  void stop();
  bool isPolling() const;

 private:
  class Relay;

  Scan scan_;
  std::chrono::milliseconds interval_;
  // The current run, if polling; both delete themselves once the worker
  // thread has ended after stop().
  Relay* relay_ = nullptr;
  QThread* thread_ = nullptr;
};

}  // namespace umbrafold
