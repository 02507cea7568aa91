// Helpers for tests of the volume layer: small memory volumes with files placed at chosen
// clusters, a context over them, a controllable tick, and a volume whose facts are scripted.
#pragma once
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/fake_clock.h"
#include "volume/dfrg_context.h"
#include "volume/dfrg_volume_common.h"
#include "sim/memory_volume.h"
#include "sim/simulated_volume.h"

namespace voltest {

using Run = CMemoryVolume::Run;
constexpr uint64_t V = CMemoryVolume::kVirtualLcn;

std::shared_ptr<CMemoryVolume> makeVolume(uint64_t clusters, const WString& fileSystem = u"NTFS",
                                          const WString& label = u"Test");

// A file with these runs; its size is its clusters (compressed/sparse: whole units). Fails the
// test when the volume refuses it.
void placeFile(CMemoryVolume& volume, const WString& path, const std::vector<Run>& runs, DWORD attributes = 0);
// Marks clusters used by a file that owns exactly them.
void fillClusters(CMemoryVolume& volume, const WString& path, uint64_t lcn, uint64_t count);
std::vector<Run> runsOfFile(CMemoryVolume& volume, const WString& path);
// That a call failed (its result says so) with this last error.
testing::AssertionResult failedWith(bool succeeded, DWORD error);
inline testing::AssertionResult failedWith(HANDLE h, DWORD error) { return failedWith(h != INVALID_HANDLE_VALUE, error); }
// That `action` throws the error with this code (and this message unless it is null).
void expectDfrgError(const std::function<void()>& action, int code, const char* message = nullptr);

// A volume whose device and file-system answers are given by the test; the rest is the memory
// volume's.
struct VolumeScript {
    uint32_t deniedOpens = 0;          // device opens that fail with access denied
    DWORD openError = ERROR_ACCESS_DENIED;
    bool volumeInformationFails = false;
    WString fileSystemName = u"NTFS";
    bool ntfsDataFails = false;
    uint64_t ntfsTotalClusters = 0;
    uint32_t ntfsBytesPerCluster = 4096;
    DWORD fatSectorsPerCluster = 8, fatBytesPerSector = 512, fatTotalClusters = 0;
    // Bitmap answers (default: the memory volume's).
    std::function<BOOL(LONGLONG, VOLUME_BITMAP_BUFFER*, DWORD, DWORD*)> bitmap;
    // Retrieval answers (default: the memory volume's).
    std::function<BOOL(HANDLE, LONGLONG, RETRIEVAL_POINTERS_BUFFER*, DWORD, DWORD*)> retrieval;
};

class CScriptedVolume : public CSimulatedVolume {
public:
    CScriptedVolume(std::shared_ptr<CMemoryVolume> memory, VolumeScript script);

    uint32_t openAttempts = 0;
    uint32_t pauses = 0;
    std::vector<LONGLONG> bitmapRequests;
    std::vector<MOVE_FILE_DATA> moves;

    HANDLE createFile(const WString& path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                      DWORD disposition, DWORD flags, HANDLE templateFile) override;
    BOOL getVolumeInformation(WCHAR* label, DWORD labelSize, DWORD* serial, DWORD* maxComponentLength, DWORD* flags,
                              WCHAR* fileSystemName, DWORD fileSystemNameSize) override;
    BOOL getDiskFreeSpace(DWORD* sectorsPerCluster, DWORD* bytesPerSector, DWORD* freeClusters,
                          DWORD* totalClusters) override;
    BOOL getVolumeBitmap(LONGLONG startingLcn, VOLUME_BITMAP_BUFFER* out, DWORD outSize,
                         DWORD* bytesReturned) override;
    BOOL moveFile(const MOVE_FILE_DATA& move) override;
    BOOL getRetrievalPointers(HANDLE file, LONGLONG startingVcn, RETRIEVAL_POINTERS_BUFFER* out, DWORD outSize,
                              DWORD* bytesReturned) override;

    // Runs the construction steps again with the script in force (the memory volume's own
    // answers are used while the base class is being built).
    void reopen();

protected:
    BOOL queryNtfsVolumeData(NTFS_VOLUME_DATA_BUFFER* out, DWORD outSize, DWORD* bytesReturned) override;

private:
    VolumeScript script_;
    bool scripted_ = false;
};

// A context over a scripted memory volume, with a settable tick so that checkState polls when
// told to.
class ContextFixture {
public:
    explicit ContextFixture(std::shared_ptr<CMemoryVolume> volume, CDfrgVolumeSettings settings = {});
    ContextFixture(std::shared_ptr<CMemoryVolume> volume, CDfrgVolumeSettings settings, VolumeScript script);
    ~ContextFixture();

    CDfrgContext& context() { return *context_; }
    CMemoryVolume& memory() { return *memory_; }
    CScriptedVolume& volume() { return *volume_; }
    // The fixture's clock (the process's while it lives). advance's default lets the next
    // checkState poll the events; a step moves the clock at every reading.
    static void advance(uint32_t ms = 1000);
    static uint32_t now();
    static void setStep(uint32_t ms);

private:
    FakeClock clock_;
    FakeClock* previousClock_ = nullptr;
    std::shared_ptr<CMemoryVolume> memory_;
    CScriptedVolume* volume_;
    std::unique_ptr<CDfrgContext> context_;
};

// The free runs of a snapshot as (start, end) pairs.
std::vector<std::pair<uint64_t, uint64_t>> runsOf(CDfrgContext& context);

}  // namespace voltest
