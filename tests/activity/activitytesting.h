#pragma once

// Helpers shared by the activity tests: a private temporary directory, a
// record of a directory tree to prove a scan changed nothing, and a watchdog
// for calls that must never block.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <map>
#include <string>
#include <tuple>

#include "workingagent.h"

namespace umbrafold {

inline void PrintTo(const WorkingAgent& agent, std::ostream* out) {
  *out << agent.id << (agent.kind == WorkingAgent::Kind::claude ? " claude " : " codex ")
       << agent.note;
}

}  // namespace umbrafold

namespace umbrafold::testing {

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "activity-XXXXXX").string();
    path_ = ::mkdtemp(pattern.data());
  }
  ~TempDir() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Type, size and modification time of every entry under a directory,
// symlinks not followed.
using TreeState = std::map<std::string, std::tuple<unsigned, long long, long long, long long>>;

inline TreeState treeState(const std::filesystem::path& root) {
  TreeState state;
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(root, error);
       it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    struct stat info {};
    if (::lstat(it->path().c_str(), &info) != 0) continue;
    state[it->path().string()] = {info.st_mode, static_cast<long long>(info.st_size),
                                  static_cast<long long>(info.st_mtim.tv_sec),
                                  static_cast<long long>(info.st_mtim.tv_nsec)};
  }
  return state;
}

// Runs `call` and returns its result; a call that has not returned after
// 20 seconds is reported and the test binary aborts, since it is stuck.
template <typename Call>
auto finishing(Call call) {
  auto result = std::async(std::launch::async, call);
  if (result.wait_for(std::chrono::seconds(20)) != std::future_status::ready) {
    ADD_FAILURE() << "the scan blocked";
    std::abort();
  }
  return result.get();
}

}  // namespace umbrafold::testing
