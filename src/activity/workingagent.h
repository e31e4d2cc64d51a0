#pragma once

#include <string>

namespace umbrafold {

// One AI coding agent that is working right now: a busy Claude session or a
// Codex thread with a live writer and a turn in progress. A plain value.
struct WorkingAgent {
  enum class Kind { claude, codex };

  WorkingAgent(std::string id, Kind kind, std::string note)
      : id(std::move(id)), kind(kind), note(std::move(note)) {}

  // Identity across polls, ASCII: "claude-<pid>-<startedAt>" or the Codex
  // thread's UUID exactly as spelled in its lock file's name.
  std::string id;
  Kind kind;
  // Short English phrase for the speech bubble, UTF-8 ("Testing", "Working…").
  std::string note;

  // Equal when id, kind and note are all equal. No ordering and no hash.
  friend bool operator==(const WorkingAgent&, const WorkingAgent&) = default;
};

}  // namespace umbrafold
