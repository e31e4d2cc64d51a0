#pragma once

#include <QEvent>
#include <QPoint>
#include <QPointF>
#include <QRegion>
#include <QString>
#include <Qt>

class QImage;
class QWidget;

namespace umbrafold {

// A window that Qt never shows, drawn into the pixels of a surface of our
// own, and the input that arrived for that surface handed to it as Qt
// events. Main thread only.
namespace curtainsurface {

// Draws the part `region` (logical pixels) of `window` into `image`, over
// its white background, with the window's point `origin` at the image's
// top-left corner; a null window leaves plain white. Where `opaque` (a
// child of `window` on top of its siblings that paints every pixel of its
// own) lies, it alone is drawn, so its pixels are painted only once.
void draw(QWidget* window, QImage& image, const QRegion& region, QPoint origin = QPoint(),
          QWidget* opaque = nullptr);

// Sends a key to the widget of `window` that has the focus, or to `window`
// itself when none of its children has. Does nothing without a window.
void sendKey(QWidget* window, QEvent::Type type, int key, Qt::KeyboardModifiers modifiers,
             const QString& text, bool autoRepeat);

// The widget of `window` that a press at `position` (window coordinates)
// goes to: the one under it that takes mouse events, else the window.
QWidget* pressTarget(QWidget* window, const QPointF& position);

// Sends a press or release of `button` at `position` in `window`'s
// coordinates to `target` (a widget of `window`); `buttons` are the buttons
// held after the change.
void sendButton(QWidget* window, QWidget* target, const QPointF& position, Qt::MouseButton button,
                Qt::MouseButtons buttons, bool pressed);

}  // namespace curtainsurface

}  // namespace umbrafold
