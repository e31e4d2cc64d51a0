#pragma once

#include <gtest/gtest.h>

#include <QApplication>

#include <memory>

namespace umbrafold::testing {

// One QApplication for the whole test binary, created before the first test
// and destroyed after the last one.
class QtApplicationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    static int argc = 1;
    static char name[] = "curtain_tests";
    static char* argv[] = {name, nullptr};
    app_ = std::make_unique<QApplication>(argc, argv);
    QApplication::setQuitOnLastWindowClosed(false);
  }
  void TearDown() override { app_.reset(); }

 private:
  std::unique_ptr<QApplication> app_;
};

}  // namespace umbrafold::testing
