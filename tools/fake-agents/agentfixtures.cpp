#include "agentfixtures.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

namespace umbrafold::fixtures {

namespace {

struct NamedNote {
  std::optional<std::string> name;
  const char* note;
};

// Session names and the notes they must give.
const std::array<NamedNote, 10> kSessionNames{{
    {"latest fixes", "Testing"},
    {"Video test", "Video work"},
    {"debug render", "Video work"},
    {"DESIGN REVIEW", "Design work"},
    {"analysis of logs", "Working\u2026"},
    {"Research: cache layout", "Analysis"},
    {"fix the login bug", "Debugging"},
    {"Layout grid", "Design work"},
    {std::nullopt, "Working\u2026"},
    {"Ünïcode TESTING", "Testing"},
}};

// Latest item types and the notes they must give; null means no item row.
const std::array<std::pair<const char*, const char*>, 9> kItemTypes{{
    {"commandExecution", "Using terminal"},
    {"fileChange", "Editing files"},
    {"reasoning", "Thinking\u2026"},
    {"webSearch", "Searching the web"},
    {"imageView", "Checking an image"},
    {"mcpToolCall", "Using a tool"},
    {"agentMessage", "Writing\u2026"},
    {"userMessage", "Working\u2026"},
    {nullptr, "Working\u2026"},
}};

void bindOptional(sqlite3_stmt* statement, int index, std::optional<std::string_view> text) {
  if (text) {
    sqlite3_bind_text(statement, index, text->data(), static_cast<int>(text->size()),
                      SQLITE_TRANSIENT);
  } else {
    sqlite3_bind_null(statement, index);
  }
}

}  // namespace

double nowMillis() {
  using namespace std::chrono;
  return static_cast<double>(
      duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

bool writeFile(const std::filesystem::path& file, std::string_view content) {
  std::error_code error;
  std::filesystem::create_directories(file.parent_path(), error);
  std::FILE* out = std::fopen(file.c_str(), "wb");
  if (out == nullptr) return false;
  const bool written = std::fwrite(content.data(), 1, content.size(), out) == content.size();
  return std::fclose(out) == 0 && written;
}

std::string sessionJson(std::int64_t pid, std::string_view status,
                        const std::optional<std::string>& name, double startedAt) {
  nlohmann::json session = {{"pid", pid}, {"status", status}, {"cwd", "/tmp"}};
  if (name) session["name"] = *name;
  if (startedAt == std::floor(startedAt) && std::fabs(startedAt) < 0x1.0p62) {
    session["startedAt"] = static_cast<std::int64_t>(startedAt);
  } else {
    session["startedAt"] = startedAt;
  }
  return session.dump();
}

std::string randomUuid(std::mt19937_64& random, bool upperCase) {
  const std::uint64_t high = (random() & ~0xF000ULL) | 0x4000ULL;
  const std::uint64_t low = (random() & ~(0x3ULL << 62)) | (0x2ULL << 62);
  std::array<char, 40> text{};
  std::snprintf(
      text.data(), text.size(),
      upperCase ? "%08llX-%04llX-%04llX-%04llX-%012llX" : "%08llx-%04llx-%04llx-%04llx-%012llx",
      static_cast<unsigned long long>(high >> 32),
      static_cast<unsigned long long>((high >> 16) & 0xFFFF),
      static_cast<unsigned long long>(high & 0xFFFF), static_cast<unsigned long long>(low >> 48),
      static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
  return text.data();
}

HeldProcess::HeldProcess(const std::function<bool()>& setup) {
  std::array<int, 2> pipe{};
  if (::pipe2(pipe.data(), O_CLOEXEC) != 0) return;
  const pid_t parent = ::getpid();
  pid_ = ::fork();
  if (pid_ == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(0);
    ::close(pipe[0]);
    const char ok = setup() ? 1 : 0;
    if (::write(pipe[1], &ok, 1) != 1) ::_exit(1);
    ::close(pipe[1]);
    for (;;) ::pause();
  }
  ::close(pipe[1]);
  if (pid_ > 0) {
    char ok = 0;
    ssize_t n = 0;
    do {
      n = ::read(pipe[0], &ok, 1);
    } while (n < 0 && errno == EINTR);
    ready_ = n == 1 && ok == 1;
  }
  ::close(pipe[0]);
}

HeldProcess::~HeldProcess() { end(); }

void HeldProcess::end() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  ready_ = false;
}

LockHolder::LockHolder(std::vector<std::filesystem::path> files,
                       const std::filesystem::path& database)
    : process_([&files, &database] {
        if (!database.empty()) {
          // Left open for the life of the process.
          sqlite3* db = nullptr;
          if (sqlite3_open(database.c_str(), &db) != SQLITE_OK ||
              sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr) !=
                  SQLITE_OK) {
            return false;
          }
        }
        for (const auto& file : files) {
          const int fd = ::open(file.c_str(), O_RDWR | O_CREAT, 0644);
          if (fd < 0) return false;
          struct flock lock {};
          lock.l_type = F_WRLCK;
          lock.l_whence = SEEK_SET;
          if (::fcntl(fd, F_SETLK, &lock) != 0) return false;
        }
        return true;
      }) {}

ThreadDatabase::ThreadDatabase(const std::filesystem::path& file, bool withItems, Journal journal) {
  std::error_code error;
  std::filesystem::create_directories(file.parent_path(), error);
  if (sqlite3_open(file.c_str(), &db_) != SQLITE_OK) return;
  // Fixtures need no durability; skipping fsync keeps them fast.
  exec("PRAGMA synchronous=OFF");
  if (journal == Journal::writeAheadLog) exec("PRAGMA journal_mode=WAL");
  exec(
      "CREATE TABLE IF NOT EXISTS thread_turns (thread_id TEXT NOT NULL, turn_id TEXT, "
      "status TEXT, rollout_ordinal INTEGER NOT NULL);"
      "CREATE INDEX IF NOT EXISTS thread_turns_by_thread ON thread_turns "
      "(thread_id, rollout_ordinal)");
  if (withItems) {
    exec(
        "CREATE TABLE IF NOT EXISTS thread_items (thread_id TEXT NOT NULL, turn_id TEXT, "
        "item_type TEXT, rollout_ordinal INTEGER NOT NULL);"
        "CREATE INDEX IF NOT EXISTS thread_items_by_turn ON thread_items "
        "(thread_id, turn_id, rollout_ordinal)");
  }
}

ThreadDatabase::~ThreadDatabase() { close(); }

void ThreadDatabase::close() {
  sqlite3_close(db_);
  db_ = nullptr;
}

bool ThreadDatabase::exec(const std::string& sql) {
  return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

void ThreadDatabase::addTurn(std::string_view thread, std::string_view turn, std::int64_t ordinal,
                             std::optional<std::string_view> status) {
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db_,
                     "INSERT INTO thread_turns (thread_id, turn_id, status, rollout_ordinal) "
                     "VALUES (?, ?, ?, ?)",
                     -1, &insert, nullptr);
  bindOptional(insert, 1, thread);
  bindOptional(insert, 2, turn.empty() ? std::nullopt : std::optional(turn));
  bindOptional(insert, 3, status);
  sqlite3_bind_int64(insert, 4, ordinal);
  sqlite3_step(insert);
  sqlite3_finalize(insert);
}

void ThreadDatabase::addItem(std::string_view thread, std::string_view turn, std::int64_t ordinal,
                             std::optional<std::string_view> itemType) {
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db_,
                     "INSERT INTO thread_items (thread_id, turn_id, item_type, rollout_ordinal) "
                     "VALUES (?, ?, ?, ?)",
                     -1, &insert, nullptr);
  bindOptional(insert, 1, thread);
  bindOptional(insert, 2, turn);
  bindOptional(insert, 3, itemType);
  sqlite3_bind_int64(insert, 4, ordinal);
  sqlite3_step(insert);
  sqlite3_finalize(insert);
}

AgentWorld::AgentWorld(const std::filesystem::path& directory, int claude, int codex,
                       std::uint64_t seed)
    : directory_(directory) {
  std::mt19937_64 random(seed);
  std::error_code error;
  std::filesystem::create_directories(claudeBase() / "sessions", error);
  std::filesystem::create_directories(codexBase() / "thread-writer-locks", error);

  for (int i = 0; i < claude; ++i) {
    const double startedAt = nowMillis() - static_cast<double>(i % 7);
    auto process = std::make_unique<HeldProcess>();
    ready_ = ready_ && process->ready();
    const auto& named = kSessionNames[static_cast<std::size_t>(i) % kSessionNames.size()];
    const pid_t pid = process->pid();
    ready_ = ready_ && writeFile(claudeBase() / "sessions" / (std::to_string(pid) + ".json"),
                                 sessionJson(pid, "busy", named.name, startedAt));
    agents_.push_back({WorkingAgent("claude-" + std::to_string(pid) + "-" +
                                        std::to_string(static_cast<std::int64_t>(startedAt)) + ".0",
                                    WorkingAgent::Kind::claude, named.note),
                       named.name.value_or("")});
    sessions_.push_back(std::move(process));
  }

  const std::filesystem::path databaseFile = codexBase() / "thread_history_1.sqlite";
  ThreadDatabase database(databaseFile, true, ThreadDatabase::Journal::writeAheadLog);
  database.exec("BEGIN");
  std::vector<std::filesystem::path> lockFiles;
  for (int i = 0; i < codex; ++i) {
    const std::string thread = randomUuid(random, i % 5 == 4);
    const auto& [itemType, note] = kItemTypes[static_cast<std::size_t>(i) % kItemTypes.size()];
    // An older, finished turn first; then the turn in progress, whose items
    // end with the one that gives the note.
    database.addTurn(thread, "turn-1", 1, "completed");
    database.addItem(thread, "turn-1", 1, "agentMessage");
    database.addTurn(thread, "turn-2", 2, "inProgress");
    if (itemType != nullptr) {
      database.addItem(thread, "turn-2", 3, "commandExecution");
      database.addItem(thread, "turn-2", 4, itemType);
    }
    lockFiles.push_back(codexBase() / "thread-writer-locks" / (thread + ".lock"));
    ready_ = ready_ && writeFile(lockFiles.back(), "");
    agents_.push_back({WorkingAgent(thread, WorkingAgent::Kind::codex, note),
                       itemType != nullptr ? itemType : ""});
  }
  ready_ = ready_ && database.exec("COMMIT");
  database.close();
  if (codex > 0) {
    locks_.emplace(std::move(lockFiles), databaseFile);
    ready_ = ready_ && locks_->holding();
  }
  std::stable_sort(agents_.begin(), agents_.end(), [](const FakeAgent& a, const FakeAgent& b) {
    return a.expected.id < b.expected.id;
  });
}

}  // namespace umbrafold::fixtures
