#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusReply>
#include <QGuiApplication>
#include <QPointer>
#include <QWidget>

#include "focus.h"

namespace umbrafold {

namespace {

// Activation as Qt sees it. The desktop's locker is asked over the session
// bus; no bus, no answer or an error all read as "not active".
class QtFocus : public Focus {
 public:
  QtFocus() {
    connect(qApp, &QGuiApplication::applicationStateChanged, this,
            [this](Qt::ApplicationState state) {
              if (state != Qt::ApplicationActive) emit resignedActive();
            });
  }

  bool isActive() const override {
    return QGuiApplication::applicationState() == Qt::ApplicationActive;
  }

  void makeKey(QWidget* window) override {
    key_ = window;
    if (!window) return;
    window->show();
    window->raise();
    window->activateWindow();
  }

  void activate() override {
    if (!key_) return;
    key_->raise();
    key_->activateWindow();
  }

  bool lockerActive() const override {
    // Without a session bus address Qt would try to launch a bus daemon.
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return false;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) return false;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.ScreenSaver"),
        QStringLiteral("/org/freedesktop/ScreenSaver"),
        QStringLiteral("org.freedesktop.ScreenSaver"), QStringLiteral("GetActive"));
    QDBusReply<bool> reply = bus.call(call, QDBus::Block, 500);
    return reply.isValid() && reply.value();
  }

 private:
  QPointer<QWidget> key_;
};

}  // namespace

std::unique_ptr<Focus> makeQtFocus() { return std::make_unique<QtFocus>(); }

}  // namespace umbrafold
