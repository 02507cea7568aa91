// One full scan walk over an aged simulated volume of 64 GiB holding 100,000 files, with the
// default settings: files per second on the aged volume, and on the same volume once it has been
// walked (the steady state of later passes). And the state machine on the aged volume until
// react mode: clusters moved against the clusters of the files that were fragmented (goal: at
// most 1.3 times), per pass, no file moved twice in a pass, and the end result (fragmented
// files, free runs, largest free run). And a stop asked for while the dump of a volume of a
// million files is being written: how long the dump takes to give up (goal: well under 2 s). Each iteration starts from a fresh copy of the
// volume; making the copy is not timed. The image is made on the first run and kept in the build
// tree (shared with volume_bench).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <thread>
#include <memory>
#include <string>
#include <vector>

#include "config/dfrg_config.h"
#include "config/dfrg_statistics.h"
#include "config/product_key.h"
#include "config/registry_store.h"
#include "engine/file_processing.h"
#include "engine/volume_dump.h"
#include "platform/dfrg_exception.h"
#include "platform/process_paths.h"
#include "volume/dfrg_context.h"
#include "sim/image_synthesis.h"
#include "sim/simulated_volume.h"
#include "sim/volume_image.h"
#include "support/full_disk.h"

namespace {

namespace fs = std::filesystem;
const fs::path kImage = VDS_BENCH_IMAGE;

// The aged volume and, once walked, the same volume after one pass, as state bytes.
struct Volumes {
    std::vector<uint8_t> aged;
    std::vector<uint8_t> walked;
};

std::shared_ptr<CMemoryVolume> load(const std::vector<uint8_t>& bytes) {
    std::string error;
    auto v = CMemoryVolume::deserialize(bytes.data(), bytes.size(), error);
    if (!v) std::abort();
    return v;
}

// Settings and statistics in a registry of the benchmark's own, under a scratch directory.
struct Settings {
    std::unique_ptr<CDfrgStatistics> statistics;
    std::unique_ptr<CDfrgConfig> config;
    Settings() {
        const fs::path scratch = fs::temp_directory_path() / "velkaris-engine-bench";
        fs::create_directories(scratch / "work");
        fs::create_directories(scratch / "state");
        platform::setCurrentDirectory((scratch / "work").string());
        setRegistryStorePath((scratch / "registry.sqlite3").string());
        setProductKeyPath("SOFTWARE\\velkaris-bench\\Velkaris Lumeric Defrag");
        statistics = std::make_unique<CDfrgStatistics>();
        config = std::make_unique<CDfrgConfig>();
    }
};

Settings& settings() {
    static Settings s;
    return s;
}

struct Walk {
    CPassCounters counters;
};

Walk walk(std::shared_ptr<CMemoryVolume> volume) {
    CDfrgConfig& config = *settings().config;
    CDfrgVolumeSettings volumeSettings;
    volumeSettings.maxClusterMoveCount = config.maxClusterMoveCount();
    volumeSettings.maxExtentListSize = config.maxExtentListSize();
    CDfrgContext context(std::make_unique<CSimulatedVolume>(std::move(volume)), 0, volumeSettings);
    CPassState state;
    state.config = &config;
    state.scanActive = true;
    walkDirectory(state, context, u"C:", WString(), false, false);
    return Walk{state.counters};
}

Volumes& volumes() {
    static Volumes v = [] {
        Volumes out;
        if (!fs::exists(kImage)) {
            CImageParameters p;
            p.volumeBytes = 64ull << 30;
            p.fileCount = 100000;
            p.seed = 64;
            std::string error;
            auto volume = synthesizeVolume(p, error);
            if (!volume || !CVolumeImage::create(kImage, *volume, error)) std::abort();
        }
        std::string error;
        auto image = CVolumeImage::open(kImage, u'C', error);
        if (!image) std::abort();
        image->volume()->serialize(out.aged);
        image.reset();
        auto once = load(out.aged);
        walk(once);
        once->serialize(out.walked);
        return out;
    }();
    return v;
}

void runWalks(benchmark::State& state, const std::vector<uint8_t>& bytes) {
    uint64_t processed = 0, defragged = 0, moved = 0;
    for (auto _ : state) {
        state.PauseTiming();
        auto volume = load(bytes);
        state.ResumeTiming();
        const Walk w = walk(std::move(volume));
        processed += w.counters.processed;
        defragged += w.counters.defragged;
        moved += w.counters.moved;
    }
    const double walks = static_cast<double>(state.iterations());
    state.counters["files/s"] = benchmark::Counter(static_cast<double>(processed), benchmark::Counter::kIsRate);
    state.counters["processed"] = static_cast<double>(processed) / walks;
    state.counters["defragged"] = static_cast<double>(defragged) / walks;
    state.counters["moved"] = static_cast<double>(moved) / walks;
}

void BM_WalkAgedVolume(benchmark::State& state) { runWalks(state, volumes().aged); }
BENCHMARK(BM_WalkAgedVolume)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_WalkWalkedVolume(benchmark::State& state) { runWalks(state, volumes().walked); }
BENCHMARK(BM_WalkWalkedVolume)->Unit(benchmark::kMillisecond)->Iterations(3);

void BM_AgedVolumeToReactMode(benchmark::State& state) {
    fulldisk::RunResult r;
    for (auto _ : state) {
        state.PauseTiming();
        auto volume = load(volumes().aged);
        volume->setDriveLetter(u'C');
        state.ResumeTiming();
        r = fulldisk::runUntilReact(volume, *settings().config, 20);
    }
    state.counters["passes"] = r.passes;
    state.counters["clusters moved"] = static_cast<double>(r.clustersMoved);
    state.counters["fragmented clusters"] = static_cast<double>(r.fragmentedClustersBefore);
    state.counters["ratio (goal 1.3)"] =
        r.fragmentedClustersBefore ? static_cast<double>(r.clustersMoved) / static_cast<double>(r.fragmentedClustersBefore) : 0;
    for (size_t i = 0; i < r.clustersPerPass.size() && i < 4; ++i)
        state.counters["pass " + std::to_string(i)] = static_cast<double>(r.clustersPerPass[i]);
    state.counters["moves/file pass"] = r.mostMovesInAPass;
    state.counters["fragmented"] = static_cast<double>(r.fragmentedBefore);
    state.counters["fragmented after"] = static_cast<double>(r.fragmentedAfter);
    state.counters["free runs"] = static_cast<double>(r.freeRunsBefore);
    state.counters["free runs after"] = static_cast<double>(r.freeRunsAfter);
    state.counters["largest free"] = static_cast<double>(r.largestFreeBefore);
    state.counters["largest free after"] = static_cast<double>(r.largestFreeAfter);
}
BENCHMARK(BM_AgedVolumeToReactMode)->Unit(benchmark::kMillisecond)->Iterations(1);

void BM_StopDuringTheDumpOfAMillionFiles(benchmark::State& state) {
    static std::shared_ptr<CMemoryVolume> volume = [] {
        fulldisk::Parameters p;
        p.clusters = 20000000;
        p.fullness = 0.85;
        p.fileClusters = 16;
        p.maxHole = 64;
        return fulldisk::makeNearlyFullDisk(p);  // about 1,060,000 files
    }();
    const std::string path = (fs::temp_directory_path() / "velkaris-engine-bench-dump.vdf").string();
    double stopMs = 0;
    bool gaveUpOnce = false;
    for (auto _ : state) {
        CDfrgContext context(std::make_unique<CSimulatedVolume>(volume), 0, CDfrgVolumeSettings());
        std::FILE* out = std::fopen(path.c_str(), "wb");
        if (!out) std::abort();
        std::chrono::steady_clock::time_point stopped;
        bool gaveUp = false;
        std::thread dumper([&] {
            try {
                writeVolumeDump(context, *settings().config, out);
            } catch (const CDfrgException& e) {
                gaveUp = e.code() == ErrorStopRequested;
            }
        });
        std::this_thread::sleep_for(std::chrono::seconds(2));
        const auto asked = std::chrono::steady_clock::now();
        context.stopAll();
        dumper.join();
        stopped = std::chrono::steady_clock::now();
        std::fclose(out);
        stopMs = std::chrono::duration<double, std::milli>(stopped - asked).count();
        gaveUpOnce = gaveUp;
    }
    std::remove(path.c_str());
    state.counters["stop ms (goal < 2000)"] = stopMs;
    state.counters["stopped mid-dump"] = gaveUpOnce ? 1 : 0;
}
BENCHMARK(BM_StopDuringTheDumpOfAMillionFiles)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
