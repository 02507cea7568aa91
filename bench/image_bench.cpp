// Making and opening a large simulated image, as `velkaris-image create --size 1T --files 1000000`
// does: the time and the peak memory of each, against the goals (create under 30 s and
// 1.3 GiB). Each measurement runs in a child process of its own, so that its peak memory is its
// own and not what an earlier one left behind.
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include "sim/image_synthesis.h"
#include "sim/volume_image.h"

namespace {

constexpr double kCreateGoalSeconds = 30.0;
constexpr double kCreateGoalMiB = 1.3 * 1024;

// The volume of the goal; VDS_IMAGE_BENCH_FILES and VDS_IMAGE_BENCH_GIB make it smaller for a
// quick look.
CImageParameters parameters() {
    CImageParameters p;
    const char* files = std::getenv("VDS_IMAGE_BENCH_FILES");
    const char* gib = std::getenv("VDS_IMAGE_BENCH_GIB");
    p.fileCount = files ? static_cast<uint32_t>(std::atol(files)) : 1000000;
    p.volumeBytes = (gib ? static_cast<uint64_t>(std::atoll(gib)) : 1024) << 30;
    return p;
}

std::filesystem::path imagePath() { return std::filesystem::temp_directory_path() / "vds-image-bench.vimg"; }

struct ChildRun {
    bool ok = false;
    double seconds = 0;
    double cpuSeconds = 0;  // user and system: what the work costs on a machine others share
    double peakMiB = 0;
};

// Runs work in a child process: its wall time and its peak resident memory.
ChildRun inChild(const std::function<bool()>& work) {
    ChildRun run;
    const auto started = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) _exit(work() ? 0 : 1);
    int status = 0;
    struct rusage usage {};
    if (child < 0 || wait4(child, &status, 0, &usage) != child) return run;
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    run.peakMiB = static_cast<double>(usage.ru_maxrss) / 1024.0;  // kilobytes on Linux
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    run.cpuSeconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    run.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return run;
}

void report(benchmark::State& state, const ChildRun& run, const char* what, double goalSeconds, double goalMiB) {
    state.SetIterationTime(run.seconds);
    state.counters["seconds"] = run.seconds;
    state.counters["cpu_seconds"] = run.cpuSeconds;
    state.counters["peak_MiB"] = run.peakMiB;
    if (goalSeconds > 0) state.counters["time_vs_goal"] = run.seconds / goalSeconds;
    if (goalMiB > 0) state.counters["memory_vs_goal"] = run.peakMiB / goalMiB;
    std::printf("%s: %.1f s wall, %.1f s of CPU, peak %.0f MiB", what, run.seconds, run.cpuSeconds, run.peakMiB);
    // The wall time counts only on a machine that is otherwise idle; the CPU time always does.
    if (goalSeconds > 0)
        std::printf(" (goals: %.0f s, %.0f MiB; wall %s, CPU %s, memory %s)", goalSeconds, goalMiB,
                    run.seconds < goalSeconds ? "met" : "NOT met", run.cpuSeconds < goalSeconds ? "met" : "NOT met",
                    run.peakMiB < goalMiB ? "met" : "NOT met");
    std::printf("\n");
}

void BM_CreateImage(benchmark::State& state) {
    for (auto _ : state) {
        const ChildRun run = inChild([] {
            std::string error;
            auto volume = synthesizeVolume(parameters(), error);
            return volume && CVolumeImage::create(imagePath(), *volume, error);
        });
        if (!run.ok) state.SkipWithError("the image could not be made");
        report(state, run, "create", kCreateGoalSeconds, kCreateGoalMiB);
    }
}
BENCHMARK(BM_CreateImage)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

// Opening streams the image: the peak stays near the size of the volume in memory.
void BM_OpenImage(benchmark::State& state) {
    for (auto _ : state) {
        const ChildRun run = inChild([] {
            std::string error;
            auto image = CVolumeImage::open(imagePath(), u'C', error);
            return image != nullptr;
        });
        if (!run.ok) state.SkipWithError("the image could not be opened");
        report(state, run, "open", 0, 0);
        state.counters["image_MiB"] = static_cast<double>(std::filesystem::file_size(imagePath())) / 1048576.0;
    }
    std::error_code ignored;
    std::filesystem::remove(imagePath(), ignored);
}
BENCHMARK(BM_OpenImage)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
