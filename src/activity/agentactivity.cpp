#include "agentactivity.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "claudesession.h"
#include "codexthread.h"
#include "processstart.h"
#include "regularfile.h"
#include "snapshot.h"

namespace umbrafold {

namespace {

// A session file is a few hundred bytes; anything larger than this is not
// one, and is skipped instead of being read whole into memory.
constexpr std::size_t kMaxSessionFileSize = std::size_t{1} << 20;

constexpr int kBusyTimeoutMillis = 150;

constexpr const char* kTurnQuery =
    "SELECT status, turn_id FROM thread_turns WHERE thread_id = ? ORDER BY rollout_ordinal DESC "
    "LIMIT 1";
constexpr const char* kItemQuery =
    "SELECT item_type FROM thread_items WHERE thread_id=? AND turn_id=? ORDER BY rollout_ordinal "
    "DESC LIMIT 1";

// True when another process holds a write lock somewhere in the lock file.
// Takes no lock itself.
bool hasLiveWriter(const DirectoryListing& listing, const DirectoryListing::Entry& entry) {
  const int fd = listing.openRegularFile(entry);
  if (fd < 0) return false;
  struct flock probe {};
  probe.l_type = F_RDLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = 0;
  probe.l_len = 0;
  probe.l_pid = 0;
  const int result = ::fcntl(fd, F_GETLK, &probe);
  ::close(fd);
  return result == 0 && probe.l_type == F_WRLCK;
}

std::optional<std::filesystem::path> homeDirectory() {
  const char* home = std::getenv("HOME");
  if (home != nullptr && *home != '\0') return std::filesystem::path(home);
  long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
      found == nullptr || found->pw_dir == nullptr) {
    return std::nullopt;
  }
  return std::filesystem::path(found->pw_dir);
}

// $variable when it is set (even to an empty or relative path), else the
// home directory joined with `fallback`, else nothing.
std::optional<std::filesystem::path> baseDirectory(const char* variable, const char* fallback) {
  if (const char* value = std::getenv(variable)) return std::filesystem::path(value);
  if (auto home = homeDirectory()) return *home / fallback;
  return std::nullopt;
}

}  // namespace

AgentActivity combineScans(std::vector<WorkingAgent> claude, std::vector<WorkingAgent> codex) {
  std::vector<WorkingAgent> agents = std::move(claude);
  agents.insert(agents.end(), std::make_move_iterator(codex.begin()),
                std::make_move_iterator(codex.end()));
  std::stable_sort(agents.begin(), agents.end(),
                   [](const WorkingAgent& a, const WorkingAgent& b) { return a.id < b.id; });
  return AgentActivity(std::move(agents));
}

AgentActivity AgentActivity::current() {
  std::vector<WorkingAgent> claude;
  if (const auto base = baseDirectory("CLAUDE_CONFIG_DIR", ".claude")) claude = claudeAgents(*base);
  std::vector<WorkingAgent> codex;
  if (const auto base = baseDirectory("CODEX_HOME", ".codex")) codex = codexAgents(*base);
  return combineScans(std::move(claude), std::move(codex));
}

std::vector<WorkingAgent> AgentActivity::claudeAgents(const std::filesystem::path& base) {
  std::vector<WorkingAgent> agents;
  const auto listing = DirectoryListing::read(base / "sessions");
  if (!listing) return agents;
  ProcessStartTimes processes;
  for (const auto& entry : listing->entries()) {
    const auto filePid = sessionFilePid(entry.name);
    if (!filePid || *filePid <= 0) continue;
    const auto bytes = listing->readRegularFile(entry, kMaxSessionFileSize);
    if (!bytes) continue;
    const auto session = decodeClaudeSession(*bytes);
    if (!session || session->pid != *filePid || session->status != "busy") continue;
    const auto started = processes.startSeconds(*filePid);
    if (!started || !startedWithSession(session->startedAt, *started)) continue;
    agents.emplace_back(claudeAgentId(*filePid, session->startedAt), WorkingAgent::Kind::claude,
                        claudeNote(session->name.value_or(std::string())));
  }
  return agents;
}

std::vector<WorkingAgent> AgentActivity::codexAgents(const std::filesystem::path& base) {
  std::vector<WorkingAgent> agents;
  const auto listing = DirectoryListing::read(base / "thread-writer-locks");
  if (!listing) return agents;

  const std::filesystem::path database = base / "thread_history_1.sqlite";
  if (!readableWithoutWriting(database)) return agents;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(database.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return agents;
  }
  sqlite3_busy_timeout(db, kBusyTimeoutMillis);
  sqlite3_stmt* turn = nullptr;
  if (sqlite3_prepare_v2(db, kTurnQuery, -1, &turn, nullptr) != SQLITE_OK) {
    sqlite3_finalize(turn);
    sqlite3_close(db);
    return agents;
  }
  sqlite3_stmt* item = nullptr;
  sqlite3_prepare_v2(db, kItemQuery, -1, &item, nullptr);

  for (const auto& entry : listing->entries()) {
    const auto threadId = lockFileThreadId(entry.name);
    if (!threadId || !hasLiveWriter(*listing, entry)) continue;
    const std::string id(*threadId);
    sqlite3_bind_text(turn, 1, id.c_str(), -1, SQLITE_STATIC);
    if (sqlite3_step(turn) == SQLITE_ROW) {
      const auto* status = reinterpret_cast<const char*>(sqlite3_column_text(turn, 0));
      if (status != nullptr && std::strcmp(status, "inProgress") == 0) {
        const char* note = codexNote(nullptr);
        const auto* turnId = reinterpret_cast<const char*>(sqlite3_column_text(turn, 1));
        if (item != nullptr && turnId != nullptr) {
          sqlite3_bind_text(item, 1, id.c_str(), -1, SQLITE_STATIC);
          sqlite3_bind_text(item, 2, turnId, -1, SQLITE_STATIC);
          if (sqlite3_step(item) == SQLITE_ROW) {
            note = codexNote(reinterpret_cast<const char*>(sqlite3_column_text(item, 0)));
          }
          sqlite3_reset(item);
          sqlite3_clear_bindings(item);
        }
        agents.emplace_back(id, WorkingAgent::Kind::codex, note);
      }
    }
    sqlite3_reset(turn);
    sqlite3_clear_bindings(turn);
  }

  sqlite3_finalize(item);
  sqlite3_finalize(turn);
  sqlite3_close(db);
  return agents;
}

}  // namespace umbrafold
