// The snapshot's position and size indexes must not change any answer: random series of
// additions (in build and in refresh order, overlapping ones included) and removals go to an
// indexed snapshot and to one that walks its list every time, and the runs, the smallest-run
// marker and every search must agree.
#include <gtest/gtest.h>

#include <iterator>
#include <random>

#include "volume/extent_snapshot.h"

namespace {

size_t markerPosition(const CExtentSnapshot& s) {
    size_t i = 0;
    for (const CExtent& r : s.runs()) {
        if (&r == s.smallestRun()) return i;
        ++i;
    }
    return i;
}

void expectSame(const CExtentSnapshot& s, const CExtentSnapshot& w, std::mt19937_64& random, uint64_t span) {
    ASSERT_EQ(s.runs(), w.runs());
    ASSERT_EQ(markerPosition(s), markerPosition(w));
    for (int q = 0; q < 8; ++q) {
        const uint64_t x = random() % (span + 2);
        const uint64_t n = 1 + random() % 40;
        uint64_t skip = kNoCluster;
        if (!w.runs().empty() && random() % 2) skip = std::next(w.runs().begin(), static_cast<long>(random() % w.size()))->start;
        ASSERT_EQ(bestFit(s, n, skip), bestFit(w, n, skip));
        ASSERT_EQ(bestFit(s, n, kNoCluster), bestFit(w, n, kNoCluster));
        ASSERT_EQ(freeRunAfter(s, x), freeRunAfter(w, x));
        ASSERT_EQ(freeRunBefore(s, x), freeRunBefore(w, x));
        ASSERT_EQ(startOfRunBefore(s, CExtent(x, x)), startOfRunBefore(w, CExtent(x, x)));
    }
    ASSERT_EQ(freeRunAfter(s, kNoCluster), freeRunAfter(w, kNoCluster));
    ASSERT_EQ(freeRunBefore(s, 0), freeRunBefore(w, 0));
}

}  // namespace

TEST(ExtentSnapshotIndexes, AnswerAsAWalkOfTheListDoes) {
    std::mt19937_64 random(20240611);
    for (int round = 0; round < 40; ++round) {
        const uint32_t maxRuns = round % 4 == 0 ? 6 : 1000;
        const uint64_t span = 300 + random() % 700;
        CExtentSnapshot s(maxRuns), w(maxRuns, false);
        auto both = [&](auto change) {
            change(s);
            change(w);
        };
        // A build: ascending runs with used clusters between them.
        for (uint64_t c = random() % 5; c < span;) {
            const CExtent run(c, std::min(c + random() % 12, span - 1));
            both([&](CExtentSnapshot& x) { x.addFreeRun(run, false); });
            c = run.end + 2 + random() % 10;
        }
        for (int step = 0; step < 400 && !HasFatalFailure(); ++step) {
            SCOPED_TRACE(testing::Message() << "round " << round << " step " << step);
            const uint64_t u = random() % span;
            const CExtent range(u, std::min(span - 1, u + random() % 25));
            const unsigned what = random() % 10;
            if (what < 4)  // freed clusters, sometimes clusters the list already holds
                both([&](CExtentSnapshot& x) { x.addFreeRun(range, true); });
            else if (what == 9 && random() % 8 == 0)  // a new build
                both([&](CExtentSnapshot& x) { x.clear(); });
            else
                both([&](CExtentSnapshot& x) { x.markUsed(range); });
            expectSame(s, w, random, span);
        }
    }
}
