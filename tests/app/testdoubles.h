#pragma once

#include <QPointer>
#include <QString>
#include <QWidget>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "displays.h"
#include "focus.h"
#include "keyboardstate.h"
#include "presentation.h"

namespace umbrafold::test {

// The one QApplication of a test binary, made on first use.
void ensureApplication();

// Runs the event loop until `done` holds or `timeout` passes; true if done.
bool waitFor(const std::function<bool()>& done,
             std::chrono::milliseconds timeout = std::chrono::seconds(5));

// The calls the doubles saw, in order, each with the state of the code under
// test at that moment when `state` is set.
struct EventLog {
  std::vector<std::string> events;
  std::function<std::string()> state;

  void add(std::string event) {
    if (state) event += " (" + state() + ")";
    events.push_back(std::move(event));
  }
};

class FakeDisplays : public Displays {
 public:
  std::vector<DisplayInfo> list;
  QPoint pointerAt;

  std::vector<DisplayInfo> screens() const override { return list; }
  std::optional<DisplayInfo> mainScreen() const override {
    if (list.empty()) return std::nullopt;
    return list.front();
  }
  QPoint pointer() const override { return pointerAt; }

  // Replaces the displays and reports the change.
  void set(std::vector<DisplayInfo> displays) {
    list = std::move(displays);
    emit changed();
  }
};

class FakePresentation : public Presentation {
 public:
  explicit FakePresentation(std::shared_ptr<EventLog> log) : log_(std::move(log)) {}

  PresentationOptions current{0x4};
  bool refuse = false;
  std::function<void(PresentationOptions)> onSet;  // called before each setOptions
  std::vector<PresentationOptions> requests;

  PresentationOptions options() const override { return current; }
  bool setOptions(PresentationOptions options) override;
  void cover(QWidget* curtain, const QString& display) override;
  void uncover(QWidget* curtain) override;

 private:
  std::shared_ptr<EventLog> log_;
};

class FakeFocus : public Focus {
 public:
  explicit FakeFocus(std::shared_ptr<EventLog> log) : log_(std::move(log)) {}

  bool active = false;
  bool locker = false;
  QPointer<QWidget> key;
  int activations = 0;

  bool isActive() const override { return active; }
  void makeKey(QWidget* window) override;
  void activate() override { ++activations; }
  bool lockerActive() const override { return locker; }

  void resign() { emit resignedActive(); }

 private:
  std::shared_ptr<EventLog> log_;
};

class FakeKeyboardState : public KeyboardState {
 public:
  KeyboardIndicators shown;

  KeyboardIndicators indicators() const override { return shown; }
  void set(KeyboardIndicators now) {
    shown = std::move(now);
    emit changed();
  }
};

// A display of the given number and frame, with its whole frame usable.
DisplayInfo display(const QString& number, const QRect& frame);

}  // namespace umbrafold::test
