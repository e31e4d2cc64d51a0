#include "reducemotionsetting.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QFileInfo>

namespace umbrafold {

namespace {

const QString kService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString kPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString kGroup = QStringLiteral("org.gnome.desktop.interface");
const QString kKey = QStringLiteral("enable-animations");
constexpr int kCallTimeoutMs = 2000;

// The portal wraps the value in one variant (ReadOne) or two (the older Read).
QVariant unwrapped(QVariant value) {
  for (int depth = 0; depth < 4 && value.metaType() == QMetaType::fromType<QDBusVariant>();
       ++depth) {
    value = qvariant_cast<QDBusVariant>(value).variant();
  }
  return value;
}

// Whether a session bus is announced. Without one, the D-Bus library would
// fall back to autolaunching a bus through the X server, blocking and leaving
// a daemon behind; the setting then simply reads as off.
bool sessionBusAnnounced() {
  if (!qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS")) return true;
  const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  return !runtime.isEmpty() && QFileInfo::exists(runtime + QStringLiteral("/bus"));
}

}  // namespace

ReduceMotionSetting::ReduceMotionSetting() {
  if (!sessionBusAnnounced()) return;
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  // Matched by path and interface only: naming the portal's service here
  // would cost a blocking owner lookup on the bus.
  bus.connect(QString(), kPath, kInterface, QStringLiteral("SettingChanged"), this,
              SLOT(settingChanged(QDBusMessage)));
  read(QStringLiteral("ReadOne"));
}

std::shared_ptr<ReduceMotionSetting> ReduceMotionSetting::shared() {
  static std::weak_ptr<ReduceMotionSetting> current;
  if (!QCoreApplication::instance()) return nullptr;
  auto setting = current.lock();
  if (!setting) {
    setting = std::make_shared<ReduceMotionSetting>();
    current = setting;
  }
  return setting;
}

void ReduceMotionSetting::read(const QString& method) {
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
  call << kGroup << kKey;
  auto* watcher = new QDBusPendingCallWatcher(
      QDBusConnection::sessionBus().asyncCall(call, kCallTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this,
          [this, method](QDBusPendingCallWatcher* finished) { answered(finished, method); });
}

void ReduceMotionSetting::answered(QDBusPendingCallWatcher* watcher, const QString& method) {
  watcher->deleteLater();
  const QDBusMessage reply = watcher->reply();
  if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
    // A change signalled while the read was under way is newer than the answer.
    if (!changedSinceRead_) apply(unwrapped(reply.arguments().constFirst()));
    return;
  }
  // Portals before version 2 know only Read.
  if (method == QStringLiteral("ReadOne") &&
      reply.errorName() == QStringLiteral("org.freedesktop.DBus.Error.UnknownMethod")) {
    read(QStringLiteral("Read"));
  }
}

void ReduceMotionSetting::settingChanged(const QDBusMessage& message) {
  const QList<QVariant> arguments = message.arguments();
  if (arguments.size() != 3 || arguments[0].toString() != kGroup ||
      arguments[1].toString() != kKey) {
    return;
  }
  changedSinceRead_ = true;
  apply(unwrapped(arguments[2]));
}

void ReduceMotionSetting::apply(const QVariant& value) {
  if (value.metaType() == QMetaType::fromType<bool>()) reduceMotion_ = !value.toBool();
}

}  // namespace umbrafold
