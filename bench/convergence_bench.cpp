// The engine on nearly full disks (95 %, 98 % and 99.5 % full of 16-cluster files, the free
// space only in holes of at most 48 clusters, one fragmented file of 1,076 clusters in pieces),
// several seeds each: scan passes until react mode (goal: at most 10), clusters moved in the run
// and in its first pass, the most moves of one file in the run (goal: at most 2, each with a
// gain) and in one pass (goal: 1), and whether the fragmented file ended contiguous.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>

#include "config/dfrg_config.h"
#include "config/dfrg_statistics.h"
#include "config/product_key.h"
#include "config/registry_store.h"
#include "platform/process_paths.h"
#include "support/full_disk.h"

namespace {

namespace fs = std::filesystem;

struct Settings {
    std::unique_ptr<CDfrgStatistics> statistics;
    std::unique_ptr<CDfrgConfig> config;
    Settings() {
        const fs::path scratch = fs::temp_directory_path() / "velkaris-convergence-bench";
        fs::remove_all(scratch);
        fs::create_directories(scratch / "work");
        fs::create_directories(scratch / "state");
        platform::setCurrentDirectory((scratch / "work").string());
        setRegistryStorePath((scratch / "registry.sqlite3").string());
        setProductKeyPath("SOFTWARE\\velkaris-convergence-bench\\Velkaris Lumeric Defrag");
        statistics = std::make_unique<CDfrgStatistics>();
        config = std::make_unique<CDfrgConfig>();
    }
};

Settings& settings() {
    static Settings s;
    return s;
}

void BM_NearlyFullDisk(benchmark::State& state) {
    fulldisk::Parameters p;
    p.fullness = static_cast<double>(state.range(0)) / 1000.0;
    p.seed = static_cast<uint32_t>(state.range(1));
    fulldisk::RunResult r;
    for (auto _ : state) {
        state.PauseTiming();
        auto volume = fulldisk::makeNearlyFullDisk(p);
        state.ResumeTiming();
        r = fulldisk::runUntilReact(volume, *settings().config, 50);
    }
    state.counters["passes"] = r.passes;
    state.counters["react"] = r.reachedReact ? 1 : 0;
    state.counters["clusters moved"] = static_cast<double>(r.clustersMoved);
    state.counters["first pass"] = r.clustersPerPass.empty() ? 0 : static_cast<double>(r.clustersPerPass.front());
    state.counters["moves/file run"] = r.mostMovesInTheRun;
    state.counters["moves/file pass"] = r.mostMovesInAPass;
    state.counters["fragmented after"] = static_cast<double>(r.fragmentedAfter);
    state.counters["largest free before"] = static_cast<double>(r.largestFreeBefore);
    state.counters["largest free after"] = static_cast<double>(r.largestFreeAfter);
}
BENCHMARK(BM_NearlyFullDisk)
    ->ArgsProduct({{950, 980, 995}, {1, 2, 3}})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
