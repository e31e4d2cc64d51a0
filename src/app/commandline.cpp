#include "commandline.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace umbrafold {

namespace {

constexpr const char* kHelp =
    "Usage: umbrafold [--help | --version]\n"
    "\n"
    "Covers every monitor with an opaque white curtain until the session\n"
    "password is typed. A small window asks for a password of at least 8\n"
    "characters twice; as soon as both entries match, the curtain takes the\n"
    "keyboard and pointer, covers every monitor, and comes down only for that\n"
    "password. While it is up, a mascot walks along the bottom of every curtain\n"
    "for each Claude session and Codex thread still working on this machine.\n"
    "\n"
    "Options:\n"
    "  -h, --help     print this help and exit\n"
    "  -V, --version  print the version and exit\n"
    "\n"
    "Environment:\n"
    "  CLAUDE_CONFIG_DIR  Claude's base directory (default ~/.claude)\n"
    "  CODEX_HOME         Codex's base directory (default ~/.codex)\n"
    "  XDG_DATA_HOME      holds Umbrafold/Characters/ with the optional sprite\n"
    "                     sheets Claude.png, Codex.png, Codex-left.png\n"
    "                     (default ~/.local/share)\n"
    "\n"
    "Exit status: 0 after the right password or when the setup window is\n"
    "closed; 1 when no display can be reached; 2 for a wrong argument;\n"
    "128+N when ended by signal N (SIGTERM or SIGINT, as at logout).\n";

constexpr const char* kAdvice =
    "run it inside a desktop session (tools/demo shows it on a virtual one)";

bool isSet(const char* value) { return value != nullptr && *value != '\0'; }

}  // namespace

CommandLine CommandLine::parse(const std::vector<std::string>& arguments) {
  CommandLine line;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "-h" || argument == "--help") {
      line.action = Action::help;
      return line;
    }
    if (argument == "-V" || argument == "--version") {
      line.action = Action::version;
    } else {
      line.action = Action::usage;
      line.offending = argument;
      return line;
    }
  }
  return line;
}

const char* helpText() { return kHelp; }

std::string versionText() { return std::string("umbrafold ") + UMBRAFOLD_VERSION + "\n"; }

std::string usageError(const std::string& offending) {
  return "umbrafold: unknown argument '" + offending + "'\n\n" + kHelp;
}

std::string displayProblem(const DisplayEnvironment& environment) {
  // A platform chosen by hand that is not a display server's (offscreen,
  // vnc, ...) needs no display.
  const char* platform = environment.variable("QT_QPA_PLATFORM");
  if (isSet(platform) && std::strncmp(platform, "xcb", 3) != 0 &&
      std::strncmp(platform, "wayland", 7) != 0) {
    return {};
  }
  const char* wayland = environment.variable("WAYLAND_DISPLAY");
  const char* x11 = environment.variable("DISPLAY");
  if (isSet(wayland) && environment.waylandReachable(wayland)) return {};
  if (isSet(x11) && environment.x11Reachable(x11)) return {};

  std::string cause;
  if (isSet(x11)) {
    cause = std::string("cannot connect to the X display \"") + x11 + "\"";
  } else if (isSet(wayland)) {
    cause = std::string("cannot connect to the Wayland display \"") + wayland + "\"";
  } else {
    cause = "no display: neither DISPLAY nor WAYLAND_DISPLAY is set";
  }
  return "umbrafold: " + cause + "; " + kAdvice + "\n";
}

bool waylandSocketReachable(const std::string& name) {
  std::string path = name;
  if (path.empty()) return false;
  if (path.front() != '/') {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (!isSet(runtime)) return false;
    path = std::string(runtime) + "/" + path;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return false;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool reached =
      ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
  ::close(fd);
  return reached;
}

}  // namespace umbrafold
