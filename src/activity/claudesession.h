#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Pieces of the Claude session scan, each a pure function of its input so
// they can be checked and fuzzed on their own. Safe on any thread.

namespace umbrafold {

// The four fields read from one session file.
struct ClaudeSession {
  std::int32_t pid = 0;
  std::string status;
  std::optional<std::string> name;
  double startedAt = 0;  // milliseconds since the Unix epoch
};

// Decodes one session file's bytes: a JSON object with an integer "pid" in
// the signed 32-bit range (a whole-valued number such as 5.0 counts), a
// string "status", a finite number "startedAt" and an optional "name" that is
// a string or null. Other keys are ignored. Returns nullopt for anything
// else: empty input, invalid UTF-8, malformed JSON, wrong types.
std::optional<ClaudeSession> decodeClaudeSession(std::string_view bytes);

// The process id named by a session file's name, or nullopt. Accepts
// "<decimal>.json" only: an optional single sign, one or more ASCII digits,
// within the signed 32-bit range, with the exact extension "json" after the
// last dot. Zero and negative numbers are returned; callers reject them.
std::optional<std::int32_t> sessionFilePid(std::string_view fileName);

// The speech-bubble note for a session name: the first keyword of the
// keyword table found in the fully lower-cased name, else "Working…".
// `name` must be valid UTF-8.
std::string claudeNote(std::string_view name);

// The agent id "claude-<pid>-<startedAt>", startedAt written as the
// shortest text that reads back as the same double (see formatStartedAt).
std::string claudeAgentId(std::int32_t pid, double startedAt);

// The shortest round-trip decimal text of `value`, always with a fraction
// ("1700000000000.0", "0.5"); exponent notation ("1e-05",
// "1.8014398509481986e+16") only below 1e-4 or above 2^54 in magnitude.
std::string formatStartedAt(double value);

// True when a process that started at `processStartSeconds` (whole seconds
// since the epoch) can be the session's own process: it started no more
// than one second after the recorded `startedAtMillis`.
bool startedWithSession(double startedAtMillis, std::int64_t processStartSeconds);

}  // namespace umbrafold
