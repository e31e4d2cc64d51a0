#include "connectionreader.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <wayland-client.h>

#include <cerrno>
#include <cstdint>

namespace umbrafold {

ConnectionReader::ConnectionReader(wl_display* display, Handlers handlers)
    : display_(display),
      handlers_(std::move(handlers)),
      queue_(wl_display_create_queue(display)),
      stopFd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  thread_ = std::thread([this] { run(); });
}

ConnectionReader::~ConnectionReader() {
  const std::uint64_t one = 1;
  if (stopFd_ >= 0 && write(stopFd_, &one, sizeof one) < 0) {
    // Nothing else wakes the thread; it ends with the connection.
  }
  thread_.join();
  if (stopFd_ >= 0) close(stopFd_);
  wl_event_queue_destroy(queue_);
}

void ConnectionReader::run() {
  pthread_setname_np(pthread_self(), "umbrafold-wl");
  for (;;) {
    // The reader's own queue is always empty: this only announces a read.
    while (wl_display_prepare_read_queue(display_, queue_) != 0)
      wl_display_dispatch_queue_pending(display_, queue_);
    pollfd fds[2] = {{wl_display_get_fd(display_), POLLIN, 0}, {stopFd_, POLLIN, 0}};
    const int ready = poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) {
      wl_display_cancel_read(display_);
      continue;
    }
    if (ready < 0 || (fds[1].revents & POLLIN)) {
      wl_display_cancel_read(display_);
      if (ready < 0) handlers_.broken();
      return;
    }
    // A closed or broken socket fails here.
    if (wl_display_read_events(display_) < 0) {
      handlers_.broken();
      return;
    }
    handlers_.read();
    if (wl_display_prepare_read(display_) != 0) {
      handlers_.defaultQueueReady();
    } else {
      wl_display_cancel_read(display_);
    }
  }
}

}  // namespace umbrafold
