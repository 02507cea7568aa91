#include "volume/extent_snapshot.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/last_error.h"
#include "volume/dfrg_volume.h"
#include "volume/free_runs.h"

using snapshot_detail::FreeRuns;

// ---------------------------------------------------------------- the runs

// Runs are stored with 32-bit cluster numbers while every cluster fits, with 64-bit ones once a
// cluster does not (a volume of 2^32 clusters or more).
struct CExtentSnapshot::Impl {
    using Narrow = FreeRuns<uint32_t>;
    using Wide = FreeRuns<uint64_t>;

    explicit Impl(uint32_t maxRuns) : maxRuns(maxRuns), narrow(std::make_unique<Narrow>(maxRuns)) {}

    template <class F>
    decltype(auto) with(F&& f) const {
        return wide ? f(static_cast<const Wide&>(*wide)) : f(static_cast<const Narrow&>(*narrow));
    }
    template <class F>
    decltype(auto) change(F&& f) {
        seal();
        return wide ? f(*wide) : f(*narrow);
    }

    void reset(uint64_t clusters) {
        wide.reset();
        narrow.reset();
        if (clusters > Narrow::kMaxLcn + 1) wide = std::make_unique<Wide>(maxRuns);
        else narrow = std::make_unique<Narrow>(maxRuns);
        building = false;
    }
    void widenFor(uint64_t lcn) {
        if (wide || lcn <= Narrow::kMaxLcn) return;
        seal();
        auto grown = std::make_unique<Wide>(maxRuns);
        narrow->forEach([&](uint64_t s, uint64_t e) { grown->append(s, e); });
        grown->finishBuild();
        wide = std::move(grown);
        narrow.reset();
    }

    // A build appends runs in order into the indexes' leaves and finishes them at once; a run
    // that finds the list full takes the ordinary way in (and may push out the smallest).
    void beginBuild(uint64_t clusters) {
        reset(clusters);
        building = true;
    }
    void appendBuilt(uint64_t s, uint64_t e) {
        if (building && !with([](const auto& r) { return r.full(); })) {
            if (wide) wide->append(s, e);
            else narrow->append(s, e);
            return;
        }
        change([&](auto& r) { r.add(s, e); });
    }
    void add(uint64_t s, uint64_t e) {
        widenFor(e);
        change([&](auto& r) { r.add(s, e); });
    }
    // The clusters [u, v] as the bitmap shows them now: `freeRuns` (inside the range, in order)
    // free, the rest in use.
    void refresh(uint64_t u, uint64_t v, const std::vector<CExtent>& freeRuns) {
        if (!freeRuns.empty()) widenFor(freeRuns.back().end);
        change([&](auto& r) {
            r.remove(u, v);
            for (const CExtent& c : freeRuns) r.add(c.start, c.end);
        });
    }
    void seal() {
        if (!building) return;
        building = false;
        if (wide) wide->finishBuild();
        else narrow->finishBuild();
    }

    uint32_t maxRuns;
    std::unique_ptr<Narrow> narrow;
    std::unique_ptr<Wide> wide;
    bool building = false;
};

CExtentSnapshot::CExtentSnapshot(uint32_t maxRuns) : impl_(std::make_unique<Impl>(maxRuns)) {}
CExtentSnapshot::~CExtentSnapshot() = default;

CExtentSnapshot::Runs CExtentSnapshot::runs() const {
    Runs out;
    out.reserve(size());
    impl_->with([&](const auto& r) {
        r.forEach([&](uint64_t s, uint64_t e) {
            CExtent x;
            x.start = s;
            x.end = e;
            out.push_back(x);
        });
    });
    return out;
}

size_t CExtentSnapshot::size() const {
    return impl_->with([](const auto& r) { return r.size(); });
}

void CExtentSnapshot::clear() { impl_->reset(0); }

void CExtentSnapshot::addFreeRun(const CExtent& run) {
    if (run.valid()) impl_->add(run.start, run.end);
}

void CExtentSnapshot::markUsed(const CExtent& range) {
    if (!range.valid()) return;
    impl_->change([&](auto& r) { r.remove(range.start, range.end); });
}

CExtent CExtentSnapshot::smallestRun() const {
    CExtent out;
    impl_->with([&](const auto& r) { r.smallest(out); });
    return out;
}

uint64_t CExtentSnapshot::totalFree() const {
    return impl_->with([](const auto& r) { return r.total(); });
}

size_t CExtentSnapshot::memoryBytes() const {
    return sizeof(*this) + sizeof(Impl) + impl_->with([](const auto& r) { return r.bytes(); });
}

CExtent CExtentSnapshot::runStartingAt(uint64_t lcn) const {
    CExtent out;
    impl_->with([&](const auto& r) { r.startingAt(lcn, out); });
    return out;
}

CExtent CExtentSnapshot::runEndingAt(uint64_t lcn) const {
    CExtent out;
    impl_->with([&](const auto& r) { r.endingAt(lcn, out); });
    return out;
}

uint64_t CExtentSnapshot::firstFitStart(uint64_t n) const {
    CExtent out;
    impl_->with([&](const auto& r) { r.firstFit(n, out); });
    return out.start;
}

uint64_t CExtentSnapshot::bestFitStart(uint64_t n, uint64_t skipLcn) const {
    CExtent out;
    impl_->with([&](const auto& r) { r.bestFit(n, skipLcn, out); });
    return out.start;
}

// ---------------------------------------------------------------- searches

uint64_t firstFit(const CExtentSnapshot& snapshot, uint64_t n) { return snapshot.firstFitStart(n); }

uint64_t bestFit(const CExtentSnapshot& snapshot, uint64_t n, uint64_t skipLcn) {
    return snapshot.bestFitStart(n, skipLcn);
}

uint64_t freeRunAfter(const CExtentSnapshot& snapshot, uint64_t x) {
    const CExtent r = snapshot.runStartingAt(x + 1);
    return r.valid() ? r.size() : 0;
}

uint64_t freeRunBefore(const CExtentSnapshot& snapshot, uint64_t x) {
    const CExtent r = snapshot.runEndingAt(x - 1);
    return r.valid() ? r.size() : 0;
}

uint64_t startOfRunBefore(const CExtentSnapshot& snapshot, const CExtent& e) {
    if (e.start == kNoCluster) return kNoCluster;
    return snapshot.runEndingAt(e.start - 1).start;
}

// ---------------------------------------------------------------- bitmap scan

namespace {

constexpr DWORD kRequestBytes = 9016;  // 16 bytes of header, 9000 of bitmap (72000 clusters)
constexpr size_t kBufferBytes = 9026;
constexpr size_t kHeader = offsetof(VOLUME_BITMAP_BUFFER, Buffer);
constexpr uint64_t kChunkBytes = kRequestBytes - kHeader;

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "bit n of the bitmap is bit n of its 64-bit words");

// Walks bits [from, to) of a bitmap whose bit 0 is cluster `base`, 64 at a time: a free run
// opens at a 0 after a 1 and closes at a 1 after a 0. `freeStart` carries the open run
// (kNoCluster: none) from one call to the next; closed(start, end) gets each run that closes.
template <class Closed>
void walkBits(const uint8_t* bits, uint64_t base, uint64_t from, uint64_t to, uint64_t& freeStart, Closed&& closed) {
    const uint64_t lastWord = (to - 1) / 64;
    unsigned bit = static_cast<unsigned>(from % 64);
    for (uint64_t w = from / 64; w <= lastWord; ++w, bit = 0) {
        uint64_t word;
        std::memcpy(&word, bits + 8 * w, 8);
        const unsigned limit = w == lastWord ? static_cast<unsigned>((to - 1) % 64) + 1 : 64;
        const uint64_t wordBase = base + 64 * w;
        for (;;) {
            // The next 1 while a free run is open, the next 0 otherwise.
            const uint64_t wanted = (freeStart != kNoCluster ? word : ~word) & (~0ull << bit);
            const unsigned pos = wanted ? static_cast<unsigned>(__builtin_ctzll(wanted)) : 64;
            if (pos >= limit) break;
            if (freeStart != kNoCluster) {
                closed(freeStart, wordBase + pos - 1);
                freeStart = kNoCluster;
            } else {
                freeStart = wordBase + pos;
            }
            bit = pos;
        }
    }
}

}  // namespace

void scanVolumeBitmap(CDfrgVolume& volume, CExtentSnapshot& snapshot, CCriticalSection& lock, uint64_t first,
                      uint64_t last, bool refresh, const std::function<void()>& checkState) {
    CExtentSnapshot::Impl& impl = *snapshot.impl_;
    const uint64_t total = volume.totalClusters();
    if (!refresh) {
        CLockGuard guard(lock);
        impl.beginBuild(total);
    }
    // A range past the end of the volume stops at its last cluster.
    const uint64_t end = total == 0 ? 0 : last == kNoCluster ? total - 1 : std::min(last, total - 1);

    std::vector<uint64_t> storage((kBufferBytes + 7) / 8);
    auto* buffer = reinterpret_cast<VOLUME_BITMAP_BUFFER*>(storage.data());
    const uint8_t* bits = reinterpret_cast<const uint8_t*>(storage.data()) + kHeader;
    uint64_t next = first;  // the first cluster not yet walked
    uint64_t freeStart = kNoCluster;
    std::vector<CExtent> closedRuns;  // refresh: the runs found in the current chunk

    // While the list has room, a build's runs go straight to the end of the index.
    CExtentSnapshot::Impl::Narrow* narrow = refresh ? nullptr : impl.narrow.get();
    CExtentSnapshot::Impl::Wide* wide = refresh ? nullptr : impl.wide.get();
    size_t room = refresh ? 0 : narrow ? narrow->room() : wide->room();
    auto closeBuilt = [&](uint64_t s, uint64_t e) {
        if (room == 0) return impl.appendBuilt(s, e);
        --room;
        if (narrow) narrow->append(s, e);
        else wide->append(s, e);
    };
    auto closeRefreshed = [&](uint64_t s, uint64_t e) {
        CExtent r;
        r.start = s;
        r.end = e;
        closedRuns.push_back(r);
    };
    // The open run ends where the walk stopped; a build is finished with what it found.
    auto finish = [&] {
        CLockGuard guard(lock);
        if (freeStart != kNoCluster) {
            if (refresh) {
                impl.add(freeStart, next - 1);
            } else {
                impl.appendBuilt(freeStart, next - 1);
            }
            freeStart = kNoCluster;
        }
        impl.seal();
    };

    try {
        while (total != 0 && next <= end) {
            // A refresh asks only for the bytes its range needs (the answer starts at the byte
            // that holds the requested cluster).
            const uint64_t wantBytes = ((end - (next & ~uint64_t(7))) / 8 + 1 + 7) & ~uint64_t(7);
            const DWORD request = static_cast<DWORD>(kHeader + std::min(kChunkBytes, wantBytes));
            DWORD returned = 0;
            const BOOL ok = volume.getVolumeBitmap(static_cast<LONGLONG>(next), buffer, request, &returned);
            const DWORD error = ok ? ERROR_SUCCESS : platform::lastError();
            if (!ok && error != ERROR_MORE_DATA) break;
            if (returned < kHeader) break;
            const uint64_t start = static_cast<uint64_t>(buffer->StartingLcn.QuadPart);
            // An answer that begins after the clusters asked for would leave a hole in the walk.
            if (start > next) break;
            const uint64_t count =
                std::min<uint64_t>({uint64_t(returned - kHeader) * 8, uint64_t(request - kHeader) * 8,
                                    static_cast<uint64_t>(buffer->BitmapSize.QuadPart)});
            const uint64_t stop = std::min(start + count, end + 1);  // one past the last cluster walked
            // An answer with no cluster past those already walked would be asked for again and
            // again.
            if (stop <= next) break;
            if (refresh) {
                closedRuns.clear();
                walkBits(bits, start, next - start, stop - start, freeStart, closeRefreshed);
                CLockGuard guard(lock);
                impl.refresh(next, stop - 1, closedRuns);
            } else {
                CLockGuard guard(lock);
                walkBits(bits, start, next - start, stop - start, freeStart, closeBuilt);
            }
            next = stop;
            if (checkState) checkState();
            if (error != ERROR_MORE_DATA) break;
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
}
