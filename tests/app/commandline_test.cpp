#include "commandline.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace umbrafold {
namespace {

struct ParseCase {
  std::vector<std::string> arguments;
  CommandLine::Action action;
  std::string offending;
};

TEST(CommandLineTest, ParsesHelpVersionAndRejectsEverythingElse) {
  using A = CommandLine::Action;
  const std::vector<ParseCase> cases = {
      {{"umbrafold"}, A::run, ""},
      {{"umbrafold", "--help"}, A::help, ""},
      {{"umbrafold", "-h"}, A::help, ""},
      {{"umbrafold", "--version"}, A::version, ""},
      {{"umbrafold", "-V"}, A::version, ""},
      {{"umbrafold", "--version", "--help"}, A::help, ""},
      {{"umbrafold", "--bogus"}, A::usage, "--bogus"},
      {{"umbrafold", "-platform", "offscreen"}, A::usage, "-platform"},
      {{"umbrafold", "--help=1"}, A::usage, "--help=1"},
      {{"umbrafold", "--version", "extra"}, A::usage, "extra"},
  };
  for (const ParseCase& c : cases) {
    const CommandLine line = CommandLine::parse(c.arguments);
    EXPECT_EQ(line.action, c.action) << c.arguments.back();
    EXPECT_EQ(line.offending, c.offending) << c.arguments.back();
  }
}

struct DisplayCase {
  std::map<std::string, std::string> variables;
  bool x11Up;
  bool waylandUp;
  std::string expected;  // a part of the message, or empty for "reachable"
};

TEST(CommandLineTest, NamesTheDisplayThatCannotBeReached) {
  const std::vector<DisplayCase> cases = {
      {{{"DISPLAY", ":0"}}, true, false, ""},
      {{{"DISPLAY", ":7"}}, false, false, "cannot connect to the X display \":7\""},
      {{}, true, true, "neither DISPLAY nor WAYLAND_DISPLAY is set"},
      {{{"DISPLAY", ""}}, true, true, "neither DISPLAY nor WAYLAND_DISPLAY is set"},
      {{{"WAYLAND_DISPLAY", "wayland-1"}}, false, true, ""},
      {{{"WAYLAND_DISPLAY", "wayland-1"}},
       false,
       false,
       "cannot connect to the Wayland display \"wayland-1\""},
      // XWayland still answers when the compositor's socket is gone.
      {{{"WAYLAND_DISPLAY", "wayland-1"}, {"DISPLAY", ":1"}}, true, false, ""},
      {{{"QT_QPA_PLATFORM", "offscreen"}}, false, false, ""},
      {{{"QT_QPA_PLATFORM", "xcb"}}, false, false, "neither DISPLAY"},
  };
  for (const DisplayCase& c : cases) {
    const DisplayEnvironment environment{
        [&c](const char* name) -> const char* {
          const auto found = c.variables.find(name);
          return found == c.variables.end() ? nullptr : found->second.c_str();
        },
        [&c](const std::string&) { return c.x11Up; },
        [&c](const std::string&) { return c.waylandUp; }};
    const std::string message = displayProblem(environment);
    if (c.expected.empty()) {
      EXPECT_EQ(message, "");
    } else {
      EXPECT_NE(message.find(c.expected), std::string::npos) << message;
      EXPECT_EQ(message.rfind("umbrafold: ", 0), 0u) << message;
      EXPECT_EQ(message.find('\n'), message.size() - 1) << "one line: " << message;
      EXPECT_NE(message.find("desktop session"), std::string::npos) << message;
    }
  }
}

}  // namespace
}  // namespace umbrafold
