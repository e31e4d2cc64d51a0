// umbrafold-agents: prints the AI coding agents working on this machine, as
// the curtain's mascots would show them.

#include <signal.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>

#include "agentactivity.h"
#include "agentlisting.h"

namespace {

constexpr const char* kUsage =
    "Usage: umbrafold-agents [--json] [--watch]\n"
    "\n"
    "Prints the AI coding agents working on this machine right now: busy Claude\n"
    "sessions and Codex threads with a live writer and a turn in progress.\n"
    "One line per agent, \"id<TAB>kind<TAB>note\", sorted by id; nothing when no\n"
    "agent is working. Only reads the agents' files; never changes them.\n"
    "\n"
    "  --json      print a JSON array of objects with the keys id, kind and note\n"
    "  --watch     look again every 2 seconds and print each snapshot that\n"
    "              differs from the previous one (the first always), until\n"
    "              interrupted; plain snapshots end with an empty line, JSON\n"
    "              ones are one line\n"
    "  -h, --help  print this help and exit\n"
    "\n"
    "Environment:\n"
    "  CLAUDE_CONFIG_DIR  Claude's base directory (default ~/.claude); sessions\n"
    "                     are read from its \"sessions\" directory\n"
    "  CODEX_HOME         Codex's base directory (default ~/.codex); threads are\n"
    "                     found from \"thread-writer-locks\" and\n"
    "                     \"thread_history_1.sqlite\" in it\n";

std::string render(const umbrafold::AgentActivity& activity, bool json, bool watch) {
  if (json) return umbrafold::agentJson(activity);
  std::string text = umbrafold::agentLines(activity);
  if (watch) text += '\n';
  return text;
}

bool print(const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
         std::fflush(stdout) == 0;
}

// Prints a snapshot every 2 seconds when it changed, until SIGINT or
// SIGTERM arrives; returns the exit status.
int watch(bool json) {
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigprocmask(SIG_BLOCK, &stop, nullptr);
  std::optional<umbrafold::AgentActivity> previous;
  auto next = std::chrono::steady_clock::now();
  for (;;) {
    auto activity = umbrafold::AgentActivity::current();
    if (!previous || activity != *previous) {
      if (!print(render(activity, json, true))) return 1;
      previous = std::move(activity);
    }
    next += std::chrono::seconds(2);
    for (;;) {
      const auto left = next - std::chrono::steady_clock::now();
      if (left <= std::chrono::nanoseconds::zero()) break;
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      const timespec wait{static_cast<time_t>(ns / 1'000'000'000),
                          static_cast<long>(ns % 1'000'000'000)};
      const int signal = sigtimedwait(&stop, nullptr, &wait);
      if (signal == SIGINT || signal == SIGTERM) return 0;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  bool json = false;
  bool watching = false;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--json") {
      json = true;
    } else if (arg == "--watch") {
      watching = true;
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "umbrafold-agents: unknown option '%s'\n\n%s", argv[i], kUsage);
      return 2;
    }
  }
  ::signal(SIGPIPE, SIG_IGN);
  if (watching) return watch(json);
  return print(render(umbrafold::AgentActivity::current(), json, false)) ? 0 : 1;
}
