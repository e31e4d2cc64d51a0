#pragma once

#include <QObject>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QString>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "agentactivity.h"
#include "agentpoller.h"
#include "background.h"
#include "curtainwindow.h"
#include "displays.h"
#include "focus.h"
#include "keyboardstate.h"
#include "presentation.h"
#include "sessionpassword.h"

class QLabel;

namespace umbrafold {

class EntryCopy;
class SecureField;
class SetupWindow;

// What the session controller needs from the world, chosen once at start.
struct Platform {
  std::unique_ptr<Displays> displays;
  std::unique_ptr<Presentation> presentation;
  std::unique_ptr<Focus> focus;
  // Caps Lock and the active layout, shown on the key curtain; may be null.
  std::unique_ptr<KeyboardState> keyboard;
  // Builds a curtain, not yet shown, for a display frame.
  std::function<std::unique_ptr<CurtainWindow>(const QRect&)> makeCurtain = [](const QRect& frame) {
    return std::make_unique<CurtainWindow>(frame);
  };
  // The agent scan; runs on the polling thread.
  AgentPoller::Scan scan = &AgentActivity::current;
  std::chrono::milliseconds pollInterval{2000};
  // Seconds on the monotonic clock, for the password's back-off.
  std::function<double()> uptime = &SessionPassword::uptimeNow;
  // Runs one password derivation off the main thread and hands its result
  // back on the main thread.
  std::function<void(std::function<bool()>, std::function<void(bool)>)> background =
      &runInBackground;
  // Ends the process with the given status (leaves the event loop).
  std::function<void(int)> terminate;
  // The setup window's icon image; empty or missing leaves the box empty.
  QString iconFile;
};

// The one session controller: it owns the setup window, the session password
// (whose presence is the armed state), one curtain per display while armed,
// the presentation options saved at arming, the latest agent activity and
// the polling. Arming is the only way into the armed state; an accepted
// password is the only way out, and it ends the process. Main thread only.
class AppDelegate : public QObject {
  Q_OBJECT

 public:
  explicit AppDelegate(Platform platform);
  ~AppDelegate() override;

  // Builds the setup window, places it on the display under the pointer,
  // shows it and gives it the focus. Call once, with the event loop about
  // to run.
  void start();

  // Builds the setup window (once); start() calls it.
  void buildSetupWindow();
  // Moves the setup window onto the display under the pointer.
  void placeSetupWindow();

  // Moves the keyboard focus to the confirmation field; validates nothing.
  void focusConfirmation();
  // Validates the two entries, makes the session password, takes the
  // screen and keyboard, covers every display, starts polling and hides the
  // setup window. On failure shows one sentence in red on the status line
  // and changes nothing else. Does nothing while armed.
  void arm();
  // Brings the curtains in line with the displays: one per display with a
  // number, each at its display's frame; one of them key. Does nothing
  // unless armed.
  void reconcileDisplays();

  // Makes `curtain` the one that receives the keyboard; the entry of the
  // curtain that was key before is cleared. Does nothing unless armed.
  void makeKey(CurtainWindow* curtain);

  // Ends the session for a signal such as SIGTERM at logout: stops polling,
  // drops the password, gives the screen and keyboard back, closes the
  // curtains and terminates with `status`.
  void endSession(int status);

  // Read access, for the program's own checks and tests.
  bool isArmed() const { return password.has_value(); }
  bool isChecking() const { return checking; }
  CurtainWindow* keyCurtain() const { return key.data(); }
  bool isPolling() const { return poller.isPolling(); }
  SetupWindow* setupWindow() const { return setup.get(); }
  const std::map<QString, std::unique_ptr<CurtainWindow>>& curtainWindows() const {
    return curtains;
  }
  const AgentActivity& latestActivity() const { return activity; }
  PresentationOptions savedOptions() const { return savedPresentation; }

 signals:
  // The armed state began (true) or ended (false).
  void armedChanged(bool armed);

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // A user edit in either setup field: resets the status line and arms once
  // both entries match (unless an input method is composing).
  void controlTextDidChange(SecureField* field);
  // The user closed the setup window: quits before arming.
  void windowWillClose();
  // The application lost the keyboard focus: while armed, posts one check.
  void applicationDidResignActive();
  // A text submitted on a curtain: checked now, or queued while another
  // check runs.
  void handleSubmission(const QString& text);
  // Answers a wait at once, or derives the attempt on the background thread.
  void check(std::shared_ptr<EntryCopy> attempt);
  // Starts the check of the oldest queued attempt, if no check runs.
  void checkNextQueued();
  // Ends the session: stop polling, drop the password, give the screen and
  // keyboard back, close the curtains, terminate with `status`.
  void unlock(int status = 0);
  // A new polling result, on the main thread.
  void receiveActivity(AgentActivity latest);
  std::function<void(const QString&)> makeUnlockHandler();
  // The verdict of a check started at `now` came back from its thread.
  void receiveVerdict(bool matched, double now);
  void showVerdict(const SessionPassword::Result& verdict);
  // The key curtain shows the keyboard's indicators; every other curtain
  // shows none.
  void showKeyboardNote();
  // Takes a curtain off the screen: no mascots, no longer kept on top,
  // hidden.
  void closeCurtain(CurtainWindow* curtain);
  // Destroys a closed curtain on a later turn of the event loop (it may be
  // the caller of the unlock handler).
  void dispose(std::unique_ptr<CurtainWindow> curtain);
  void showError(const QString& text);

  Platform platform;

  std::unique_ptr<SetupWindow> setup;
  SecureField* setupPassword = nullptr;
  SecureField* confirmation = nullptr;
  QLabel* message = nullptr;
  const QString setupHint;
  QSize placedFrame;  // the frame size the setup window was last placed with

  std::optional<SessionPassword> password;
  bool checking = false;  // a submitted password is being derived
  // Attempts submitted while a check ran, oldest first; wiped when dropped.
  std::deque<std::shared_ptr<EntryCopy>> queued;
  std::map<QString, std::unique_ptr<CurtainWindow>> curtains;
  QPointer<CurtainWindow> key;
  PresentationOptions savedPresentation;
  AgentActivity activity;
  AgentPoller poller;

  std::vector<std::unique_ptr<CurtainWindow>> retired;
};

}  // namespace umbrafold
