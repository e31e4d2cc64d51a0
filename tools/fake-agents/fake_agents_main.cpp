// fake-agents: makes working Claude sessions and Codex threads under a
// directory, for trying umbrafold-agents and the curtain's mascots without
// the real tools. Stays running until SIGINT or SIGTERM, then kills its
// children and removes the directory.

#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <string_view>

#include "agentfixtures.h"
#include "agentlisting.h"

namespace {

constexpr const char* kUsage =
    "Usage: fake-agents DIR [--claude N] [--codex M]\n"
    "\n"
    "Makes N busy Claude sessions (default 3) and M Codex threads in progress\n"
    "(default 3) under DIR, which must not exist or be empty, prints the\n"
    "environment for umbrafold-agents and umbrafold, and keeps them working\n"
    "until interrupted; then removes DIR. What a snapshot should list is\n"
    "written to DIR/expected-agents.tsv.\n";

std::string shellQuoted(const std::string& text) {
  std::string quoted = "'";
  for (const char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

bool parseCount(const char* text, int& count) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 0 || value > 100000) return false;
  count = static_cast<int>(value);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path directory;
  int claude = 3;
  int codex = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if ((arg == "--claude" || arg == "--codex") && i + 1 < argc &&
        parseCount(argv[i + 1], arg == "--claude" ? claude : codex)) {
      ++i;
    } else if (!arg.starts_with("-") && directory.empty()) {
      directory = arg;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }
  if (directory.empty()) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::error_code error;
  directory = std::filesystem::absolute(directory, error);
  if (std::filesystem::exists(directory, error) && !std::filesystem::is_empty(directory, error)) {
    std::fprintf(stderr, "fake-agents: %s exists and is not empty\n", directory.c_str());
    return 2;
  }
  if (!std::filesystem::create_directories(directory, error) && error) {
    std::fprintf(stderr, "fake-agents: cannot create %s\n", directory.c_str());
    return 1;
  }

  // Block the stop signals before any child exists, so an interrupt during
  // setup still ends in the cleanup below.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGHUP);
  sigprocmask(SIG_BLOCK, &stop, nullptr);

  int status = 0;
  {
    umbrafold::fixtures::AgentWorld world(directory, claude, codex, std::random_device()());
    if (!world.ready()) {
      std::fputs("fake-agents: could not set up every agent\n", stderr);
      status = 1;
    } else {
      umbrafold::AgentActivity expected;
      for (const auto& agent : world.agents()) expected.agents.push_back(agent.expected);
      umbrafold::fixtures::writeFile(directory / "expected-agents.tsv",
                                     umbrafold::agentLines(expected));
      std::printf("export CLAUDE_CONFIG_DIR=%s\nexport CODEX_HOME=%s\n",
                  shellQuoted(world.claudeBase().string()).c_str(),
                  shellQuoted(world.codexBase().string()).c_str());
      std::fflush(stdout);
      int signal = 0;
      sigwait(&stop, &signal);
    }
  }
  std::filesystem::remove_all(directory, error);
  return status;
}
