#pragma once

#include <vector>

#include "agentactivity.h"

namespace umbrafold {

// One snapshot from the two scans' results: the Claude agents, then the
// Codex agents, stable-sorted by id in byte order (so "claude-1234-..."
// comes before "claude-99-...", and agents with equal ids keep this order).
AgentActivity combineScans(std::vector<WorkingAgent> claude, std::vector<WorkingAgent> codex);

}  // namespace umbrafold
