#include "support/volume_test_support.h"

#include <gtest/gtest.h>

#include "platform/dfrg_exception.h"
#include "platform/last_error.h"
#include "volume/extent_snapshot.h"

namespace voltest {

namespace {
FakeClock* g_clock = nullptr;
}  // namespace

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

void fillClusters(CMemoryVolume& volume, const WString& path, uint64_t lcn, uint64_t count) {
    placeFile(volume, path, {{lcn, count}});
}

std::vector<Run> runsOfFile(CMemoryVolume& volume, const WString& path) {
    CMemoryVolume::FileInfo info;
    EXPECT_TRUE(volume.fileInfo(path, info)) << platform::utf16ToUtf8(path);
    return info.runs;
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
    : ContextFixture(std::move(volume), settings, {}) {}

ContextFixture::ContextFixture(std::shared_ptr<CMemoryVolume> volume, CDfrgVolumeSettings settings,
                               VolumeScript script)
    : memory_(std::move(volume)) {
    previousClock_ = g_clock;
    g_clock = &clock_;
    auto scripted = std::make_unique<CScriptedVolume>(memory_, std::move(script));
    volume_ = scripted.get();
    context_ = std::make_unique<CDfrgContext>(std::move(scripted), 0, settings);
}

ContextFixture::~ContextFixture() {
    context_.reset();
    g_clock = previousClock_;
}

void ContextFixture::advance(uint32_t ms) { g_clock->tick_ += ms; }
uint32_t ContextFixture::now() { return g_clock->tick_.load(); }
void ContextFixture::setStep(uint32_t ms) { g_clock->step_ = ms; }

std::vector<std::pair<uint64_t, uint64_t>> runsOf(CDfrgContext& context) {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    CExtentSnapshot* snapshot = nullptr;
    if (context.snapshot(snapshot))
        for (const CExtent& e : snapshot->runs()) out.emplace_back(e.start, e.end);
    return out;
}

// ---------------------------------------------------------------- scripted volume

CScriptedVolume::CScriptedVolume(std::shared_ptr<CMemoryVolume> memory, VolumeScript script)
    : CSimulatedVolume(std::move(memory), nullptr, [this](uint32_t) { ++pauses; }), script_(std::move(script)) {}

void CScriptedVolume::reopen() {
    scripted_ = true;
    openAttempts = 0;
    pauses = 0;
    open();
}

HANDLE CScriptedVolume::createFile(const WString& path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                                   DWORD disposition, DWORD flags, HANDLE templateFile) {
    if (scripted_ && path == devicePath()) {
        ++openAttempts;
        if (script_.deniedOpens > 0) {
            --script_.deniedOpens;
            platform::setLastError(script_.openError);
            return INVALID_HANDLE_VALUE;
        }
    }
    return CSimulatedVolume::createFile(path, access, shareMode, security, disposition, flags, templateFile);
}

BOOL CScriptedVolume::getVolumeInformation(WCHAR* label, DWORD labelSize, DWORD* serial, DWORD* maxComponentLength,
                                           DWORD* flags, WCHAR* fileSystemName, DWORD fileSystemNameSize) {
    if (!scripted_)
        return CSimulatedVolume::getVolumeInformation(label, labelSize, serial, maxComponentLength, flags,
                                                      fileSystemName, fileSystemNameSize);
    if (script_.volumeInformationFails) {
        platform::setLastError(ERROR_NOT_READY);
        return FALSE;
    }
    if (!CSimulatedVolume::getVolumeInformation(label, labelSize, serial, maxComponentLength, flags, fileSystemName,
                                                fileSystemNameSize))
        return FALSE;
    char16_t* name = asUtf16(fileSystemName);
    std::copy(script_.fileSystemName.begin(), script_.fileSystemName.end(), name);
    name[script_.fileSystemName.size()] = 0;
    return TRUE;
}

BOOL CScriptedVolume::getDiskFreeSpace(DWORD* sectorsPerCluster, DWORD* bytesPerSector, DWORD* freeClusters,
                                       DWORD* totalClusters) {
    if (!scripted_) return CSimulatedVolume::getDiskFreeSpace(sectorsPerCluster, bytesPerSector, freeClusters, totalClusters);
    *sectorsPerCluster = script_.fatSectorsPerCluster;
    *bytesPerSector = script_.fatBytesPerSector;
    *freeClusters = 0;
    *totalClusters = script_.fatTotalClusters;
    return TRUE;
}

BOOL CScriptedVolume::queryNtfsVolumeData(NTFS_VOLUME_DATA_BUFFER* out, DWORD outSize, DWORD* bytesReturned) {
    if (!scripted_) return CSimulatedVolume::queryNtfsVolumeData(out, outSize, bytesReturned);
    if (script_.ntfsDataFails) {
        platform::setLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    out->TotalClusters.QuadPart = static_cast<LONGLONG>(script_.ntfsTotalClusters);
    out->BytesPerCluster = script_.ntfsBytesPerCluster;
    return TRUE;
}

BOOL CScriptedVolume::getVolumeBitmap(LONGLONG startingLcn, VOLUME_BITMAP_BUFFER* out, DWORD outSize,
                                      DWORD* bytesReturned) {
    bitmapRequests.push_back(startingLcn);
    if (script_.bitmap) return script_.bitmap(startingLcn, out, outSize, bytesReturned);
    return CSimulatedVolume::getVolumeBitmap(startingLcn, out, outSize, bytesReturned);
}

BOOL CScriptedVolume::moveFile(const MOVE_FILE_DATA& move) {
    moves.push_back(move);
    return CSimulatedVolume::moveFile(move);
}

BOOL CScriptedVolume::getRetrievalPointers(HANDLE file, LONGLONG startingVcn, RETRIEVAL_POINTERS_BUFFER* out,
                                           DWORD outSize, DWORD* bytesReturned) {
    if (script_.retrieval) return script_.retrieval(file, startingVcn, out, outSize, bytesReturned);
    return CSimulatedVolume::getRetrievalPointers(file, startingVcn, out, outSize, bytesReturned);
}

}  // namespace voltest
