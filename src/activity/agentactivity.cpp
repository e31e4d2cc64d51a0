#include "agentactivity.h"

namespace umbrafold {

AgentActivity AgentActivity::current() { return {}; }
std::vector<WorkingAgent> AgentActivity::claudeAgents(const std::filesystem::path&) { return {}; }
std::vector<WorkingAgent> AgentActivity::codexAgents(const std::filesystem::path&) { return {}; }

}  // namespace umbrafold
