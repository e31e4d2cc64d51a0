#pragma once

// Real files, real processes and real locks that look like working Claude
// sessions and Codex threads, for tests, benchmarks and the fake-agents
// program. Everything here writes; the monitor under test never does.

#include <sqlite3.h>
#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "workingagent.h"

namespace umbrafold::fixtures {

// Milliseconds since the Unix epoch, now, as a whole number.
double nowMillis();

// Writes `content` to `file`, replacing it; creates missing parent
// directories. Returns false on failure.
bool writeFile(const std::filesystem::path& file, std::string_view content);

// A session file's JSON text. A whole `startedAt` is written as an integer.
std::string sessionJson(std::int64_t pid, std::string_view status,
                        const std::optional<std::string>& name, double startedAt);

// A canonical, random (version 4) UUID in lower or upper case.
std::string randomUuid(std::mt19937_64& random, bool upperCase = false);

// A forked child process that runs `setup` and then sleeps until this
// object is destroyed (SIGKILL, then reaped) or the parent dies. Only the
// forking thread may destroy it.
class HeldProcess {
 public:
  explicit HeldProcess(const std::function<bool()>& setup = [] { return true; });
  ~HeldProcess();
  HeldProcess(const HeldProcess&) = delete;
  HeldProcess& operator=(const HeldProcess&) = delete;

  pid_t pid() const { return pid_; }
  // True when the child is alive and its setup returned true.
  bool ready() const { return ready_; }
  // Kills the child now and waits for it; idempotent.
  void end();

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

// A child process holding a write lock over the whole of each file, as a
// Codex process does while it writes threads. Given a database, it also
// keeps a connection to it open, so a write-ahead-log database keeps its
// "-wal" and "-shm" files.
class LockHolder {
 public:
  explicit LockHolder(std::vector<std::filesystem::path> files,
                      const std::filesystem::path& database = {});
  bool holding() const { return process_.ready(); }
  pid_t pid() const { return process_.pid(); }

 private:
  HeldProcess process_;
};

// A Codex thread database with the two tables the monitor reads. Kept open
// for writing for the life of the object.
class ThreadDatabase {
 public:
  enum class Journal { rollback, writeAheadLog };
  explicit ThreadDatabase(const std::filesystem::path& file, bool withItems = true,
                          Journal journal = Journal::rollback);
  ~ThreadDatabase();
  ThreadDatabase(const ThreadDatabase&) = delete;
  ThreadDatabase& operator=(const ThreadDatabase&) = delete;

  void addTurn(std::string_view thread, std::string_view turn, std::int64_t ordinal,
               std::optional<std::string_view> status);
  void addItem(std::string_view thread, std::string_view turn, std::int64_t ordinal,
               std::optional<std::string_view> itemType);
  // Runs any SQL; returns false on error.
  bool exec(const std::string& sql);
  void close();

 private:
  sqlite3* db_ = nullptr;
};

// One working agent the world made, with what the monitor should report.
struct FakeAgent {
  WorkingAgent expected;
  std::string detail;  // the session name or item type behind the note
};

// A Claude base and a Codex base under `directory` with `claude` busy
// sessions (each with its own sleeping process) and `codex` threads whose
// latest turns are in progress in a write-ahead-log database, and whose lock
// files one child process holds while it keeps the database open. Names and item types vary so
// notes vary. Children are killed and the directory's content stays until the caller removes it.
class AgentWorld {
 public:
  AgentWorld(const std::filesystem::path& directory, int claude, int codex, std::uint64_t seed = 1);

  std::filesystem::path claudeBase() const { return directory_ / "claude"; }
  std::filesystem::path codexBase() const { return directory_ / "codex"; }
  // The agents a snapshot should list, sorted by id.
  const std::vector<FakeAgent>& agents() const { return agents_; }
  // True when every process started and every lock is held.
  bool ready() const { return ready_; }

 private:
  std::filesystem::path directory_;
  std::vector<FakeAgent> agents_;
  std::vector<std::unique_ptr<HeldProcess>> sessions_;
  std::optional<LockHolder> locks_;
  bool ready_ = true;
};

}  // namespace umbrafold::fixtures
