#include "curtainsurface.h"

#include <QCoreApplication>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QWidget>

namespace umbrafold::curtainsurface {

void draw(QWidget* window, QImage& image, const QRegion& region, QPoint origin, QWidget* opaque) {
  if (region.isEmpty()) return;
  if (!window) {
    QPainter painter(&image);
    const QRegion here = region.translated(-origin);
    painter.setClipRegion(here);
    painter.fillRect(here.boundingRect(), Qt::white);
    return;
  }
  // render() places the source region's top-left corner at the offset given,
  // and paints the window's own white background beneath its children.
  QRegion rest = region;
  if (opaque && opaque->isVisible()) {
    const QRegion covered = region & opaque->geometry();
    if (!covered.isEmpty()) {
      opaque->render(&image, covered.boundingRect().topLeft() - origin,
                     covered.translated(-opaque->pos()), QWidget::DrawChildren);
      rest -= covered;
    }
  }
  if (!rest.isEmpty()) window->render(&image, rest.boundingRect().topLeft() - origin, rest);
}

void sendKey(QWidget* window, QEvent::Type type, int key, Qt::KeyboardModifiers modifiers,
             const QString& text, bool autoRepeat) {
  if (!window) return;
  QWidget* target = window->focusWidget();
  if (!target || (target != window && !window->isAncestorOf(target))) target = window;
  // Keys the focused child leaves alone (Escape, Control combinations) go
  // on to its parents, as Qt does for keys from a window system.
  QKeyEvent event(type, key, modifiers, text, autoRepeat);
  QCoreApplication::sendEvent(target, &event);
}

QWidget* pressTarget(QWidget* window, const QPointF& position) {
  QWidget* child = window->childAt(position.toPoint());
  return child ? child : window;
}

void sendButton(QWidget* window, QWidget* target, const QPointF& position, Qt::MouseButton button,
                Qt::MouseButtons buttons, bool pressed) {
  const QPointF local = target->mapFrom(window, position);
  QMouseEvent event(pressed ? QEvent::MouseButtonPress : QEvent::MouseButtonRelease, local,
                    position, position, button, buttons, Qt::NoModifier);
  QCoreApplication::sendEvent(target, &event);
}

}  // namespace umbrafold::curtainsurface
