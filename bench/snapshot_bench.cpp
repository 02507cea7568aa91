// The free-space snapshot at a million free runs on a 1 TiB volume (2^28 clusters of 4 KiB),
// each figure printed against its goal:
//   build      at most 3 times a plain count-trailing-zeros scan of the same bitmap bytes
//   searches   under 1 us each (first fit, best fit, run before, run after), with a plain walk
//              of a list of the same runs beside them
//   refresh    under 10 us for the range of one moved file
//   memory     at most 32 bytes per free run of resident growth, and the figure the snapshot reports
// The bitmap is made here (free runs of 1-107 clusters between used runs of 1-425, then a free
// tail) and served through a volume whose bitmap answer is a copy of its bytes.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "platform/last_error.h"
#include "volume/dfrg_volume.h"
#include "volume/volume_change_feed.h"
#include "volume/extent_snapshot.h"

namespace {

constexpr uint64_t kClusters = 1ull << 28;
constexpr size_t kFreeRuns = 1000000;

// A volume that has only a bitmap.
class BitmapVolume : public CDfrgVolume {
public:
    BitmapVolume() : words_(kClusters / 64, ~0ull) {
        std::mt19937_64 random(1);
        uint64_t c = 0;
        for (size_t i = 0; i < kFreeRuns; ++i) {
            const uint64_t length = 1 + random() % 107;
            setFree(c, length);
            c += length + 1 + random() % 425;  // the run and the used clusters after it
        }
        setFree(c, kClusters - c);
    }
    void setFree(uint64_t from, uint64_t count) { setBits(from, count, false); }
    void setUsed(uint64_t from, uint64_t count) { setBits(from, count, true); }
    const std::vector<uint64_t>& words() const { return words_; }

    uint64_t totalClusters() const override { return kClusters; }
    BOOL getVolumeBitmap(LONGLONG startingLcn, VOLUME_BITMAP_BUFFER* out, DWORD outSize, DWORD* returned) override {
        const uint64_t start = static_cast<uint64_t>(startingLcn) & ~uint64_t(7);
        const uint64_t needed = (kClusters - start) / 8;
        const uint64_t bytes = std::min<uint64_t>(needed, outSize - 16);
        out->StartingLcn.QuadPart = static_cast<LONGLONG>(start);
        out->BitmapSize.QuadPart = static_cast<LONGLONG>(kClusters - start);
        std::memcpy(reinterpret_cast<uint8_t*>(out) + 16, reinterpret_cast<const uint8_t*>(words_.data()) + start / 8, bytes);
        *returned = static_cast<DWORD>(16 + bytes);
        if (bytes == needed) return TRUE;
        platform::setLastError(ERROR_MORE_DATA);
        return FALSE;
    }

    WString volumeLabel() const override { return {}; }
    uint32_t bytesPerCluster() const override { return 4096; }
    FileSystemType fileSystemType() const override { return FileSystemType::NTFS; }
    char16_t driveLetter() const override { return u'C'; }
    bool readWholeBitmap(std::unique_ptr<uint8_t[]>&) override { return false; }
    BOOL getVolumeInformation(WCHAR*, DWORD, DWORD*, DWORD*, DWORD*, WCHAR*, DWORD) override { return FALSE; }
    BOOL getDiskFreeSpace(DWORD*, DWORD*, DWORD*, DWORD*) override { return FALSE; }
    HANDLE createFile(const WString&, DWORD, DWORD, SECURITY_ATTRIBUTES*, DWORD, DWORD, HANDLE) override {
        return INVALID_HANDLE_VALUE;
    }
    BOOL closeHandle(HANDLE) override { return FALSE; }
    BOOL getFileSize(HANDLE, LARGE_INTEGER*) override { return FALSE; }
    DWORD getFileAttributes(const WString&) override { return INVALID_FILE_ATTRIBUTES; }
    BOOL moveFile(const MOVE_FILE_DATA&) override { return FALSE; }
    BOOL getRetrievalPointers(HANDLE, LONGLONG, RETRIEVAL_POINTERS_BUFFER*, DWORD, DWORD*) override { return FALSE; }
    HANDLE findFirstFile(const WString&, WIN32_FIND_DATAW*) override { return INVALID_HANDLE_VALUE; }
    BOOL findNextFile(HANDLE, WIN32_FIND_DATAW*) override { return FALSE; }
    BOOL findClose(HANDLE) override { return FALSE; }
    std::unique_ptr<CVolumeChangeFeed> openChangeFeed() override { return nullptr; }

private:
    void setBits(uint64_t from, uint64_t count, bool used) {
        for (uint64_t c = from; c < from + count; ++c) {
            if (used) words_[c / 64] |= 1ull << (c % 64);
            else words_[c / 64] &= ~(1ull << (c % 64));
        }
    }
    std::vector<uint64_t> words_;
};

BitmapVolume& volume() {
    static BitmapVolume v;
    return v;
}

// The plain scan: every free run of the bitmap found with count-trailing-zeros on 64-bit words
// (its count and clusters summed so that nothing is left out).
std::pair<uint64_t, uint64_t> plainScan(const std::vector<uint64_t>& words) {
    uint64_t runs = 0, clusters = 0, open = kNoCluster;
    for (size_t w = 0; w < words.size(); ++w) {
        const uint64_t word = words[w];
        unsigned bit = 0;
        while (bit < 64) {
            const uint64_t wanted = (open != kNoCluster ? word : ~word) & (~0ull << bit);
            if (!wanted) break;
            const unsigned pos = static_cast<unsigned>(__builtin_ctzll(wanted));
            if (open != kNoCluster) {
                ++runs;
                clusters += 64 * w + pos - open;
                open = kNoCluster;
            } else {
                open = 64 * w + pos;
            }
            bit = pos;
        }
    }
    if (open != kNoCluster) ++runs, clusters += words.size() * 64 - open;
    return {runs, clusters};
}

void build(CExtentSnapshot& s) {
    CCriticalSection lock;
    scanVolumeBitmap(volume(), s, lock, 0, kNoCluster, false, nullptr);
}

CExtentSnapshot& built() {
    static CExtentSnapshot s(1u << 20);
    static const bool once = (build(s), true);
    (void)once;
    return s;
}

double seconds(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

// CPU time of this thread: on a machine shared with other work, wall time measures the others.
double threadSeconds() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void BM_MemoryPerRun(benchmark::State& state);
BENCHMARK(BM_MemoryPerRun)->Iterations(1)->Unit(benchmark::kMillisecond);

void BM_BuildAgainstPlainScan(benchmark::State& state) {
    volume();
    double scan = 1e9, make = 1e9;
    size_t runs = 0;
    for (auto _ : state) {
        double t0 = threadSeconds();
        benchmark::DoNotOptimize(plainScan(volume().words()));
        scan = std::min(scan, threadSeconds() - t0);
        CExtentSnapshot s(1u << 20);
        t0 = threadSeconds();
        build(s);
        make = std::min(make, threadSeconds() - t0);
        runs = s.size();
    }
    state.counters["freeRuns"] = static_cast<double>(runs);
    state.counters["scan_cpu_ms"] = scan * 1e3;
    state.counters["build_cpu_ms"] = make * 1e3;
    state.counters["ratio"] = make / scan;
    state.SetLabel("goal: ratio <= 3");
}
BENCHMARK(BM_BuildAgainstPlainScan)->Iterations(7)->Unit(benchmark::kMillisecond);

// Resident memory of the process in bytes.
size_t residentBytes() {
    long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return static_cast<size_t>(resident) * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Runs first, in a process that has not yet held a snapshot, so that the growth is the
// snapshot's own memory and not memory freed earlier and taken again.
void BM_MemoryPerRun(benchmark::State& state) {
    volume();
    double grown = 0, reported = 0;
    size_t runs = 0;
    for (auto _ : state) {
        const size_t before = residentBytes();
        auto s = std::make_unique<CExtentSnapshot>(1u << 20);
        build(*s);
        runs = s->size();
        grown = static_cast<double>(residentBytes() - before);
        reported = static_cast<double>(s->memoryBytes());
    }
    state.counters["resident_bytes_per_run"] = grown / static_cast<double>(runs);
    state.counters["reported_bytes_per_run"] = reported / static_cast<double>(runs);
    state.SetLabel("goal: <= 32 bytes per run, reported = real");
}

// Random queries, made once, cycled through.
struct Queries {
    std::vector<uint64_t> sizes, lcns, skips;
    Queries() {
        const CExtentSnapshot::Runs runs = built().runs();
        std::mt19937_64 random(2);
        for (int i = 0; i < 4096; ++i) {
            sizes.push_back(1 + random() % 120);
            const CExtent& r = runs[random() % runs.size()];
            // Next to a run half of the time, anywhere otherwise.
            lcns.push_back(random() % 2 ? r.start - 1 : random() % kClusters);
            skips.push_back(random() % 2 ? r.start : kNoCluster);
        }
    }
};
const Queries& queries() {
    static Queries q;
    return q;
}

template <class Search>
void searchBench(benchmark::State& state, Search search) {
    const CExtentSnapshot& s = built();
    const Queries& q = queries();
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(search(s, q, i));
        i = (i + 1) & 4095;
    }
    state.SetLabel("goal: < 1 us");
}

void BM_FirstFit(benchmark::State& state) {
    searchBench(state, [](const CExtentSnapshot& s, const Queries& q, size_t i) { return firstFit(s, q.sizes[i]); });
}
BENCHMARK(BM_FirstFit)->Unit(benchmark::kNanosecond);

void BM_FirstFitNothingFits(benchmark::State& state) {
    searchBench(state, [](const CExtentSnapshot& s, const Queries&, size_t) { return firstFit(s, kClusters); });
}
BENCHMARK(BM_FirstFitNothingFits)->Unit(benchmark::kNanosecond);

void BM_BestFit(benchmark::State& state) {
    searchBench(state,
                [](const CExtentSnapshot& s, const Queries& q, size_t i) { return bestFit(s, q.sizes[i], q.skips[i]); });
}
BENCHMARK(BM_BestFit)->Unit(benchmark::kNanosecond);

void BM_FreeRunAfter(benchmark::State& state) {
    searchBench(state, [](const CExtentSnapshot& s, const Queries& q, size_t i) { return freeRunAfter(s, q.lcns[i]); });
}
BENCHMARK(BM_FreeRunAfter)->Unit(benchmark::kNanosecond);

void BM_FreeRunBefore(benchmark::State& state) {
    searchBench(state,
                [](const CExtentSnapshot& s, const Queries& q, size_t i) { return freeRunBefore(s, q.lcns[i] + 2); });
}
BENCHMARK(BM_FreeRunBefore)->Unit(benchmark::kNanosecond);

void BM_StartOfRunBefore(benchmark::State& state) {
    searchBench(state, [](const CExtentSnapshot& s, const Queries& q, size_t i) {
        return startOfRunBefore(s, CExtent(q.lcns[i] + 2, q.lcns[i] + 2));
    });
}
BENCHMARK(BM_StartOfRunBefore)->Unit(benchmark::kNanosecond);

// For comparison: first fit by walking a plain array of the same runs, when nothing fits.
void BM_PlainWalkFirstFitNothingFits(benchmark::State& state) {
    const CExtentSnapshot::Runs runs = built().runs();
    for (auto _ : state) {
        uint64_t found = kNoCluster;
        for (const CExtent& r : runs)
            if (r.end - r.start + 1 >= kClusters) {
                found = r.start;
                break;
            }
        benchmark::DoNotOptimize(found);
    }
    state.SetLabel("plain walk, for comparison");
}
BENCHMARK(BM_PlainWalkFirstFitNothingFits)->Unit(benchmark::kMicrosecond);

// One file of 256 clusters moved into a hole and back: the bitmap changes, then the range is
// refreshed, alternately making it used and free again.
void BM_RefreshRange(benchmark::State& state) {
    CExtentSnapshot& s = built();
    BitmapVolume& v = volume();
    CCriticalSection lock;
    const CExtentSnapshot::Runs runs = s.runs();
    std::mt19937_64 random(3);
    std::vector<CExtent> holes;
    for (int i = 0; i < 256; ++i) {
        const size_t j = random() % (runs.size() - 1);
        // Used clusters after a run, up to 64 of them (a file's place).
        const uint64_t used = std::min<uint64_t>(64, runs[j + 1].start - runs[j].end - 1);
        holes.push_back(CExtent(runs[j].end + 1, runs[j].end + used));
    }
    size_t i = 0;
    bool freeing = true;
    for (auto _ : state) {
        const CExtent& h = holes[i];
        if (freeing) v.setFree(h.start, h.size());
        else v.setUsed(h.start, h.size());
        const auto t0 = std::chrono::steady_clock::now();
        scanVolumeBitmap(v, s, lock, h.start, h.end, true, nullptr);
        state.SetIterationTime(seconds(t0));
        if (++i == holes.size()) {
            i = 0;
            freeing = !freeing;
        }
    }
    state.SetLabel("goal: < 10 us");
}
BENCHMARK(BM_RefreshRange)->Iterations(20480)->UseManualTime()->Unit(benchmark::kMicrosecond);

// The same changes made on the snapshot directly (the index work of a refresh).
void BM_IndexChange(benchmark::State& state) {
    CExtentSnapshot& s = built();
    const CExtentSnapshot::Runs runs = s.runs();
    std::mt19937_64 random(4);
    size_t i = 0;
    for (auto _ : state) {
        const CExtent& r = runs[(i++ * 7919) % runs.size()];
        const CExtent middle(r.start + (r.end - r.start) / 2, r.start + (r.end - r.start) / 2);
        s.markUsed(middle);  // splits the run, or takes it away
        s.addFreeRun(middle);  // joins it again
    }
    state.SetLabel("mark used + free again, goal: < 10 us");
}
BENCHMARK(BM_IndexChange)->Unit(benchmark::kNanosecond);

}  // namespace

BENCHMARK_MAIN();
