#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace umbrafold::x11 {

// The X connection Qt uses; null when the application does not run on X.
xcb_connection_t* qtConnection();

// An xcb reply, freed when it goes.
template <typename T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <typename T>
Reply<T> reply(T* raw) {
  return Reply<T>(raw, &std::free);
}

}  // namespace umbrafold::x11
