// umbrafold-agents and fake-agents as a user runs them.

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "activitytesting.h"
#include "agentfixtures.h"

extern char** environ;

namespace umbrafold {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;

// A program running with its standard output on a pipe.
class Program {
 public:
  Program(std::vector<std::string> args, const std::vector<std::string>& environment = {}) {
    std::vector<std::string> env(environment);
    for (char** var = environ; *var != nullptr; ++var) env.emplace_back(*var);
    std::vector<char*> argv;
    for (auto& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& var : env) envp.push_back(var.data());
    envp.push_back(nullptr);
    int pipe[2];
    EXPECT_EQ(::pipe(pipe), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipe[1], 1);
    posix_spawn_file_actions_addclose(&actions, pipe[0]);
    EXPECT_EQ(::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipe[1]);
    out_ = ::fdopen(pipe[0], "r");
  }
  ~Program() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    std::fclose(out_);
  }

  // The next line of output without its newline; nullopt at the end.
  std::optional<std::string> line() {
    char* text = nullptr;
    std::size_t size = 0;
    const ssize_t n = ::getline(&text, &size, out_);
    std::optional<std::string> result;
    if (n >= 0)
      result =
          std::string(text, static_cast<std::size_t>(n > 0 && text[n - 1] == '\n' ? n - 1 : n));
    std::free(text);
    return result;
  }
  std::string rest() {
    std::string all;
    while (auto next = line()) all += *next + "\n";
    return all;
  }
  void signal(int number) { ::kill(pid_, number); }
  // The exit status, or -1 when the program did not exit normally.
  int wait() {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  std::FILE* out_ = nullptr;
};

class AgentsProgramTest : public ::testing::Test {
 protected:
  AgentsProgramTest() : world(dir.path() / "world", 3, 6) {}
  std::vector<std::string> environment() const {
    return {"CLAUDE_CONFIG_DIR=" + world.claudeBase().string(),
            "CODEX_HOME=" + world.codexBase().string()};
  }
  std::string expectedLines() const {
    std::string lines;
    for (const auto& agent : world.agents()) {
      lines += agent.expected.id +
               (agent.expected.kind == WorkingAgent::Kind::claude ? "\tclaude\t" : "\tcodex\t") +
               agent.expected.note + "\n";
    }
    return lines;
  }

  TempDir dir;
  fixtures::AgentWorld world;
};

TEST_F(AgentsProgramTest, PrintsOneLinePerAgent) {
  ASSERT_TRUE(world.ready());
  Program program({UMBRAFOLD_AGENTS_PROGRAM}, environment());
  EXPECT_EQ(program.rest(), expectedLines());
  EXPECT_EQ(program.wait(), 0);

  Program none({UMBRAFOLD_AGENTS_PROGRAM},
               {"CLAUDE_CONFIG_DIR=/nonexistent", "CODEX_HOME=/nonexistent"});
  EXPECT_EQ(none.rest(), "");
  EXPECT_EQ(none.wait(), 0);
}

TEST_F(AgentsProgramTest, PrintsJson) {
  Program program({UMBRAFOLD_AGENTS_PROGRAM, "--json"}, environment());
  const auto json = nlohmann::json::parse(program.rest());
  EXPECT_EQ(program.wait(), 0);
  ASSERT_EQ(json.size(), world.agents().size());
  for (std::size_t i = 0; i < json.size(); ++i) {
    const auto& agent = world.agents()[i].expected;
    EXPECT_EQ(json[i], (nlohmann::json{
                           {"id", agent.id},
                           {"kind", agent.kind == WorkingAgent::Kind::claude ? "claude" : "codex"},
                           {"note", agent.note}}));
  }
}

TEST_F(AgentsProgramTest, WatchesUntilInterrupted) {
  for (const int signal : {SIGINT, SIGTERM}) {
    Program program({UMBRAFOLD_AGENTS_PROGRAM, "--watch"}, environment());
    std::string snapshot;
    for (auto next = program.line(); next && !next->empty(); next = program.line()) {
      snapshot += *next + "\n";
    }
    EXPECT_EQ(snapshot, expectedLines());
    program.signal(signal);
    EXPECT_EQ(program.wait(), 0);
  }
}

TEST_F(AgentsProgramTest, HelpAndUsage) {
  Program help({UMBRAFOLD_AGENTS_PROGRAM, "--help"});
  const std::string text = help.rest();
  EXPECT_EQ(help.wait(), 0);
  EXPECT_NE(text.find("CLAUDE_CONFIG_DIR"), std::string::npos);
  EXPECT_NE(text.find("CODEX_HOME"), std::string::npos);
  Program wrong({UMBRAFOLD_AGENTS_PROGRAM, "--bogus"});
  EXPECT_EQ(wrong.rest(), "");
  EXPECT_EQ(wrong.wait(), 2);
}

TEST(FakeAgentsTest, UmbrafoldAgentsListsExactlyTheFakeAgents) {
  TempDir dir;
  const fs::path world = dir.path() / "fake";
  Program fake({FAKE_AGENTS_PROGRAM, world.string(), "--claude", "5", "--codex", "7"});
  std::vector<std::string> environment;
  for (int i = 0; i < 2; ++i) {
    const auto line = fake.line();
    ASSERT_TRUE(line);
    // export NAME='value'
    const auto equals = line->find('=');
    ASSERT_NE(equals, std::string::npos) << *line;
    environment.push_back(line->substr(7, equals - 7) + "=" +
                          line->substr(equals + 2, line->size() - equals - 3));
  }
  std::ifstream expectedFile(world / "expected-agents.tsv");
  std::stringstream buffer;
  buffer << expectedFile.rdbuf();
  const std::string expected = buffer.str();
  EXPECT_EQ(std::count(expected.begin(), expected.end(), '\n'), 12);

  Program agents({UMBRAFOLD_AGENTS_PROGRAM}, environment);
  EXPECT_EQ(agents.rest(), expected);
  EXPECT_EQ(agents.wait(), 0);

  fake.signal(SIGTERM);
  EXPECT_EQ(fake.wait(), 0);
  EXPECT_FALSE(fs::exists(world));
}

}  // namespace
}  // namespace umbrafold
