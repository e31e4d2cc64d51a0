// Hostile and broken input: every scan must finish promptly, keep listing
// the good entries beside the bad ones, and create, change or lock nothing.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <random>
#include <sstream>

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
using testing::treeState;

// Number of record locks this process holds anywhere.
int locksHeldBySelf() {
  std::ifstream locks("/proc/locks");
  int held = 0;
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string number, type, mode, access, pid;
    fields >> number >> type >> mode >> access >> pid;
    if (pid == std::to_string(::getpid())) ++held;
  }
  return held;
}

int openDescriptors() {
  return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/fd"), {}));
}

class BadInputTest : public ::testing::Test {
 protected:
  fs::path sessions() const { return dir.path() / "claude" / "sessions"; }
  fs::path codexBase() const { return dir.path() / "codex"; }
  fs::path lockFile(const std::string& thread) const {
    return codexBase() / "thread-writer-locks" / (thread + ".lock");
  }
  std::string session(const HeldProcess& process) const {
    return fixtures::sessionJson(process.pid(), "busy", "debug", startedAt);
  }
  // A thread in progress in the database, whose lock file is not made.
  std::string threadInProgress() {
    const std::string id = fixtures::randomUuid(random);
    database.addTurn(id, "t", 1, "inProgress");
    database.addItem(id, "t", 1, "reasoning");
    return id;
  }

  // Scans both bases and checks that the scan left every file as it was
  // and holds no lock or descriptor afterwards.
  std::pair<std::vector<WorkingAgent>, std::vector<WorkingAgent>> scanChangingNothing() {
    const auto before = treeState(dir.path());
    const int descriptors = openDescriptors();
    const int locks = locksHeldBySelf();
    auto claude = finishing([this] { return AgentActivity::claudeAgents(dir.path() / "claude"); });
    auto codex = finishing([this] { return AgentActivity::codexAgents(codexBase()); });
    EXPECT_EQ(treeState(dir.path()), before);
    EXPECT_EQ(locksHeldBySelf(), locks);
    EXPECT_EQ(openDescriptors(), descriptors);
    return {claude, codex};
  }

  TempDir dir;
  std::mt19937_64 random{11};
  const double startedAt = fixtures::nowMillis();
  HeldProcess good;
  HeldProcess tooBig;
  HeldProcess unreadable;
  ThreadDatabase database{codexBase() / "thread_history_1.sqlite"};
};

TEST_F(BadInputTest, SkipsSpecialHugeAndMalformedFilesAndListsTheRest) {
  ASSERT_TRUE(
      fixtures::writeFile(sessions() / (std::to_string(good.pid()) + ".json"), session(good)));
  ASSERT_EQ(::mkfifo((sessions() / "1001.json").c_str(), 0644), 0);
  fs::create_symlink("/dev/zero", sessions() / "1002.json");
  fs::create_directory(sessions() / "1003.json");
  ASSERT_TRUE(
      fixtures::writeFile(sessions() / "1004.json", "{\"pid\":1004,\"status\":\"bu\xffsy\"}"));
  ASSERT_TRUE(fixtures::writeFile(sessions() / "1005.json", "[1004, \"busy\"]"));
  ASSERT_TRUE(fixtures::writeFile(sessions() / "1006.json", std::string(4096, '\0')));
  // A valid session padded past the size limit: skipped, not read whole.
  ASSERT_TRUE(fixtures::writeFile(sessions() / (std::to_string(tooBig.pid()) + ".json"),
                                  session(tooBig) + std::string(2 << 20, ' ')));
  // A sparse file of 4 GiB.
  const int sparse = ::open((sessions() / "1007.json").c_str(), O_CREAT | O_WRONLY, 0644);
  ASSERT_EQ(::ftruncate(sparse, off_t{1} << 32), 0);
  ::close(sparse);
  const fs::path locked = sessions() / (std::to_string(unreadable.pid()) + ".json");
  ASSERT_TRUE(fixtures::writeFile(locked, session(unreadable)));
  fs::permissions(locked, fs::perms::none);
  const bool permissionsApply = ::geteuid() != 0;

  const std::string goodThread = threadInProgress();
  ASSERT_TRUE(fixtures::writeFile(lockFile(goodThread), ""));
  const std::string fifoThread = threadInProgress();
  ASSERT_EQ(::mkfifo(lockFile(fifoThread).c_str(), 0644), 0);
  const std::string deviceThread = threadInProgress();
  fs::create_symlink("/dev/zero", lockFile(deviceThread));
  const std::string directoryThread = threadInProgress();
  fs::create_directory(lockFile(directoryThread));
  const LockHolder writer({lockFile(goodThread)});
  ASSERT_TRUE(writer.holding());

  const auto [claude, codex] = scanChangingNothing();
  std::vector<std::string> pids;
  for (const auto& agent : claude) pids.push_back(agent.id.substr(0, agent.id.rfind('-')));
  std::sort(pids.begin(), pids.end());
  std::vector<std::string> expected{"claude-" + std::to_string(good.pid())};
  if (!permissionsApply) expected.push_back("claude-" + std::to_string(unreadable.pid()));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(pids, expected);
  EXPECT_EQ(codex,
            (std::vector<WorkingAgent>{{goodThread, WorkingAgent::Kind::codex, "Thinking…"}}));
}

TEST_F(BadInputTest, BrokenOrBusyDatabases) {
  ASSERT_TRUE(
      fixtures::writeFile(sessions() / (std::to_string(good.pid()) + ".json"), session(good)));
  const std::string thread = threadInProgress();
  ASSERT_TRUE(fixtures::writeFile(lockFile(thread), ""));
  const LockHolder writer({lockFile(thread)});
  ASSERT_TRUE(writer.holding());
  database.close();
  const fs::path file = codexBase() / "thread_history_1.sqlite";

  {  // Another process is writing: every query gives up after the timeout.
    const HeldProcess exclusive([&file] {
      sqlite3* db = nullptr;
      return sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
             sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK;
    });
    ASSERT_TRUE(exclusive.ready());
    const auto [claude, codex] = scanChangingNothing();
    EXPECT_EQ(claude.size(), 1u);
    EXPECT_TRUE(codex.empty());
  }
  EXPECT_EQ(scanChangingNothing().second.size(), 1u) << "readable again once the writer is gone";

  std::string noise(64 << 10, '\0');
  std::mt19937 bytes(3);
  for (char& c : noise) c = static_cast<char>(bytes());
  ASSERT_TRUE(fixtures::writeFile(file, noise));
  EXPECT_TRUE(scanChangingNothing().second.empty());

  ASSERT_TRUE(fixtures::writeFile(file, "SQLite format 3"));
  EXPECT_TRUE(scanChangingNothing().second.empty());

  fs::remove(file);
  ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
  EXPECT_TRUE(scanChangingNothing().second.empty());
}

TEST_F(BadInputTest, WriteAheadLogDatabases) {
  database.close();
  const fs::path file = codexBase() / "thread_history_1.sqlite";
  fs::remove(file);
  const std::string thread = fixtures::randomUuid(random);
  {
    ThreadDatabase wal(file, true, ThreadDatabase::Journal::writeAheadLog);
    wal.addTurn(thread, "t", 1, "inProgress");
    wal.addItem(thread, "t", 1, "webSearch");
  }
  ASSERT_TRUE(fixtures::writeFile(lockFile(thread), ""));
  const LockHolder writer({lockFile(thread)});
  ASSERT_TRUE(writer.holding());

  // Closed cleanly, the database has no log; reading it would create one.
  ASSERT_FALSE(fs::exists(file.string() + "-wal"));
  EXPECT_TRUE(scanChangingNothing().second.empty());

  // While another process has it open, its log and shared-memory files exist.
  const HeldProcess codex([&file] {
    sqlite3* db = nullptr;
    return sqlite3_open(file.c_str(), &db) == SQLITE_OK &&
           sqlite3_exec(db, "SELECT count(*) FROM thread_turns", nullptr, nullptr, nullptr) ==
               SQLITE_OK;
  });
  ASSERT_TRUE(codex.ready());
  ASSERT_TRUE(fs::exists(file.string() + "-wal"));
  EXPECT_EQ(scanChangingNothing().second,
            (std::vector<WorkingAgent>{{thread, WorkingAgent::Kind::codex, "Searching the web"}}));
}

}  // namespace
}  // namespace umbrafold
