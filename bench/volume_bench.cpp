// Opening a simulated volume of 64 GiB holding 100,000 files, building its free-space snapshot
// and searching it. The image is made on the first run and kept in the build tree.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <memory>
#include <string>

#include "volume/dfrg_context.h"
#include "volume/extent_snapshot.h"
#include "sim/image_synthesis.h"
#include "sim/simulated_volume.h"
#include "sim/volume_image.h"

namespace {

const std::filesystem::path kImage = VDS_BENCH_IMAGE;

const std::filesystem::path& benchImage() {
    static const bool made = [] {
        if (std::filesystem::exists(kImage)) return true;
        CImageParameters p;
        p.volumeBytes = 64ull << 30;
        p.fileCount = 100000;
        p.seed = 64;
        std::string error;
        auto volume = synthesizeVolume(p, error);
        return volume && CVolumeImage::create(kImage, *volume, error);
    }();
    if (!made) std::abort();
    return kImage;
}

// One opened image and a context with a built snapshot, shared by the search benchmarks.
struct Loaded {
    std::shared_ptr<CVolumeImage> image;
    std::unique_ptr<CDfrgContext> context;
    CExtentSnapshot* snapshot = nullptr;
    Loaded() {
        std::string error;
        image = CVolumeImage::open(benchImage(), u'C', error);
        if (!image) std::abort();
        context = std::make_unique<CDfrgContext>(std::make_unique<CSimulatedVolume>(image->volume()), 0,
                                                 CDfrgVolumeSettings{});
        context->makeExtentSnapshot();
        context->snapshot(snapshot);
    }
};

Loaded& loaded() {
    static Loaded l;
    return l;
}

void BM_OpenImage(benchmark::State& state) {
    benchImage();
    for (auto _ : state) {
        std::string error;
        auto image = CVolumeImage::open(kImage, u'C', error);
        benchmark::DoNotOptimize(image.get());
    }
}
BENCHMARK(BM_OpenImage)->Unit(benchmark::kMillisecond);

void BM_MakeExtentSnapshot(benchmark::State& state) {
    Loaded& l = loaded();
    for (auto _ : state) l.context->makeExtentSnapshot();
    l.context->snapshot(l.snapshot);
    state.counters["freeRuns"] = static_cast<double>(l.snapshot->size());
}
BENCHMARK(BM_MakeExtentSnapshot)->Unit(benchmark::kMillisecond);

void BM_FirstFit(benchmark::State& state) {
    Loaded& l = loaded();
    const uint64_t n = static_cast<uint64_t>(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(firstFit(*l.snapshot, n));
}
BENCHMARK(BM_FirstFit)->Arg(16)->Arg(4096)->Arg(1ll << 40)->Unit(benchmark::kMicrosecond);

void BM_BestFit(benchmark::State& state) {
    Loaded& l = loaded();
    const uint64_t n = static_cast<uint64_t>(state.range(0));
    for (auto _ : state) benchmark::DoNotOptimize(bestFit(*l.snapshot, n, kNoCluster));
}
BENCHMARK(BM_BestFit)->Arg(16)->Arg(4096)->Arg(1ll << 40)->Unit(benchmark::kMicrosecond);

void BM_FreeRunAfter(benchmark::State& state) {
    Loaded& l = loaded();
    const uint64_t middle = l.snapshot->runs().empty() ? 0 : std::next(l.snapshot->runs().begin(), l.snapshot->size() / 2)->start - 1;
    for (auto _ : state) benchmark::DoNotOptimize(freeRunAfter(*l.snapshot, middle));
}
BENCHMARK(BM_FreeRunAfter)->Unit(benchmark::kMicrosecond);

// Refreshing the range of one file in the middle of the volume, as after a move.
void BM_RefreshRange(benchmark::State& state) {
    Loaded& l = loaded();
    const uint64_t middle = l.image->volume()->geometry().totalClusters / 2;
    for (auto _ : state) l.context->refreshSnapshot(middle, middle + 255);
}
BENCHMARK(BM_RefreshRange)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
