// The scans and the snapshot on real files, real processes and real locks.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <map>
#include <random>

#include "activitytesting.h"
#include "agentactivity.h"
#include "agentfixtures.h"

namespace umbrafold {
namespace {

namespace fs = std::filesystem;
using fixtures::HeldProcess;
using fixtures::LockHolder;
using fixtures::ThreadDatabase;
using testing::finishing;
using testing::TempDir;

std::map<std::string, std::string> notesById(const std::vector<WorkingAgent>& agents) {
  std::map<std::string, std::string> notes;
  for (const auto& agent : agents) notes[agent.id] = agent.note;
  return notes;
}

class ClaudeScanTest : public ::testing::Test {
 protected:
  std::vector<WorkingAgent> scan() {
    return finishing([this] { return AgentActivity::claudeAgents(dir.path()); });
  }
  void write(const std::string& fileName, const std::string& content) {
    ASSERT_TRUE(fixtures::writeFile(dir.path() / "sessions" / fileName, content));
  }
  std::string pidText() const { return std::to_string(process.pid()); }
  std::string busy(double at) const {
    return fixtures::sessionJson(process.pid(), "busy", "latest fixes", at);
  }

  TempDir dir;
  const double startedAt = fixtures::nowMillis();
  HeldProcess process;
};

TEST_F(ClaudeScanTest, ListsABusySessionOfALiveProcess) {
  write(pidText() + ".json", busy(startedAt));
  const auto agents = scan();
  ASSERT_EQ(agents.size(), 1u);
  EXPECT_EQ(agents[0], WorkingAgent("claude-" + pidText() + "-" +
                                        std::to_string(static_cast<long long>(startedAt)) + ".0",
                                    WorkingAgent::Kind::claude, "Testing"));
}

TEST_F(ClaudeScanTest, SkipsSessionsThatAreNotWorking) {
  const auto pid = process.pid();
  const std::string rows[] = {
      fixtures::sessionJson(pid, "idle", "x", startedAt),
      fixtures::sessionJson(pid, "Busy", "x", startedAt),
      fixtures::sessionJson(pid + 1, "busy", "x", startedAt),
      busy(startedAt - 10'000),  // the process started 10 s after the session
  };
  for (const auto& content : rows) {
    write(pidText() + ".json", content);
    EXPECT_TRUE(scan().empty()) << content;
  }
  write(pidText() + ".json", busy(startedAt));
  process.end();
  EXPECT_TRUE(scan().empty()) << "the process is gone";
}

TEST_F(ClaudeScanTest, FileNames) {
  const std::string id = "claude-" + pidText() + "-";
  const std::pair<std::string, bool> rows[] = {
      {"000" + pidText() + ".json", true}, {"+" + pidText() + ".json", true},
      {"-" + pidText() + ".json", false},  {pidText() + ".JSON", false},
      {pidText() + ".x.json", false},      {pidText() + ".json.tmp", false},
  };
  for (const auto& [name, listed] : rows) {
    fs::remove_all(dir.path() / "sessions");
    write(name, busy(startedAt));
    const auto agents = scan();
    ASSERT_EQ(agents.size(), listed ? 1u : 0u) << name;
    if (listed) {
      EXPECT_EQ(agents[0].id.rfind(id, 0), 0u) << agents[0].id;
    }
  }
  fs::remove_all(dir.path() / "sessions");
  write("0.json", fixtures::sessionJson(0, "busy", "x", startedAt));
  EXPECT_TRUE(scan().empty());
}

TEST_F(ClaudeScanTest, MissingDirectory) { EXPECT_TRUE(scan().empty()); }

class CodexScanTest : public ::testing::Test {
 protected:
  std::vector<WorkingAgent> scan() {
    return finishing([this] { return AgentActivity::codexAgents(dir.path()); });
  }
  fs::path lockFile(const std::string& thread) const {
    return dir.path() / "thread-writer-locks" / (thread + ".lock");
  }
  // A lock file for a new thread whose latest turn has `status`.
  std::string thread(std::optional<std::string_view> status = "inProgress") {
    const std::string id = fixtures::randomUuid(random);
    EXPECT_TRUE(fixtures::writeFile(lockFile(id), ""));
    database.addTurn(id, "old", 1, "inProgress");
    database.addTurn(id, "t", 2, status);
    return id;
  }
  void holdLocks(const std::vector<std::string>& threads) {
    std::vector<fs::path> files;
    for (const auto& id : threads) files.push_back(lockFile(id));
    writer.emplace(files);
    ASSERT_TRUE(writer->holding());
  }

  TempDir dir;
  std::mt19937_64 random{7};
  ThreadDatabase database{dir.path() / "thread_history_1.sqlite"};
  std::optional<LockHolder> writer;
};

TEST_F(CodexScanTest, NoteFollowsTheLatestItemOfTheLatestTurn) {
  const std::pair<std::optional<const char*>, const char*> rows[] = {
      {"commandExecution", "Using terminal"},
      {"fileChange", "Editing files"},
      {"reasoning", "Thinking…"},
      {"webSearch", "Searching the web"},
      {"imageView", "Checking an image"},
      {"mcpToolCall", "Using a tool"},
      {"agentMessage", "Writing…"},
      {"somethingNew", "Working…"},
      {std::nullopt, "Working…"},
  };
  std::map<std::string, std::string> expected;
  std::vector<std::string> threads;
  for (const auto& [type, note] : rows) {
    const std::string id = thread();
    database.addItem(id, "t", 5, "commandExecution");
    database.addItem(id, "t", 9, type);
    database.addItem(id, "old", 10, "fileChange");  // a newer item of an older turn
    expected[id] = note;
    threads.push_back(id);
  }
  const std::string noItems = thread();
  expected[noItems] = "Working…";
  threads.push_back(noItems);
  const std::string noTurnId = fixtures::randomUuid(random);
  ASSERT_TRUE(fixtures::writeFile(lockFile(noTurnId), ""));
  database.addTurn(noTurnId, "", 1, "inProgress");
  expected[noTurnId] = "Working…";
  threads.push_back(noTurnId);

  holdLocks(threads);
  EXPECT_EQ(notesById(scan()), expected);
}

TEST_F(CodexScanTest, ListsOnlyThreadsWithAWriterAndATurnInProgress) {
  const std::string working = thread();
  const std::string finished = thread("completed");
  const std::string noStatus = thread(std::nullopt);
  const std::string idle = thread();  // in progress, but nobody holds its lock
  const std::string noTurns = fixtures::randomUuid(random);
  ASSERT_TRUE(fixtures::writeFile(lockFile(noTurns), ""));
  holdLocks({working, finished, noStatus, noTurns});
  EXPECT_EQ(notesById(scan()), (std::map<std::string, std::string>{{working, "Working…"}}));
}

TEST_F(CodexScanTest, KeepsTheIdAsSpelledInTheFileName) {
  std::string upper = fixtures::randomUuid(random, /*upperCase=*/true);
  ASSERT_TRUE(fixtures::writeFile(lockFile(upper), ""));
  database.addTurn(upper, "t", 1, "inProgress");
  database.addItem(upper, "t", 1, "reasoning");
  const std::string lower = thread();  // its rows are stored in lower case
  std::string lowerAsUpper = lower;
  for (char& c : lowerAsUpper) c = static_cast<char>(std::toupper(c));
  fs::rename(lockFile(lower), lockFile(lowerAsUpper));
  holdLocks({upper, lowerAsUpper});
  EXPECT_EQ(scan(), (std::vector<WorkingAgent>{{upper, WorkingAgent::Kind::codex, "Thinking…"}}));
}

TEST_F(CodexScanTest, WithoutTheItemsTableEveryNoteIsWorking) {
  database.close();
  fs::remove(dir.path() / "thread_history_1.sqlite");
  ThreadDatabase turnsOnly(dir.path() / "thread_history_1.sqlite", /*withItems=*/false);
  const std::string id = fixtures::randomUuid(random);
  ASSERT_TRUE(fixtures::writeFile(lockFile(id), ""));
  turnsOnly.addTurn(id, "t", 1, "inProgress");
  holdLocks({id});
  EXPECT_EQ(notesById(scan()), (std::map<std::string, std::string>{{id, "Working…"}}));
}

TEST_F(CodexScanTest, EmptyOrMissingPieces) {
  EXPECT_TRUE(scan().empty()) << "no lock directory";
  fs::create_directories(dir.path() / "thread-writer-locks");
  EXPECT_TRUE(scan().empty()) << "no lock files";
  const std::string id = thread();
  holdLocks({id});
  database.close();
  fs::remove(dir.path() / "thread_history_1.sqlite");
  EXPECT_TRUE(scan().empty()) << "no database";
  EXPECT_FALSE(fs::exists(dir.path() / "thread_history_1.sqlite"));
}

class SnapshotEnvironmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"HOME", "CLAUDE_CONFIG_DIR", "CODEX_HOME"}) {
      if (const char* value = std::getenv(name)) saved[name] = value;
    }
  }
  void TearDown() override {
    for (const char* name : {"HOME", "CLAUDE_CONFIG_DIR", "CODEX_HOME"}) {
      const auto it = saved.find(name);
      if (it == saved.end()) {
        ::unsetenv(name);
      } else {
        ::setenv(name, it->second.c_str(), 1);
      }
    }
  }
  static std::vector<WorkingAgent> expected(const fixtures::AgentWorld& world) {
    std::vector<WorkingAgent> agents;
    for (const auto& agent : world.agents()) agents.push_back(agent.expected);
    return agents;
  }

  std::map<std::string, std::string> saved;
  TempDir dir;
};

TEST_F(SnapshotEnvironmentTest, VariablesChooseTheBases) {
  const fixtures::AgentWorld world(dir.path() / "world", 4, 12);
  ASSERT_TRUE(world.ready());
  ::setenv("CLAUDE_CONFIG_DIR", world.claudeBase().c_str(), 1);
  ::setenv("CODEX_HOME", world.codexBase().c_str(), 1);
  EXPECT_EQ(finishing(AgentActivity::current).agents, expected(world));

  ::setenv("CODEX_HOME", (dir.path() / "missing").c_str(), 1);
  const auto claudeOnly = finishing(AgentActivity::current).agents;
  EXPECT_EQ(claudeOnly.size(), 4u);
  ::setenv("CLAUDE_CONFIG_DIR", (dir.path() / "missing").c_str(), 1);
  EXPECT_TRUE(finishing(AgentActivity::current).agents.empty());
}

TEST_F(SnapshotEnvironmentTest, DefaultsToTheHomeDirectory) {
  const fixtures::AgentWorld world(dir.path() / "world", 2, 3);
  ASSERT_TRUE(world.ready());
  fs::create_directories(dir.path() / "home");
  fs::create_directory_symlink(world.claudeBase(), dir.path() / "home" / ".claude");
  fs::create_directory_symlink(world.codexBase(), dir.path() / "home" / ".codex");
  ::unsetenv("CLAUDE_CONFIG_DIR");
  ::unsetenv("CODEX_HOME");
  ::setenv("HOME", (dir.path() / "home").c_str(), 1);
  EXPECT_EQ(finishing(AgentActivity::current).agents, expected(world));
  ::setenv("HOME", (dir.path() / "nobody").c_str(), 1);
  EXPECT_TRUE(finishing(AgentActivity::current).agents.empty());
}

}  // namespace
}  // namespace umbrafold
