#pragma once

#include <filesystem>
#include <vector>

#include "workingagent.h"

namespace umbrafold {

// The working agents at one moment, in a fixed order. A plain value: a
// snapshot taken on one thread can be handed to another without a lock.
struct AgentActivity {
  AgentActivity() = default;
  explicit AgentActivity(std::vector<WorkingAgent> agents) : agents(std::move(agents)) {}

  std::vector<WorkingAgent> agents;

  // Equal when both lists hold equal agents in the same order.
  friend bool operator==(const AgentActivity&, const AgentActivity&) = default;

  // A fresh snapshot: the Claude base is $CLAUDE_CONFIG_DIR, else ~/.claude;
  // the Codex base is $CODEX_HOME, else ~/.codex; both read at each call.
  // Claude agents then Codex agents, stable-sorted by id in byte order.
  // Never fails; only reads. Safe on any thread.
  static AgentActivity current();

  // Busy Claude sessions with a live process, in directory-listing order.
  // Only regular session files of at most 1 MiB are read; FIFOs, devices
  // and directories are never opened for reading.
  static std::vector<WorkingAgent> claudeAgents(const std::filesystem::path& base);

  // Codex threads with a live writer and a turn in progress, in the order
  // of the lock directory's listing. The database is opened read-only and
  // only when that creates no file: a write-ahead-log database whose "-wal"
  // or "-shm" file is missing (no Codex process has it open) yields none.
  static std::vector<WorkingAgent> codexAgents(const std::filesystem::path& base);
};

}  // namespace umbrafold
