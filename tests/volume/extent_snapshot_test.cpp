// The free-space snapshot against plain references: a list of runs walked from its start (the
// searches as the move strategies define them) and the bitmap itself (what a build gives), over
// random bitmaps, refreshes and changes of the list.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "platform/last_error.h"
#include "support/volume_test_support.h"
#include "volume/extent_snapshot.h"

using namespace voltest;

namespace {

CExtent run(uint64_t s, uint64_t e) { return CExtent(s, e); }

// The reference: runs in LCN order in a plain vector, every answer found by walking it.
struct PlainList {
    uint32_t maxRuns = ~0u;
    std::vector<CExtent> runs;

    std::vector<CExtent>::iterator smallest() {
        auto best = runs.begin();
        for (auto it = runs.begin(); it != runs.end(); ++it)
            if (it->size() < best->size()) best = it;
        return best;
    }
    void add(uint64_t s, uint64_t e) {
        bool joined = false;
        for (auto it = runs.begin(); it != runs.end();) {
            if (it->end + 1 >= s && it->start <= e + 1) {
                s = std::min(s, it->start);
                e = std::max(e, it->end);
                it = runs.erase(it);
                joined = true;
            } else {
                ++it;
            }
        }
        if (!joined && runs.size() >= maxRuns) {
            if (maxRuns == 0 || e - s + 1 <= smallest()->size()) return;
            runs.erase(smallest());
        }
        runs.insert(std::find_if(runs.begin(), runs.end(), [&](const CExtent& r) { return r.start > s; }), run(s, e));
    }
    void remove(uint64_t u, uint64_t v) {
        std::vector<CExtent> kept;
        for (const CExtent& r : runs) {
            if (r.end < u || r.start > v) {
                kept.push_back(r);
                continue;
            }
            if (r.start < u) kept.push_back(run(r.start, u - 1));
            if (r.end > v) kept.push_back(run(v + 1, r.end));
        }
        runs.swap(kept);
        while (runs.size() > maxRuns) runs.erase(smallest());
    }

    uint64_t firstFit(uint64_t n) const {
        for (const CExtent& r : runs)
            if (r.size() >= n) return r.start;
        return kNoCluster;
    }
    uint64_t bestFit(uint64_t n, uint64_t skip) const {
        const CExtent* best = nullptr;
        for (const CExtent& r : runs) {
            if (r.start == skip || r.size() < n) continue;
            if (!best || r.size() < best->size()) best = &r;
            if (r.size() == n) break;
        }
        return best ? best->start : kNoCluster;
    }
    const CExtent* find(uint64_t lcn, bool byEnd) const {
        for (const CExtent& r : runs)
            if ((byEnd ? r.end : r.start) == lcn) return &r;
        return nullptr;
    }
    uint64_t freeRunAfter(uint64_t x) const { return find(x + 1, false) ? find(x + 1, false)->size() : 0; }
    uint64_t freeRunBefore(uint64_t x) const { return find(x - 1, true) ? find(x - 1, true)->size() : 0; }
    uint64_t startOfRunBefore(const CExtent& e) const {
        const CExtent* r = e.start == kNoCluster ? nullptr : find(e.start - 1, true);
        return r ? r->start : kNoCluster;
    }
};

// Every search of the snapshot answers as the walk does, for lcns around base.
void expectSameAnswers(const CExtentSnapshot& s, PlainList& w, std::mt19937_64& random, uint64_t base, uint64_t span,
                       int queries = 12) {
    ASSERT_EQ(s.runs(), w.runs);
    uint64_t total = 0;
    for (const CExtent& r : w.runs) total += r.size();
    ASSERT_EQ(s.totalFree(), total);
    ASSERT_EQ(s.smallestRun(), w.runs.empty() ? CExtent() : *w.smallest());
    for (int q = 0; q < queries; ++q) {
        const uint64_t x = base + random() % (span + 2);
        const uint64_t n = q == 0 ? 0 : q == 1 ? (1ull << 40) : 1 + random() % 60;
        uint64_t skip = random() % 3 == 0 ? x : kNoCluster;
        if (!w.runs.empty() && random() % 2) skip = w.runs[random() % w.runs.size()].start;
        ASSERT_EQ(firstFit(s, n), w.firstFit(n)) << n;
        ASSERT_EQ(bestFit(s, n, skip), w.bestFit(n, skip)) << n << " " << skip;
        ASSERT_EQ(freeRunAfter(s, x), w.freeRunAfter(x));
        ASSERT_EQ(freeRunBefore(s, x), w.freeRunBefore(x));
        ASSERT_EQ(startOfRunBefore(s, CExtent(x, x)), w.startOfRunBefore(CExtent(x, x)));
    }
    ASSERT_EQ(freeRunAfter(s, kNoCluster), w.freeRunAfter(kNoCluster));
    ASSERT_EQ(freeRunBefore(s, 0), w.freeRunBefore(0));
    ASSERT_EQ(startOfRunBefore(s, CExtent()), kNoCluster);
}

// A bitmap of the test's own (1 = in use), answered as a file system does: from the byte that
// holds the requested cluster, and, when `short` is set, in pieces of a few bytes so that small
// volumes cross many answers.
struct Bitmap {
    std::vector<uint8_t> used;
    std::mt19937_64* random = nullptr;
    bool shortAnswers = false;

    BOOL answer(LONGLONG lcn, VOLUME_BITMAP_BUFFER* out, DWORD size, DWORD* returned) const {
        const uint64_t total = used.size();
        const uint64_t start = static_cast<uint64_t>(lcn) & ~uint64_t(7);
        const uint64_t needed = (total - start + 7) / 8;
        uint64_t bytes = std::min<uint64_t>(needed, size - 16);
        if (shortAnswers) bytes = std::min<uint64_t>(bytes, 1 + (*random)() % 24);
        out->StartingLcn.QuadPart = static_cast<LONGLONG>(start);
        out->BitmapSize.QuadPart = static_cast<LONGLONG>(total - start);
        uint8_t* bits = reinterpret_cast<uint8_t*>(out) + 16;
        for (uint64_t j = 0; j < bytes; ++j) {
            uint8_t b = 0;
            for (uint64_t k = 0; k < 8 && start + 8 * j + k < total; ++k) b |= uint8_t(used[start + 8 * j + k] << k);
            bits[j] = b;
        }
        *returned = static_cast<DWORD>(16 + bytes);
        if (bytes == needed) return TRUE;
        platform::setLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    std::vector<CExtent> freeRuns() const {
        std::vector<CExtent> out;
        for (uint64_t c = 0; c < used.size(); ++c) {
            if (used[c]) continue;
            if (!out.empty() && out.back().end + 1 == c) ++out.back().end;
            else out.push_back(run(c, c));
        }
        return out;
    }
    void set(uint64_t from, uint64_t count, bool inUse) {
        for (uint64_t c = from; c < from + count && c < used.size(); ++c) used[c] = inUse;
    }
};

}  // namespace

// Rounds of a random bitmap built and then refreshed in ranges, and rounds of a list changed
// directly: bounded (the smallest run gives way), past 32 bits, or of thousands of runs (several
// levels of the index) that wide changes thin out and fill again.
TEST(ExtentSnapshot, AnswersAsThePlainReferencesDo) {
    std::mt19937_64 random(20261207);
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE(testing::Message() << "round " << round);
        const bool fromBitmap = round < 12, wide = round % 5 == 4, large = !fromBitmap && round % 6 == 1;
        const uint32_t maxRuns = !fromBitmap && round % 3 == 0 ? static_cast<uint32_t>(random() % 40) : ~0u;
        const uint64_t total = round % 8 == 7 && fromBitmap ? 150000 + random() % 1000
                               : large                      ? 30000
                                                            : 1 + random() % 5000;
        Bitmap bitmap{std::vector<uint8_t>(fromBitmap ? total : 0), &random, round % 2 == 1};
        const uint64_t scale = 1 + random() % 30;
        for (uint64_t c = 0; c < bitmap.used.size();) {
            const uint64_t length = 1 + random() % (random() % 8 == 0 ? 40 * scale : scale);
            bitmap.set(c, length, random() % 2);
            c += length;
        }
        auto memory = makeVolume(fromBitmap ? total : 1);
        memory->answerControl(FSCTL_GET_VOLUME_BITMAP, [&](HANDLE, const void* in, DWORD, void* out, DWORD size,
                                                           DWORD* returned) {
            return bitmap.answer(static_cast<const STARTING_LCN_INPUT_BUFFER*>(in)->StartingLcn.QuadPart,
                                 static_cast<VOLUME_BITMAP_BUFFER*>(out), size, returned);
        });
        CSimulatedVolume volume(memory);
        CCriticalSection lock;
        CExtentSnapshot s(fromBitmap ? 1u << 20 : maxRuns);
        PlainList w{maxRuns, {}};
        if (fromBitmap) {
            scanVolumeBitmap(volume, s, lock, 0, kNoCluster, false, nullptr);
            w.runs = bitmap.freeRuns();
        }
        for (uint64_t c = random() % 3; large && c < total; c += 2 + random() % 6) {
            const CExtent r(c, c + random() % 3);
            s.addFreeRun(r);
            w.runs.push_back(r);
            c = r.end;
        }
        expectSameAnswers(s, w, random, 0, total);
        for (int step = 0; step < (fromBitmap ? 80 : large ? 100 : 300) && !HasFatalFailure(); ++step) {
            SCOPED_TRACE(testing::Message() << "step " << step);
            const uint64_t base = wide && step > 100 && random() % 2 ? (1ull << 40) : 0;
            const uint64_t u = base + random() % total;
            const uint64_t v = u + random() % (large && random() % 3 == 0 ? total / 4 : fromBitmap ? 50 : 25);
            const unsigned what = random() % 10;
            if (fromBitmap) {
                // Sometimes nothing changes, and the range refreshed may be free already.
                if (what < 8) bitmap.set(u, v - u + 1, what < 4);
                uint64_t first = u, last = v;
                if (random() % 4 == 0) first = first > 30 ? first - random() % 30 : 0;
                const unsigned tail = random() % 6;
                if (tail == 0) last = total - 1;                    // ends on the last cluster
                else if (tail == 1) last = total + random() % 100;  // past the end
                else if (tail == 2) last += random() % 30;
                scanVolumeBitmap(volume, s, lock, first, last, true, nullptr);
                w.runs = bitmap.freeRuns();
            } else if (what < 5) {
                s.addFreeRun(CExtent(u, v));
                w.add(u, v);
            } else if (what < 9) {
                s.markUsed(CExtent(u, v));
                w.remove(u, v);
            } else if (random() % 20 == 0) {
                s.clear();
                w.runs.clear();
            }
            expectSameAnswers(s, w, random, base, total, large ? 3 : 12);
        }
    }
}

TEST(ExtentSnapshot, TheContextReportsTheSnapshotAndItsRealMemory) {
    auto v = makeVolume(16);
    fillClusters(*v, u"C:\\used", 2, 3);
    ContextFixture f(v);
    CExtentSnapshot* none = reinterpret_cast<CExtentSnapshot*>(1);
    EXPECT_FALSE(f.context().snapshot(none));
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(f.context().totalFreeClusters(), kNoCluster);
    EXPECT_EQ(f.context().snapshotMemory(), 0u);

    ASSERT_TRUE(f.context().makeExtentSnapshot());
    EXPECT_EQ(runsOf(f.context()), (std::vector<std::pair<uint64_t, uint64_t>>{{0, 1}, {5, 15}}));
    EXPECT_EQ(f.context().totalFreeClusters(), 13u);
    CExtentSnapshot* s = nullptr;
    ASSERT_TRUE(f.context().snapshot(s));
    EXPECT_EQ(f.context().snapshotMemory(), s->memoryBytes());
    EXPECT_GT(s->memoryBytes(), 2 * sizeof(CExtent));
}

// (Chunks of a sound bitmap are the random rounds' test.)
TEST(ExtentSnapshot, StopsReadingTheBitmapOnAnAnswerItCannotUse) {
    const uint64_t total = 150001;
    auto v = makeVolume(total);
    fillClusters(*v, u"C:\\a", 71990, 20);
    CSimulatedVolume volume(v);
    CCriticalSection lock;
    // After a first chunk: a failure, and a "more data" answer that carries no bitmap bytes
    // (asked for again, it would never end).
    for (bool noBytes : {false, true}) {
        SCOPED_TRACE(noBytes);
        int calls = 0;
        v->answerControl(FSCTL_GET_VOLUME_BITMAP, [&](HANDLE h, const void* in, DWORD inSize, void* out, DWORD size,
                                                      DWORD* returned) -> BOOL {
            if (++calls == 1) return v->deviceIoControl(h, FSCTL_GET_VOLUME_BITMAP, in, inSize, out, size, returned);
            if (calls > 5) ADD_FAILURE() << "asked again";
            auto* answer = static_cast<VOLUME_BITMAP_BUFFER*>(out);
            answer->StartingLcn = static_cast<const STARTING_LCN_INPUT_BUFFER*>(in)->StartingLcn;
            answer->BitmapSize.QuadPart = static_cast<LONGLONG>(total) - answer->StartingLcn.QuadPart;
            *returned = noBytes ? 16 : 0;
            platform::setLastError(noBytes ? ERROR_MORE_DATA : ERROR_NOT_READY);
            return FALSE;
        });
        CExtentSnapshot s(1000);
        scanVolumeBitmap(volume, s, lock, 0, kNoCluster, false, nullptr);
        EXPECT_LE(calls, 2);
        EXPECT_EQ(s.runs(), (CExtentSnapshot::Runs{CExtent(0, 71989)}));
    }
}
