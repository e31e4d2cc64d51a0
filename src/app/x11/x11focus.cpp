// Keyboard focus on X11. Curtains are override-redirect windows, which the
// window manager never focuses: the focus is asked for with
// xcb_set_input_focus once the window is mapped (the server ignores it before).
// While a curtain is key, every key event that reaches this client (through
// the keyboard grab, reported on the root while another client's window has
// the input focus, or on another curtain) is handed to the key curtain, so
// no keystroke depends on which window holds the X input focus: once as the
// X event arrives, and again as Qt delivers it, because Qt sends key events
// to the window it last saw gain the focus, and it learns of a new key
// curtain only when the server's FocusIn arrives, after keys typed before
// it (a key curtain whose monitor went away is closed at once, and what is
// typed into it later would be lost).

#include <xcb/xcb.h>
#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDir>
#include <QEvent>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPointer>
#include <QWidget>
#include <QWindow>

#include <memory>

#include "focus.h"
#include "x11window.h"

namespace umbrafold {
namespace {

// The longest the desktop's locker may take to answer whether it is active.
constexpr int kLockerTimeoutMs = 200;

// A session bus to ask, without letting the bus library start one (its
// default for a missing address is to launch a daemon).
bool hasSessionBus() {
  if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return true;
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  return !runtime.isEmpty() && QFileInfo::exists(QDir(runtime).filePath(QStringLiteral("bus")));
}

class X11Focus final : public Focus, public QAbstractNativeEventFilter {
 public:
  X11Focus() {
    QCoreApplication::instance()->installNativeEventFilter(this);
    QCoreApplication::instance()->installEventFilter(this);
    QObject::connect(qGuiApp, &QGuiApplication::applicationStateChanged, this,
                     [this](Qt::ApplicationState state) {
                       const bool wasActive = active_;
                       active_ = state == Qt::ApplicationActive;
                       if (wasActive && !active_) emit resignedActive();
                     });
  }

  ~X11Focus() override {
    if (QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
  }

  // Redirects key events to the key curtain before Qt reads them. Qt then
  // translates them with its own keyboard state and delivers them to that
  // window's focus widget, whichever window the server reported them on.
  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) override {
    if (!key_ || eventType != "xcb_generic_event_t") return false;
    auto* event = static_cast<xcb_generic_event_t*>(message);
    const std::uint8_t type = event->response_type & 0x7f;
    if (type != XCB_KEY_PRESS && type != XCB_KEY_RELEASE) return false;
    // Press and release share one layout.
    auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
    const auto target = static_cast<xcb_window_t>(key_->winId());
    if (key->event != target) {
      key->event = target;
      key->child = XCB_WINDOW_NONE;
    }
    return false;
  }

  bool isActive() const override {
    return QGuiApplication::applicationState() == Qt::ApplicationActive;
  }

  void makeKey(QWidget* window) override {
    if (!window) return;
    key_ = window;
    window->show();
    window->raise();
    x11::raiseAbove(window->winId());
    focusWhenExposed(window);
    window->activateWindow();
  }

  void activate() override {
    if (key_ && key_->isVisible()) makeKey(key_);
  }

  bool lockerActive() const override {
    if (!hasSessionBus()) return false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    const QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.ScreenSaver"),
        QStringLiteral("/org/freedesktop/ScreenSaver"),
        QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("GetActive"));
    const QDBusMessage reply = bus.call(call, QDBus::Block, kLockerTimeoutMs);
    return reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 1 &&
           reply.arguments().front().toBool();
  }

 protected:
  // Hands a key event Qt delivers to another of our windows to the key
  // curtain, and waits for the expose of a window made key before it was
  // mapped.
  bool eventFilter(QObject* watched, QEvent* event) override {
    if ((event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease) &&
        watched->isWindowType() && key_ && key_->isVisible() && key_->windowHandle() &&
        watched != key_->windowHandle()) {
      const auto* key = static_cast<const QKeyEvent*>(event);
      QKeyEvent handed(key->type(), key->key(), key->modifiers(), key->nativeScanCode(),
                       key->nativeVirtualKey(), key->nativeModifiers(), key->text(),
                       key->isAutoRepeat(), static_cast<quint16>(key->count()));
      QCoreApplication::sendEvent(key_->windowHandle(), &handed);
      return true;
    }
    if (event->type() == QEvent::Expose && watched == pendingHandle_ &&
        pendingHandle_->isExposed()) {
      pendingHandle_->removeEventFilter(this);
      pendingHandle_ = nullptr;
      if (key_) x11::setInputFocus(key_->winId());
    }
    return false;
  }

 private:
  void focusWhenExposed(QWidget* window) {
    if (pendingHandle_) pendingHandle_->removeEventFilter(this);
    pendingHandle_ = nullptr;
    QWindow* handle = window->windowHandle();
    if (!handle) return;
    if (handle->isExposed()) {
      x11::setInputFocus(window->winId());
    } else {
      pendingHandle_ = handle;
      handle->installEventFilter(this);
    }
  }

  QPointer<QWidget> key_;
  QPointer<QWindow> pendingHandle_;
  bool active_ = QGuiApplication::applicationState() == Qt::ApplicationActive;
};

}  // namespace

std::unique_ptr<Focus> makeX11Focus() { return std::make_unique<X11Focus>(); }

}  // namespace umbrafold
