#include "agentlisting.h"

#include <nlohmann/json.hpp>

namespace umbrafold {

const char* kindName(WorkingAgent::Kind kind) {
  return kind == WorkingAgent::Kind::claude ? "claude" : "codex";
}

std::string agentLines(const AgentActivity& activity) {
  std::string out;
  for (const WorkingAgent& agent : activity.agents) {
    out += agent.id + '\t' + kindName(agent.kind) + '\t' + agent.note + '\n';
  }
  return out;
}

std::string agentJson(const AgentActivity& activity) {
  auto list = nlohmann::json::array();
  for (const WorkingAgent& agent : activity.agents) {
    list.push_back({{"id", agent.id}, {"kind", kindName(agent.kind)}, {"note", agent.note}});
  }
  return list.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
}

}  // namespace umbrafold
