#pragma once

#include <QString>
#include <QWidget>

class QLabel;

namespace umbrafold {

class SecureField;

// The small titled window in which the user chooses the session password:
// icon, heading, status line, password and confirmation fields, footnote.
// It has no button; the controller reacts to the fields' signals. Tab and
// Shift+Tab move only between the two fields. Closable, not resizable,
// never minimised or maximised. Main thread only.
class SetupWindow : public QWidget {
  Q_OBJECT

 public:
  // Builds the complete window without showing it. `hint` is the resting
  // text of the status line and the accessible description of the password
  // field. `iconFile` may name a missing or unreadable image: the icon's box
  // then stays empty.
  SetupWindow(const QString& hint, const QString& iconFile);
  ~SetupWindow() override;

  SecureField* passwordField() const { return password_; }
  SecureField* confirmationField() const { return confirmation_; }
  QLabel* statusLine() const { return status_; }

  // The status line at rest (the hint, secondary colour) or showing an
  // error (red).
  void showHint();
  void showError(const QString& text);

  // The image file of the icon: Umbrafold.png under share/umbrafold beside
  // the executable's directory (install tree), else under the executable's
  // directory (build tree). Empty when neither exists.
  static QString defaultIconFile();

 signals:
  // The user closed the window (its close button or the window manager).
  void closing();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QString hint_;
  QLabel* status_ = nullptr;
  SecureField* password_ = nullptr;
  SecureField* confirmation_ = nullptr;
};

}  // namespace umbrafold
