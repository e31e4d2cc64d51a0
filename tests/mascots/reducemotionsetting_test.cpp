// The reduce-motion setting against a stand-in desktop portal on a private
// session bus (dbus-daemon), owned by a second connection of this process.
#include "reducemotionsetting.h"

#include <gtest/gtest.h>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QProcess>
#include <QTest>

#include "mascotwalk.h"
#include "qtapp.h"

namespace umbrafold {
namespace {

class FakePortal : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

 public:
  bool animations = false;

 public slots:
  QDBusVariant ReadOne(const QString& group, const QString& key) {
    if (group == QLatin1String("org.gnome.desktop.interface") &&
        key == QLatin1String("enable-animations")) {
      return QDBusVariant(animations);
    }
    return QDBusVariant(QString());
  }

 signals:
  void SettingChanged(const QString& group, const QString& key, const QDBusVariant& value);
};

class ReduceMotionSettingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon.start(QStringLiteral("dbus-daemon"),
                 {QStringLiteral("--session"), QStringLiteral("--nofork"),
                  QStringLiteral("--print-address=1")});
    if (!daemon.waitForStarted(5000) || !daemon.waitForReadyRead(5000)) {
      GTEST_SKIP() << "no dbus-daemon to run a private session bus";
    }
    const QByteArray address = daemon.readLine().trimmed();
    setenv("DBUS_SESSION_BUS_ADDRESS", address.constData(), 1);
    testing::application();
    bus = std::make_unique<QDBusConnection>(
        QDBusConnection::connectToBus(QString::fromUtf8(address), QStringLiteral("portal")));
    ASSERT_TRUE(bus->isConnected());
    ASSERT_TRUE(
        bus->registerObject(QStringLiteral("/org/freedesktop/portal/desktop"), &portal,
                            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals));
    ASSERT_TRUE(bus->registerService(QStringLiteral("org.freedesktop.portal.Desktop")));
  }

  void TearDown() override {
    bus.reset();
    QDBusConnection::disconnectFromBus(QStringLiteral("portal"));
    daemon.kill();
    daemon.waitForFinished();
  }

  void change(bool animations) {
    portal.animations = animations;
    emit portal.SettingChanged(QStringLiteral("org.gnome.desktop.interface"),
                               QStringLiteral("enable-animations"), QDBusVariant(animations));
  }

  QProcess daemon;
  FakePortal portal;
  std::unique_ptr<QDBusConnection> bus;
};

TEST_F(ReduceMotionSettingTest, FollowsThePortalsAnimationSetting) {
  const MascotWalk::Services services = MascotWalk::systemServices();
  const auto setting = ReduceMotionSetting::shared();
  ASSERT_TRUE(setting);
  EXPECT_FALSE(setting->reduceMotion());  // off until the portal answers
  EXPECT_TRUE(QTest::qWaitFor([&] { return setting->reduceMotion(); }));
  EXPECT_TRUE(services.reduceMotion());

  change(true);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !setting->reduceMotion(); }));
  EXPECT_FALSE(services.reduceMotion());

  emit portal.SettingChanged(QStringLiteral("org.gnome.desktop.interface"),
                             QStringLiteral("gtk-theme"), QDBusVariant(false));
  change(false);
  EXPECT_TRUE(QTest::qWaitFor([&] { return setting->reduceMotion(); }));
}

}  // namespace
}  // namespace umbrafold

#include "reducemotionsetting_test.moc"
