#include "support/volume_test_support.h"

#include <gtest/gtest.h>

#include "platform/clock.h"
#include "platform/dfrg_exception.h"
#include "platform/last_error.h"
#include "volume/extent_snapshot.h"

namespace voltest {

std::shared_ptr<CMemoryVolume> makeVolume(uint64_t clusters, const WString& fileSystem, const WString& label) {
    CMemoryVolume::Geometry g;
    g.totalClusters = clusters;
    g.fileSystemName = fileSystem;
    g.label = label;
    return std::make_shared<CMemoryVolume>(g);
}

void placeFile(CMemoryVolume& volume, const WString& path, const std::vector<Run>& runs, DWORD attributes) {
    uint64_t clusters = 0;
    for (const Run& r : runs) clusters += r.length;
    const uint64_t bpc = volume.geometry().bytesPerCluster;
    const bool units = attributes & (FILE_ATTRIBUTE_COMPRESSED | FILE_ATTRIBUTE_SPARSE_FILE);
    const uint64_t size = units ? (clusters - CMemoryVolume::kCompressionUnit + 1) * bpc : clusters * bpc;
    ASSERT_TRUE(volume.placeFile(path, attributes, clusters ? size : 0, runs))
        << platform::utf16ToUtf8(path) << " error " << platform::lastError();
}

std::vector<Run> runsOfFile(CMemoryVolume& volume, const WString& path) {
    CMemoryVolume::FileInfo info;
    EXPECT_TRUE(volume.fileInfo(path, info)) << platform::utf16ToUtf8(path);
    return info.runs;
}

uint64_t piecesOf(const std::vector<Run>& runs) {
    uint64_t pieces = 0, next = V;
    for (const Run& r : runs) {
        if (r.lcn == V) continue;
        pieces += r.lcn != next;
        next = r.lcn + r.length;
    }
    return pieces;
}

testing::AssertionResult failedWith(bool succeeded, DWORD error) {
    if (succeeded) return testing::AssertionFailure() << "succeeded";
    if (platform::lastError() != error) return testing::AssertionFailure() << "error " << platform::lastError();
    return testing::AssertionSuccess();
}

void expectDfrgError(const std::function<void()>& action, int code, const char* message) {
    try {
        action();
        ADD_FAILURE() << "no error";
    } catch (const CDfrgException& e) {
        EXPECT_EQ(e.code(), code);
        if (message) {
            EXPECT_EQ(e.message(), message);
        }
    }
}

ContextFixture::ContextFixture(std::shared_ptr<CMemoryVolume> volume, CDfrgVolumeSettings settings)
    : context_(std::make_unique<CDfrgContext>(std::make_unique<CSimulatedVolume>(std::move(volume)), 0, settings)) {}

bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 6000 && !condition(); ++i) platform::systemSleepMs(10);  // really waits
    return condition();
}

std::vector<std::pair<uint64_t, uint64_t>> runsOf(CDfrgContext& context) {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    CExtentSnapshot* snapshot = nullptr;
    if (context.snapshot(snapshot))
        for (const CExtent& e : snapshot->runs()) out.emplace_back(e.start, e.end);
    return out;
}

}  // namespace voltest
