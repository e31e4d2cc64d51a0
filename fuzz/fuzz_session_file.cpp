// Feeds arbitrary bytes to the session-file decoder and checks it against a
// decoder built on a parsed JSON document, then runs whatever decodes
// through the note and id rules. The id's time must read back as the same
// value.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "claudesession.h"

namespace {

// The decoding rules applied to a whole parsed document.
std::optional<umbrafold::ClaudeSession> decodeDocument(std::string_view bytes) {
  const auto json = nlohmann::json::parse(bytes.begin(), bytes.end(), nullptr, false);
  if (!json.is_object()) return std::nullopt;
  umbrafold::ClaudeSession session;
  const auto pid = json.find("pid");
  if (pid == json.end() || !pid->is_number()) return std::nullopt;
  const double pidValue = pid->is_number_float() ? pid->get<double>()
                          : pid->is_number_unsigned()
                              ? static_cast<double>(pid->get<std::uint64_t>())
                              : static_cast<double>(pid->get<std::int64_t>());
  if (!std::isfinite(pidValue) || pidValue != std::floor(pidValue) || pidValue < -2147483648.0 ||
      pidValue > 2147483647.0) {
    return std::nullopt;
  }
  session.pid = static_cast<std::int32_t>(pidValue);
  const auto status = json.find("status");
  if (status == json.end() || !status->is_string()) return std::nullopt;
  session.status = status->get<std::string>();
  const auto name = json.find("name");
  if (name != json.end() && !name->is_null()) {
    if (!name->is_string()) return std::nullopt;
    session.name = name->get<std::string>();
  }
  const auto startedAt = json.find("startedAt");
  if (startedAt == json.end() || !startedAt->is_number()) return std::nullopt;
  session.startedAt = startedAt->get<double>();
  if (!std::isfinite(session.startedAt)) return std::nullopt;
  return session;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto session = umbrafold::decodeClaudeSession(bytes);
  const auto expected = decodeDocument(bytes);
  if (session.has_value() != expected.has_value()) std::abort();
  if (!session) return 0;
  if (session->pid != expected->pid || session->status != expected->status ||
      session->name != expected->name || session->startedAt != expected->startedAt) {
    std::abort();
  }
  const std::string note = umbrafold::claudeNote(session->name.value_or(std::string()));
  if (note.empty()) std::abort();
  const std::string text = umbrafold::formatStartedAt(session->startedAt);
  if (std::strtod(text.c_str(), nullptr) != session->startedAt) std::abort();
  const std::string id = umbrafold::claudeAgentId(session->pid, session->startedAt);
  for (const char c : id) {
    if (static_cast<unsigned char>(c) >= 0x80) std::abort();  // ids are ASCII
  }
  return 0;
}
