#pragma once

#include <functional>
#include <string>
#include <vector>

namespace umbrafold {

// What the program was asked to do on its command line. It takes no
// arguments besides asking for help or its version.
struct CommandLine {
  enum class Action { run, help, version, usage };
  Action action = Action::run;
  std::string offending;  // the argument that made it a usage error

  static CommandLine parse(const std::vector<std::string>& arguments);
};

// The text of `umbrafold --help`; the man page lists the same options.
const char* helpText();
// "umbrafold <version>".
std::string versionText();
// One line for standard error and the help, for a wrong argument.
std::string usageError(const std::string& offending);

// Exit statuses besides a signal's 128 + N.
constexpr int kExitUnlocked = 0;
constexpr int kExitNoDisplay = 1;
constexpr int kExitUsage = 2;

// What the program may learn about the display servers before it starts
// Qt, which aborts when it cannot connect to one.
struct DisplayEnvironment {
  std::function<const char*(const char*)> variable;  // like getenv
  // Whether a client can connect to the X display or the Wayland socket
  // named; called only for names that are set.
  std::function<bool(const std::string&)> x11Reachable;
  std::function<bool(const std::string&)> waylandReachable;
};

// The one line to print when no display server can be reached, or empty
// when one can (or when QT_QPA_PLATFORM names a platform that needs none).
std::string displayProblem(const DisplayEnvironment& environment);

// Whether the Wayland socket `name` (absolute, or relative to
// $XDG_RUNTIME_DIR) accepts a connection.
bool waylandSocketReachable(const std::string& name);

}  // namespace umbrafold
