#pragma once

#include <QObject>
#include <QPoint>
#include <QRect>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace umbrafold {

// One connected display, in global coordinates (y grows downwards).
struct DisplayInfo {
  QString number;      // the RandR output name ("DUMMY0", "HDMI-1"); empty: no display number
  QRect frame;         // the whole display
  QRect visibleFrame;  // the display less panels and docks
  friend bool operator==(const DisplayInfo&, const DisplayInfo&) = default;
};

// The displays and the pointer. Main thread only.
class Displays : public QObject {
  Q_OBJECT

 public:
  ~Displays() override = default;

  // Connected displays, the primary display first.
  virtual std::vector<DisplayInfo> screens() const = 0;
  // The primary display, if any.
  virtual std::optional<DisplayInfo> mainScreen() const = 0;
  // Pointer position in global coordinates.
  virtual QPoint pointer() const = 0;

 signals:
  // The set or the layout of displays changed.
  void changed();
};

// Displays as QGuiApplication reports them.
std::unique_ptr<Displays> makeQtDisplays();

}  // namespace umbrafold
