#pragma once

#include <QObject>
#include <QString>

#include <memory>

class QDBusMessage;
class QDBusPendingCallWatcher;

namespace umbrafold {

// The desktop's "enable animations" setting, read from the desktop portal
// (org.freedesktop.portal.Settings, org.gnome.desktop.interface
// enable-animations) without ever blocking: one asynchronous read at
// construction, then kept current through the portal's SettingChanged
// signal. Animations disabled means reduce motion. Until the portal answers,
// and whenever there is no session bus or no portal, reduce motion is off. A
// session bus is used only when announced (DBUS_SESSION_BUS_ADDRESS or
// $XDG_RUNTIME_DIR/bus), never autolaunched.
// Main thread only.
class ReduceMotionSetting : public QObject {
  Q_OBJECT

 public:
  ReduceMotionSetting();

  bool reduceMotion() const { return reduceMotion_; }

  // One setting shared by every strip of the process while any holds it;
  // none when there is no application object yet.
  static std::shared_ptr<ReduceMotionSetting> shared();

 private slots:
  void settingChanged(const QDBusMessage& message);

 private:
  void read(const QString& method);
  void answered(QDBusPendingCallWatcher* watcher, const QString& method);
  void apply(const QVariant& value);

  bool reduceMotion_ = false;
  bool changedSinceRead_ = false;
};

}  // namespace umbrafold
