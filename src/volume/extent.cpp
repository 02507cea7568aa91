#include "volume/extent.h"

#include <algorithm>

#include "platform/dfrg_exception.h"

CExtent::CExtent(uint64_t s, uint64_t e) : start(s), end(e) {
    if (s > e) throw CDfrgException(ErrorInvalidParameter, "Error, Extent Start is after End !");
}

void CRunList::add(uint64_t vcnCount, uint64_t lcnCount) {
    pairs_.emplace_back(vcnCount, lcnCount);
    largestRun_ = std::max(largestRun_, lcnCount);
}

void CRunList::extendLast(uint64_t vcnCount, uint64_t lcnCount) {
    if (pairs_.empty()) {
        add(vcnCount, lcnCount);
        return;
    }
    pairs_.back().first += vcnCount;
    pairs_.back().second += lcnCount;
    largestRun_ = std::max(largestRun_, pairs_.back().second);
}

CFileExtent::CFileExtent(const CFileExtent& o)
    : vcn(o.vcn), lcn(o.lcn), runs(o.runs ? std::make_unique<CRunList>(*o.runs) : nullptr) {}

CFileExtent& CFileExtent::operator=(const CFileExtent& o) {
    if (this != &o) {
        vcn = o.vcn;
        lcn = o.lcn;
        runs = o.runs ? std::make_unique<CRunList>(*o.runs) : nullptr;
    }
    return *this;
}

namespace {

uint64_t sumSizes(const CFileExtentList& list, CExtent CFileExtent::*field) {
    uint64_t total = 0;
    for (const CFileExtent& e : list) {
        const uint64_t size = (e.*field).size();
        if (size == kNoCluster || total > kNoCluster - size) return kNoCluster;
        total += size;
    }
    return total;
}

// The LCN that VCN v (inside the record or just past its end) maps to. Inside a compression
// unit whose tail is virtual, every VCN past the allocated clusters maps to the unit's end.
uint64_t lcnAt(const CFileExtent& e, uint64_t v) {
    if (!e.runs) return e.lcn.start + (v - e.vcn.start);
    uint64_t vcn = e.vcn.start, lcn = e.lcn.start;
    for (const auto& pair : e.runs->pairs()) {
        if (v < vcn + pair.first) return lcn + std::min(v - vcn, pair.second);
        vcn += pair.first;
        lcn += pair.second;
    }
    return e.lcn.end + 1;
}

}  // namespace

uint64_t totalVirtualClusters(const CFileExtentList& list) { return sumSizes(list, &CFileExtent::vcn); }

uint64_t totalLogicalClusters(const CFileExtentList& list) { return sumSizes(list, &CFileExtent::lcn); }

bool lowestLcn(const CFileExtentList& list, uint64_t& lcn) {
    bool found = false;
    for (const CFileExtent& e : list) {
        if (e.lcn.start == kNoCluster) continue;
        if (!found || e.lcn.start < lcn) lcn = e.lcn.start;
        found = true;
    }
    return found;
}

bool highestLcn(const CFileExtentList& list, uint64_t& lcn) {
    bool found = false;
    for (const CFileExtent& e : list) {
        if (e.lcn.end == kNoCluster) continue;
        if (!found || e.lcn.end > lcn) lcn = e.lcn.end;
        found = true;
    }
    return found;
}

uint64_t largestRun(const CFileExtentList& list) {
    uint64_t largest = 1;
    for (const CFileExtent& e : list)
        if (e.runs) largest = std::max(largest, e.runs->largestRun());
    return largest;
}

bool vcnBoundary(const CFileExtentList& list, uint64_t v, uint64_t unit, uint64_t& boundaryVcn, uint64_t& boundaryLcn) {
    uint64_t fileEnd = 0;
    for (const CFileExtent& e : list)
        if (e.vcn.valid()) fileEnd = std::max(fileEnd, e.vcn.end + 1);
    if (v > fileEnd) return false;
    // A step may only end on a unit boundary (or at the end of the file). The boundary is found
    // inside the pair that holds it, not at the pair's end: a run of the file system can span
    // several units, and its end can lie in the middle of one.
    if (unit > 1 && v % unit != 0) v = std::min(fileEnd, v + (unit - v % unit));
    for (const CFileExtent& e : list) {
        if (!e.vcn.valid() || !e.lcn.valid() || e.vcn.end + 1 < v || e.vcn.start > v) continue;
        boundaryVcn = v;
        boundaryLcn = lcnAt(e, v);
        return true;
    }
    return false;
}

uint64_t allocatedClusters(const CFileExtentList& list, uint64_t a, uint64_t b) {
    uint64_t total = 0;
    for (const CFileExtent& e : list) {
        if (!e.vcn.valid() || e.vcn.end < a || e.vcn.start > b) continue;
        if (!e.lcn.valid()) return kNoCluster;
        const uint64_t l1 = lcnAt(e, std::max(a, e.vcn.start));
        const uint64_t l2 = lcnAt(e, std::min(b + 1, e.vcn.end + 1));
        if (l2 < l1) return kNoCluster;
        total += l2 - l1;
    }
    return total;
}
