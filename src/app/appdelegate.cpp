#include "appdelegate.h"

#include <QEvent>
#include <QLabel>
#include <QLayout>
#include <QMetaObject>
#include <QPointer>

#include <algorithm>
#include <cstring>
#include <future>
#include <memory>
#include <set>
#include <system_error>
#include <utility>

#include "passwordtext.h"
#include "securefield.h"
#include "setupplacement.h"
#include "setupwindow.h"

namespace umbrafold {

namespace {

constexpr qsizetype kMinimumCharacters = 8;

const QString kTooShort = QStringLiteral("Use at least 8 characters.");
const QString kConfirmEmpty = QStringLiteral("Enter your password again.");
const QString kMismatch = QStringLiteral("The passwords don\u2019t match. Try again.");
const QString kCannotActivate = QStringLiteral("Couldn\u2019t activate the curtain. Try again.");
const QString kIncorrect = QStringLiteral("Incorrect password. Try again.");

// Overwrites a copy of an entry before letting it go, so that the plain
// text does not linger in freed memory.
void wipe(QString& text) {
  if (!text.isEmpty()) {
    QChar* data = text.data();  // detaches: only this copy is touched
    explicit_bzero(data, static_cast<std::size_t>(text.size()) * sizeof(QChar));
  }
  text.clear();
}

}  // namespace

// Holds a copy of an entry for the length of a check and wipes it after.
class EntryCopy {
 public:
  explicit EntryCopy(QString text) : text_(std::move(text)) {}
  ~EntryCopy() { wipe(text_); }
  EntryCopy(const EntryCopy&) = delete;
  EntryCopy& operator=(const EntryCopy&) = delete;
  const QString& get() const { return text_; }

 private:
  QString text_;
};

AppDelegate::AppDelegate(Platform platformIn)
    : platform(std::move(platformIn)),
      setupHint(QStringLiteral("Confirm your password to activate the curtain.")),
      poller(platform.scan, platform.pollInterval) {
  connect(platform.displays.get(), &Displays::changed, this, &AppDelegate::reconcileDisplays);
  connect(platform.focus.get(), &Focus::resignedActive, this,
          &AppDelegate::applicationDidResignActive);
  if (platform.keyboard) {
    connect(platform.keyboard.get(), &KeyboardState::changed, this, &AppDelegate::showKeyboardNote);
  }
}

AppDelegate::~AppDelegate() {
  poller.stop();
  for (auto& [number, curtain] : curtains) {
    if (curtain) platform.presentation->uncover(curtain.get());
  }
}

void AppDelegate::start() {
  buildSetupWindow();
  placeSetupWindow();
  setup->show();
  setup->raise();
  setup->activateWindow();
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event) {
  // The window manager adds its frame (title bar) only once the window is
  // mapped, and the first placement could not count it. Place the window
  // again whenever its frame turns out to have another size than the one it
  // was placed with; a move by the user keeps the size and stays.
  if (setup && watched == setup.get() && !isArmed() &&
      (event->type() == QEvent::Move || event->type() == QEvent::Resize) &&
      setup->frameGeometry().size() != placedFrame) {
    placeSetupWindow();
  }
  return QObject::eventFilter(watched, event);
}

void AppDelegate::buildSetupWindow() {
  if (setup) return;
  setup = std::make_unique<SetupWindow>(setupHint, platform.iconFile);
  setupPassword = setup->passwordField();
  confirmation = setup->confirmationField();
  message = setup->statusLine();
  connect(setupPassword, &SecureField::textEdited, this,
          [this] { controlTextDidChange(setupPassword); });
  connect(confirmation, &SecureField::textEdited, this,
          [this] { controlTextDidChange(confirmation); });
  connect(setupPassword, &SecureField::returnPressed, this, &AppDelegate::focusConfirmation);
  connect(confirmation, &SecureField::returnPressed, this, &AppDelegate::arm);
  connect(setup.get(), &SetupWindow::closing, this, &AppDelegate::windowWillClose);
  setup->installEventFilter(this);
}

void AppDelegate::placeSetupWindow() {
  if (!setup) return;
  placedFrame = setup->frameGeometry().size();
  const std::optional<QPoint> origin =
      setupWindowOrigin(platform.displays->screens(), platform.displays->mainScreen(),
                        platform.displays->pointer(), placedFrame);
  // move() places the frame, title bar included.
  if (origin) setup->move(*origin);
}

void AppDelegate::controlTextDidChange(SecureField* field) {
  if (isArmed() || !setup) return;
  setup->showHint();
  bool match = false;
  {
    const EntryCopy entered(setupPassword->text());
    if (userCharacterCount(entered.get()) >= kMinimumCharacters) {
      const EntryCopy confirmed(confirmation->text());
      match = canonicallyEqual(entered.get(), confirmed.get());
    }
  }
  if (match && !field->hasPreeditText()) arm();
}

void AppDelegate::focusConfirmation() {
  if (setup) confirmation->setFocus(Qt::OtherFocusReason);
}

void AppDelegate::showError(const QString& text) {
  if (setup) setup->showError(text);
}

void AppDelegate::arm() {
  if (isArmed() || !setup) return;

  auto entered = std::make_unique<EntryCopy>(setupPassword->text());
  if (userCharacterCount(entered->get()) < kMinimumCharacters) {
    showError(kTooShort);
    setupPassword->setFocus(Qt::OtherFocusReason);
    return;
  }
  {
    const EntryCopy confirmed(confirmation->text());
    if (!canonicallyEqual(entered->get(), confirmed.get())) {
      showError(confirmed.get().isEmpty() ? kConfirmEmpty : kMismatch);
      confirmation->selectAll();
      return;
    }
  }
  // A display without a number gets no curtain; arming with none to cover
  // would hold the keyboard with nowhere to type the password.
  const std::vector<DisplayInfo> screens = platform.displays->screens();
  if (std::none_of(screens.begin(), screens.end(),
                   [](const DisplayInfo& screen) { return !screen.number.isEmpty(); })) {
    showError(kCannotActivate);
    return;
  }

  // The derivation waits on the processor and taking the screen on the
  // display server (on Wayland until the compositor has locked the session,
  // about as long again). Arming needs both, so they run side by side: the
  // derivation on a thread of its own. Where no thread can be had, it runs
  // here once the screen is taken. The entry's copy is wiped when arm()
  // returns.
  const auto derive = [entry = std::shared_ptr<const EntryCopy>(std::move(entered))] {
    return SessionPassword::make(entry->get());
  };
  std::future<std::optional<SessionPassword>> deriving;
  try {
    deriving = std::async(std::launch::async, derive);
  } catch (const std::system_error&) {
    deriving = std::async(std::launch::deferred, derive);
  }

  // Grab first, show second: no curtain may come up while another client
  // could still receive the keyboard. If the screen and keyboard cannot be
  // had, nothing is armed and the entries stay for another try.
  const PresentationOptions before = platform.presentation->options();
  const bool held = platform.presentation->setOptions(PresentationOptions::armed());
  std::optional<SessionPassword> made = deriving.get();
  if (!held || !made) {
    if (held) platform.presentation->setOptions(before);
    showError(kCannotActivate);
    return;
  }
  savedPresentation = before;
  password = std::move(made);
  reconcileDisplays();
  // The last display may have gone between the check above and the grab:
  // holding the keyboard with no curtain to type into would lock the user
  // out, so everything is given back.
  if (curtains.empty()) {
    password.reset();
    platform.presentation->setOptions(savedPresentation);
    showError(kCannotActivate);
    return;
  }

  setupPassword->clear();
  confirmation->clear();
  QPointer<AppDelegate> self(this);
  poller.start([self](AgentActivity latest) {
    if (self) self->receiveActivity(std::move(latest));
  });
  setup->hide();
  emit armedChanged(true);
}

std::function<void(const QString&)> AppDelegate::makeUnlockHandler() {
  QPointer<AppDelegate> self(this);
  return [self](const QString& text) {
    if (self) self->handleSubmission(text);
  };
}

void AppDelegate::reconcileDisplays() {
  if (!isArmed()) return;

  std::set<QString> live;
  CurtainWindow* first = nullptr;
  for (const DisplayInfo& screen : platform.displays->screens()) {
    if (screen.number.isEmpty()) continue;
    auto stored = curtains.find(screen.number);
    if (stored == curtains.end()) {
      std::unique_ptr<CurtainWindow> made = platform.makeCurtain(screen.frame);
      if (!made) continue;
      stored = curtains.emplace(screen.number, std::move(made)).first;
    }
    live.insert(screen.number);
    CurtainWindow* curtain = stored->second.get();
    curtain->onSubmit = makeUnlockHandler();
    curtain->onPress = [self = QPointer<AppDelegate>(this),
                        window = QPointer<CurtainWindow>(curtain)] {
      if (self && window) self->makeKey(window);
    };
    curtain->setGeometry(screen.frame);
    if (QLayout* layout = curtain->layout()) layout->activate();
    curtain->mascots()->show(activity);
    curtain->show();
    curtain->raise();
    platform.presentation->cover(curtain, screen.number);
    if (!first) first = curtain;
  }

  std::unique_ptr<CurtainWindow> formerKey;
  for (auto it = curtains.begin(); it != curtains.end();) {
    if (live.count(it->first)) {
      ++it;
      continue;
    }
    std::unique_ptr<CurtainWindow> stale = std::move(it->second);
    it = curtains.erase(it);
    if (!stale) continue;
    closeCurtain(stale.get());
    if (stale.get() == key) {
      formerKey = std::move(stale);
    } else {
      dispose(std::move(stale));
    }
  }

  const bool anyKey = std::any_of(curtains.begin(), curtains.end(),
                                  [this](const auto& entry) { return entry.second.get() == key; });
  if (!anyKey && first) {
    key = nullptr;
    makeKey(first);
    first->clearEntry();
    // Keys typed on the key curtain while its display went away are carried
    // on, not lost.
    if (formerKey) first->takeEntry(*formerKey);
  }
  if (formerKey) dispose(std::move(formerKey));
  showKeyboardNote();
}

void AppDelegate::showKeyboardNote() {
  const KeyboardIndicators shown =
      platform.keyboard && isArmed() ? platform.keyboard->indicators() : KeyboardIndicators{};
  for (const auto& [number, curtain] : curtains) {
    if (curtain.get() == key) {
      curtain->showKeyboardNote(shown.capsLock, shown.layout);
    } else {
      curtain->showKeyboardNote(false, QString());
    }
  }
}

void AppDelegate::makeKey(CurtainWindow* curtain) {
  if (!isArmed() || !curtain) return;
  if (key && key != curtain) key->clearEntry();
  key = curtain;
  platform.focus->makeKey(curtain);
  showKeyboardNote();
}

void AppDelegate::closeCurtain(CurtainWindow* curtain) {
  curtain->mascots()->show(AgentActivity{});
  platform.presentation->uncover(curtain);
  curtain->hide();
}

void AppDelegate::dispose(std::unique_ptr<CurtainWindow> curtain) {
  retired.push_back(std::move(curtain));
  QMetaObject::invokeMethod(
      this, [this] { retired.clear(); }, Qt::QueuedConnection);
}

void AppDelegate::handleSubmission(const QString& text) {
  if (!isArmed()) return;
  auto attempt = std::make_shared<EntryCopy>(text);
  // A Return while a check runs is not lost: the attempt waits its turn and
  // is checked as soon as the verdict before it is in, under the same
  // back-off rules.
  if (checking) {
    queued.push_back(std::move(attempt));
    return;
  }
  check(std::move(attempt));
}

void AppDelegate::check(std::shared_ptr<EntryCopy> attempt) {
  const double now = platform.uptime();
  if (const std::optional<SessionPassword::Result> wait = password->refusal(now)) {
    showVerdict(*wait);
    checkNextQueued();
    return;
  }
  // The derivation runs on its own thread with copies of the digest and of
  // the attempt (both wiped when the thread lets go of them), so the curtains
  // stay on top, new displays are covered and mascots walk meanwhile.
  checking = true;
  QPointer<AppDelegate> self(this);
  platform.background(
      [candidate = *password, attempt = std::move(attempt)]() mutable {
        const bool matched = candidate.matches(attempt->get());
        attempt.reset();
        return matched;
      },
      [self, now](bool matched) {
        if (self) self->receiveVerdict(matched, now);
      });
}

void AppDelegate::checkNextQueued() {
  if (!isArmed() || checking || queued.empty()) return;
  std::shared_ptr<EntryCopy> next = std::move(queued.front());
  queued.pop_front();
  check(std::move(next));
}

void AppDelegate::receiveVerdict(bool matched, double now) {
  checking = false;
  if (!isArmed()) return;
  showVerdict(password->judge(matched, now));
  checkNextQueued();
}

void AppDelegate::showVerdict(const SessionPassword::Result& verdict) {
  QString note;
  switch (verdict.kind) {
    case SessionPassword::Result::Kind::accepted:
      unlock();
      return;
    case SessionPassword::Result::Kind::rejected:
      note = kIncorrect;
      break;
    case SessionPassword::Result::Kind::wait:
      note = QStringLiteral("Try again in %1 s").arg(verdict.seconds);
      break;
  }
  for (const auto& [number, curtain] : curtains) {
    curtain->passwordField()->setPlaceholderText(note);
  }
}

void AppDelegate::unlock(int status) {
  const bool wasArmed = isArmed();
  poller.stop();
  password.reset();
  queued.clear();
  platform.presentation->setOptions(savedPresentation);
  for (auto& [number, curtain] : curtains) closeCurtain(curtain.get());
  // The curtain whose submission got here is still on the call stack, so
  // the windows are destroyed later, not now.
  for (auto& [number, curtain] : curtains) dispose(std::move(curtain));
  curtains.clear();
  key = nullptr;
  if (wasArmed) emit armedChanged(false);
  if (platform.terminate) platform.terminate(status);
}

void AppDelegate::endSession(int status) {
  if (isArmed()) {
    unlock(status);
  } else if (platform.terminate) {
    platform.terminate(status);
  }
}

void AppDelegate::receiveActivity(AgentActivity latest) {
  if (!isArmed()) return;
  activity = std::move(latest);
  for (const auto& [number, curtain] : curtains) curtain->mascots()->show(activity);
}

void AppDelegate::applicationDidResignActive() {
  if (!isArmed()) return;
  // Checked on a later turn of the event loop, never inside the
  // notification; by then the session may have ended.
  QPointer<AppDelegate> self(this);
  QMetaObject::invokeMethod(
      this,
      [self] {
        if (!self || !self->isArmed()) return;
        if (self->platform.focus->isActive()) return;
        // The desktop's own locker or greeter may take the keyboard.
        if (self->platform.focus->lockerActive()) return;
        self->platform.focus->activate();
      },
      Qt::QueuedConnection);
}

void AppDelegate::windowWillClose() {
  if (isArmed()) return;
  if (platform.terminate) platform.terminate(0);
}

}  // namespace umbrafold
