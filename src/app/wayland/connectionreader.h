#pragma once

#include <functional>
#include <thread>

struct wl_display;
struct wl_event_queue;

namespace umbrafold {

// Reads a Wayland connection's events on a thread of its own, so that
// events other threads dispatch from queues of their own (a strip's frame
// callbacks and buffer releases, at frame rate) wake neither the main thread
// nor Qt's event loop; the main thread is woken only when the default queue
// got something. Other threads may read too (wl_display_roundtrip):
// libwayland lets readers take turns.
class ConnectionReader {
 public:
  struct Handlers {
    // After each read, on the reader thread: dispatch the other queues.
    std::function<void()> read;
    // On the reader thread, when the default queue holds events.
    std::function<void()> defaultQueueReady;
    // On the reader thread, when reading failed; the thread then ends.
    std::function<void()> broken;
  };

  // Starts reading `display`, which must outlive this object.
  ConnectionReader(wl_display* display, Handlers handlers);
  // Stops reading and waits for the thread to end. Not from a handler.
  ~ConnectionReader();
  ConnectionReader(const ConnectionReader&) = delete;
  ConnectionReader& operator=(const ConnectionReader&) = delete;

 private:
  void run();

  wl_display* display_;
  Handlers handlers_;
  wl_event_queue* queue_;  // the reader's own, always empty
  int stopFd_ = -1;        // an eventfd: readable once the thread must stop
  std::thread thread_;
};

}  // namespace umbrafold
