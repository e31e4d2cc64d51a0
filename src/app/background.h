#pragma once

#include <functional>

namespace umbrafold {

// Runs `work` on a thread of its own, then `done` with its result on the
// main thread, on a later turn of the event loop. `work` and what it holds
// are destroyed on the worker thread, `done` on the main thread. Call on the
// main thread while the application object exists.
void runInBackground(std::function<bool()> work, std::function<void(bool)> done);

}  // namespace umbrafold
