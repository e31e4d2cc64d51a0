#pragma once

#include <string>

#include "agentactivity.h"

namespace umbrafold {

// "claude" or "codex".
const char* kindName(WorkingAgent::Kind kind);

// One line "id<TAB>kind<TAB>note\n" per agent, in the activity's order;
// empty for no agents.
std::string agentLines(const AgentActivity& activity);

// A one-line JSON array of objects with the keys "id", "kind" and "note",
// in the activity's order, followed by a newline. Notes stay UTF-8.
std::string agentJson(const AgentActivity& activity);

}  // namespace umbrafold
