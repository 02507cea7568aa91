// The snapshot's position and size indexes must not change any answer: random series of
// additions (in build and in refresh order, overlapping ones included) and removals are applied
// to the snapshot and to a plain list that walks every time, and the runs, the smallest-run
// marker and every search must agree.
#include <gtest/gtest.h>

#include <iterator>
#include <list>
#include <random>

#include "volume/extent_snapshot.h"

namespace {

// The list without indexes: every position found by walking from the front.
class WalkedList {
public:
    explicit WalkedList(uint32_t maxRuns) : maxRuns_(maxRuns), smallest_(runs_.end()) {}

    const std::list<CExtent>& runs() const { return runs_; }
    const CExtent* smallest() const { return smallest_ == runs_.end() ? nullptr : &*smallest_; }

    void clear() {
        runs_.clear();
        smallest_ = runs_.end();
    }

    void add(const CExtent& run, bool ordered) {
        bool removed = false;
        if (runs_.size() >= maxRuns_) {
            if (maxRuns_ == 0) return;
            if (smallest_ == runs_.end()) recompute();
            if (run.size() <= smallest_->size()) return;
            runs_.erase(smallest_);
            smallest_ = runs_.end();
            removed = true;
        }
        Iter added;
        if (!ordered) {
            added = runs_.insert(runs_.end(), run);
        } else {
            auto pos = runs_.begin();
            while (pos != runs_.end() && pos->start < run.start) ++pos;
            added = runs_.insert(pos, run);
        }
        if (removed) recompute();
        else if (smallest_ == runs_.end() || runs_.size() == 1 || added->size() < smallest_->size()) smallest_ = added;
        if (!ordered || runs_.size() < 2) return;
        bool touched = false;
        auto current = added == runs_.begin() ? added : std::prev(added);
        for (auto next = std::next(current); next != runs_.end(); next = std::next(current)) {
            if (next->start > current->end + 1) break;
            if (next->end > current->end) {
                current->end = next->end;
                if (current == smallest_) touched = true;
            }
            if (next == smallest_) {
                touched = true;
                smallest_ = runs_.end();
            }
            runs_.erase(next);
        }
        if (touched) recompute();
    }

    void markUsed(uint64_t u, uint64_t v) {
        auto smaller = [&](Iter it) {
            if (smallest_ != runs_.end() && it->size() < smallest_->size()) smallest_ = it;
        };
        for (auto it = runs_.begin(); it != runs_.end();) {
            if (it->start > v) break;
            if (it->end < u) {
                ++it;
                continue;
            }
            if (it->start >= u && it->end <= v) {
                if (it == smallest_) smallest_ = runs_.end();
                it = runs_.erase(it);
                continue;
            }
            if (it->start >= u) {
                it->start = v + 1;
                smaller(it);
            } else if (it->end <= v) {
                it->end = u - 1;
                smaller(it);
            } else {
                CExtent back(v + 1, it->end);
                it->end = u - 1;
                auto second = runs_.insert(std::next(it), back);
                smaller(it);
                smaller(second);
                it = second;
            }
            ++it;
        }
        if (smallest_ == runs_.end()) recompute();
    }

    uint64_t bestFit(uint64_t n, uint64_t skip) const {
        const CExtent* best = nullptr;
        for (const CExtent& r : runs_) {
            if (r.start == skip || r.size() < n) continue;
            if (!best || r.size() < best->size()) best = &r;
            if (r.size() == n) break;
        }
        return best ? best->start : kNoCluster;
    }
    uint64_t after(uint64_t x) const {
        for (const CExtent& r : runs_) {
            if (r.start == x + 1) return r.size();
            if (r.start > x + 1) break;
        }
        return 0;
    }
    uint64_t before(uint64_t x) const {
        for (const CExtent& r : runs_) {
            if (r.end == x - 1) return r.size();
            if (r.end >= x) break;
        }
        return 0;
    }
    uint64_t startBefore(uint64_t x) const {
        for (const CExtent& r : runs_) {
            if (r.end == x - 1) return r.start;
            if (r.end >= x) break;
        }
        return kNoCluster;
    }

private:
    using Iter = std::list<CExtent>::iterator;
    void recompute() {
        smallest_ = runs_.end();
        for (auto it = runs_.begin(); it != runs_.end(); ++it)
            if (smallest_ == runs_.end() || it->size() < smallest_->size()) smallest_ = it;
    }

    uint32_t maxRuns_;
    std::list<CExtent> runs_;
    Iter smallest_;
};

void expectSame(const CExtentSnapshot& s, const WalkedList& w, std::mt19937_64& random, uint64_t span, int step) {
    ASSERT_EQ(s.runs(), w.runs()) << "step " << step;
    const CExtent* a = s.smallestRun();
    const CExtent* b = w.smallest();
    ASSERT_EQ(a == nullptr, b == nullptr) << "step " << step;
    if (a) {
        size_t ia = 0, ib = 0;
        for (auto it = s.runs().begin(); &*it != a; ++it) ++ia;
        for (auto it = w.runs().begin(); &*it != b; ++it) ++ib;
        ASSERT_EQ(ia, ib) << "smallest-run marker, step " << step;
    }
    for (int q = 0; q < 8; ++q) {
        const uint64_t x = random() % (span + 2);
        const uint64_t n = 1 + random() % 40;
        uint64_t skip = kNoCluster;
        if (!w.runs().empty() && random() % 2) {
            auto it = w.runs().begin();
            std::advance(it, static_cast<long>(random() % w.runs().size()));
            skip = it->start;
        }
        ASSERT_EQ(bestFit(s, n, skip), w.bestFit(n, skip)) << "step " << step;
        ASSERT_EQ(bestFit(s, n, kNoCluster), w.bestFit(n, kNoCluster)) << "step " << step;
        ASSERT_EQ(freeRunAfter(s, x), w.after(x)) << "step " << step;
        ASSERT_EQ(freeRunBefore(s, x), w.before(x)) << "step " << step;
        ASSERT_EQ(startOfRunBefore(s, CExtent(x, x)), w.startBefore(x)) << "step " << step;
    }
    ASSERT_EQ(freeRunAfter(s, kNoCluster), w.after(kNoCluster));
    ASSERT_EQ(freeRunBefore(s, 0), w.before(0));
}

}  // namespace

TEST(ExtentSnapshotIndexes, AnswerAsAWalkOfTheListDoes) {
    std::mt19937_64 random(20240611);
    for (int round = 0; round < 40; ++round) {
        const uint32_t maxRuns = round % 4 == 0 ? 6 : 1000;
        const uint64_t span = 300 + random() % 700;
        CExtentSnapshot s(maxRuns);
        WalkedList w(maxRuns);
        // A build: ascending runs with used clusters between them.
        for (uint64_t c = random() % 5; c < span;) {
            const uint64_t len = 1 + random() % 12;
            const CExtent run(c, std::min(c + len - 1, span - 1));
            s.addFreeRun(run, false);
            w.add(run, false);
            c = run.end + 2 + random() % 10;
        }
        expectSame(s, w, random, span, -1);
        for (int step = 0; step < 400; ++step) {
            const uint64_t u = random() % span;
            const uint64_t v = std::min(span - 1, u + random() % 25);
            switch (random() % 10) {
            case 0: case 1: case 2: case 3:  // refresh: clusters freed (sometimes already free)
                s.addFreeRun(CExtent(u, v), true);
                w.add(CExtent(u, v), true);
                break;
            case 9:
                if (random() % 8 == 0) {  // a new build
                    s.clear();
                    w.clear();
                    break;
                }
                [[fallthrough]];
            default:
                s.markUsed(CExtent(u, v));
                w.markUsed(u, v);
                break;
            }
            expectSame(s, w, random, span, step);
            if (HasFatalFailure()) return;
        }
    }
}
