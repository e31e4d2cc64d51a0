#pragma once

#include <cstdint>
#include <memory>
#include <string>

class QString;
class QWidget;

namespace umbrafold {

// The presentation options as one bit set: what the session takes over from
// the desktop while the curtain is up.
struct PresentationOptions {
  static constexpr std::uint32_t hideDock = 1u << 1;
  static constexpr std::uint32_t hideMenuBar = 1u << 3;
  static constexpr std::uint32_t disableProcessSwitching = 1u << 5;
  static constexpr std::uint32_t disableHideApplication = 1u << 8;

  // What arming puts in force: 0x12A.
  static constexpr PresentationOptions armed() {
    return {hideDock | hideMenuBar | disableProcessSwitching | disableHideApplication};
  }

  std::uint32_t raw = 0;
  friend bool operator==(PresentationOptions, PresentationOptions) = default;
};

// Taking over the screen and keyboard. On X11, "disable process switching"
// is the keyboard and pointer grabbed for the whole armed time, and hiding
// the dock and panels is keeping the curtains above every other window.
// Main thread only.
class Presentation {
 public:
  virtual ~Presentation() = default;

  // The options in force now.
  virtual PresentationOptions options() const = 0;
  // Puts `options` in force, releasing exactly what is no longer asked for.
  // Returns false, with nothing changed, when they cannot be had (another
  // client still holds the keyboard or pointer after about one second, or
  // the session is one where a grab protects nothing).
  virtual bool setOptions(PresentationOptions options) = 0;

  // A curtain is on screen for the display numbered `display`: keep it
  // there, whole, above every other window from now on, whatever other
  // programs do.
  virtual void cover(QWidget* curtain, const QString& display) = 0;
  // The curtain is about to be closed: stop keeping it on top.
  virtual void uncover(QWidget* curtain) = 0;
};

// The X11 implementation (xcb grabs, stacking, compositor bypass).
std::unique_ptr<Presentation> makeX11Presentation();
// For sessions where a grab protects nothing (Wayland) or there is no X
// server: setOptions always fails, so arming refuses clearly, and each
// refusal writes `reason` (what is missing, in which session) to standard
// error.
std::unique_ptr<Presentation> makeRefusingPresentation(std::string reason = {});

}  // namespace umbrafold
