// Feeds arbitrary names to the session-file and lock-file name tests and
// checks what they accept against the rules they state.

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "claudesession.h"
#include "codexthread.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  if (const auto thread = umbrafold::lockFileThreadId(name)) {
    if (thread->size() != 36 || name.size() != 41 || name.substr(36) != ".lock") std::abort();
    if (thread->data() != name.data()) std::abort();  // spelled as in the name
  }
  if (const auto pid = umbrafold::sessionFilePid(name)) {
    if (!name.ends_with(".json")) std::abort();
    const std::string_view number = name.substr(0, name.size() - 5);
    if (std::strtoll(std::string(number).c_str(), nullptr, 10) != *pid) std::abort();
  }
  return 0;
}
