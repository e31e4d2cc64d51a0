#pragma once

#include <cstdint>
#include <memory>

namespace umbrafold::x11 {

// The screen's Composite Overlay Window, held on Qt's X connection for as
// long as this object lives. The X server keeps the overlay above every
// child of the root and never redirects it or its children, so windows
// inside it are drawn by the server itself: no other client's window can be
// raised above them, and a compositing manager that hangs, restarts or
// paints nothing cannot hide or reveal them.
//
// While held, the overlay is kept mapped and unshaped (its whole area shows
// its children and takes the pointer): a compositor that unmaps it (to
// unredirect the screen) or shapes it is undone as soon as its event
// arrives. Giving it back leaves it as a compositor that still holds it
// expects: no input region, and mapped only while that compositor redirects
// the screen. Main thread only.
class Overlay {
 public:
  // Takes the overlay, or returns null when Qt does not run on X or the
  // server offers no Composite 0.3 or later.
  static std::unique_ptr<Overlay> take();
  ~Overlay();
  Overlay(const Overlay&) = delete;
  Overlay& operator=(const Overlay&) = delete;

  // The overlay window's id.
  std::uint32_t window() const { return window_; }

  // Looks at one event of Qt's connection (an xcb_generic_event_t) and puts
  // the overlay back if the event tells it was unmapped or shaped. Returns
  // whether the event concerned the overlay window itself.
  bool handle(const void* event);

 private:
  Overlay(std::uint32_t root, std::uint32_t window, int shapeEvent);
  void show();
  void unshape();
  bool screenRedirected() const;

  std::uint32_t root_;
  std::uint32_t window_;
  int shapeEvent_;  // the Shape extension's ShapeNotify event code, or -1
  // Someone else (a compositor that unredirected the screen) unmapped the
  // overlay, or had it unmapped when it was taken.
  bool unmappedByOthers_ = false;
};

}  // namespace umbrafold::x11
