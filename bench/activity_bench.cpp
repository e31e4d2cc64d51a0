// Cost of one agent activity snapshot against the bare file I/O it cannot
// avoid, for 10, 100 and 1000 working agents (half Claude, half Codex).

#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>

#include "agentactivity.h"
#include "agentfixtures.h"

namespace {

namespace fs = std::filesystem;

// A fixture world per agent count, made on first use and torn down (its
// processes killed, its files removed) when the benchmark program exits.
class BenchWorld {
 public:
  explicit BenchWorld(int agents)
      : directory_(makeDirectory()), world_(directory_, agents / 2, agents - agents / 2) {}
  ~BenchWorld() {
    std::error_code error;
    fs::remove_all(directory_, error);
  }
  const umbrafold::fixtures::AgentWorld& world() const { return world_; }

 private:
  static fs::path makeDirectory() {
    std::string pattern = (fs::temp_directory_path() / "activity-bench-XXXXXX").string();
    return ::mkdtemp(pattern.data());
  }
  fs::path directory_;
  umbrafold::fixtures::AgentWorld world_;
};

const umbrafold::fixtures::AgentWorld& worldWith(int agents) {
  static std::map<int, std::unique_ptr<BenchWorld>> worlds;
  auto& world = worlds[agents];
  if (!world) world = std::make_unique<BenchWorld>(agents);
  return world->world();
}

void BM_ActivitySnapshot(benchmark::State& state) {
  const int agents = static_cast<int>(state.range(0));
  const auto& world = worldWith(agents);
  if (!world.ready()) state.SkipWithError("the fixture world could not be made");
  ::setenv("CLAUDE_CONFIG_DIR", world.claudeBase().c_str(), 1);
  ::setenv("CODEX_HOME", world.codexBase().c_str(), 1);
  for (auto _ : state) {
    auto activity = umbrafold::AgentActivity::current();
    if (activity.agents.size() != static_cast<std::size_t>(agents)) {
      state.SkipWithError("the snapshot missed agents");
      break;
    }
    benchmark::DoNotOptimize(activity);
  }
  state.SetComplexityN(agents);
}
BENCHMARK(BM_ActivitySnapshot)->Arg(10)->Arg(100)->Arg(1000)->Complexity(benchmark::oN);

// The two scans on their own, to see where a snapshot's time goes.
void BM_ActivityClaudeScan(benchmark::State& state) {
  const auto& world = worldWith(static_cast<int>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(umbrafold::AgentActivity::claudeAgents(world.claudeBase()));
}
BENCHMARK(BM_ActivityClaudeScan)->Arg(1000);

void BM_ActivityCodexScan(benchmark::State& state) {
  const auto& world = worldWith(static_cast<int>(state.range(0)));
  for (auto _ : state)
    benchmark::DoNotOptimize(umbrafold::AgentActivity::codexAgents(world.codexBase()));
}
BENCHMARK(BM_ActivityCodexScan)->Arg(1000);

// Lists both directories and reads every session file and lock file whole:
// the I/O a snapshot cannot do without.
void BM_ActivityIoReference(benchmark::State& state) {
  const int agents = static_cast<int>(state.range(0));
  const auto& world = worldWith(agents);
  const std::array<fs::path, 2> directories{world.claudeBase() / "sessions",
                                            world.codexBase() / "thread-writer-locks"};
  std::array<char, 4096> buffer{};
  for (auto _ : state) {
    std::size_t bytes = 0;
    for (const auto& directory : directories) {
      for (const auto& entry : fs::directory_iterator(directory)) {
        const int fd = ::open(entry.path().c_str(), O_RDONLY | O_CLOEXEC);
        for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;) {
          bytes += static_cast<std::size_t>(n);
        }
        ::close(fd);
      }
    }
    benchmark::DoNotOptimize(bytes);
  }
  state.SetComplexityN(agents);
}
BENCHMARK(BM_ActivityIoReference)->Arg(10)->Arg(100)->Arg(1000)->Complexity(benchmark::oN);

}  // namespace
