// Feeds arbitrary bytes to the session-file decoder, and whatever decodes
// to the note and id rules. The id's time must read back as the same value.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "claudesession.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const auto session = umbrafold::decodeClaudeSession(bytes);
  if (!session) return 0;
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
