// Cluster ranges and a file's runs, and the small queries over them that the move strategies
// use.
#pragma once
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

constexpr uint64_t kNoCluster = ~0ull;

// An inclusive range of clusters. Both fields all ones is the invalid extent.
class CExtent {
public:
    CExtent() = default;
    // Throws CDfrgException(87) "Error, Extent Start is after End !" when start > end.
    CExtent(uint64_t start, uint64_t end);

    uint64_t start = kNoCluster;
    uint64_t end = kNoCluster;

    bool valid() const { return start != kNoCluster && end != kNoCluster; }
    // end - start + 1; all ones when either bound is all ones.
    uint64_t size() const { return valid() ? end - start + 1 : kNoCluster; }
    bool operator==(const CExtent& o) const { return start == o.start && end == o.end; }
    bool operator!=(const CExtent& o) const { return !(*this == o); }
};

// The compression units (or stretches) of a compressed or sparse file's record: pairs of
// (vcnCount, lcnCount).
class CRunList {
public:
    void add(uint64_t vcnCount, uint64_t lcnCount);
    // Adds to the last pair (a new pair when there is none).
    void extendLast(uint64_t vcnCount, uint64_t lcnCount);

    const std::vector<std::pair<uint64_t, uint64_t>>& pairs() const { return pairs_; }
    uint64_t largestRun() const { return largestRun_; }

private:
    std::vector<std::pair<uint64_t, uint64_t>> pairs_;
    uint64_t largestRun_ = 1;
};

// One run of a file: the virtual clusters it covers and where they lie on the volume (for a
// compressed or sparse file the allocated clusters only, with the unit structure in runs).
class CFileExtent {
public:
    CFileExtent() = default;
    CFileExtent(const CExtent& vcn, const CExtent& lcn) : vcn(vcn), lcn(lcn) {}
    CFileExtent(const CFileExtent& o);
    CFileExtent& operator=(const CFileExtent& o);
    CFileExtent(CFileExtent&&) = default;
    CFileExtent& operator=(CFileExtent&&) = default;
    virtual ~CFileExtent() = default;

    CExtent vcn;
    CExtent lcn;
    std::unique_ptr<CRunList> runs;  // null for an ordinary file
};

using CFileExtentList = std::vector<CFileExtent>;

// Sums of the VCN and LCN sizes (all ones when an invalid range is met).
uint64_t totalVirtualClusters(const CFileExtentList& list);
uint64_t totalLogicalClusters(const CFileExtentList& list);
// Smallest valid lcn.start / largest valid lcn.end; false for a list without one.
bool lowestLcn(const CFileExtentList& list, uint64_t& lcn);
bool highestLcn(const CFileExtentList& list, uint64_t& lcn);
// The largest compression-unit run of the list; records without a run list count 1.
uint64_t largestRun(const CFileExtentList& list);
// Where a move step that should end at VCN v may end, and the LCN there: v itself, or for a
// file that moves in units of `unit` clusters, v rounded up to the next unit boundary (at most
// the end of the file). False when v lies past the end of the file or in no record.
bool vcnBoundary(const CFileExtentList& list, uint64_t v, uint64_t unit, uint64_t& boundaryVcn,
                 uint64_t& boundaryLcn);
// Clusters allocated on the volume for the VCN range [a, b]; all ones when a mapping fails.
uint64_t allocatedClusters(const CFileExtentList& list, uint64_t a, uint64_t b);
