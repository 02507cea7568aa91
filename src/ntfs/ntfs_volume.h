// The volume interface over an unmounted NTFS device or image file, through Debian's libntfs-3g:
// the engine's bitmap, retrieval-pointer, move, open and listing calls answered from the file
// system's own structures, with the buffer layouts, partial-result rules and last-error values
// of the device controls they stand for. Linux only.
//
// A move keeps the file's data readable whatever happens: the target clusters are marked in use
// first, the data is copied, read back and compared, then the file's run list is switched in one
// write of its file record, and only then are the old clusters freed. A failure or a kill between
// the steps leaves at most the clusters of that one move marked in use without an owner, never a
// cluster owned twice. What it cannot move that way it refuses with ERROR_ACCESS_DENIED, as the
// file system refuses a file it keeps to itself: metadata files, compressed and encrypted data,
// attributes spread over several file records (an attribute list), and a run list that would
// outgrow its file record.
//
// Paths are those of the engine ("N:\dir\file", the drive letter given at construction). The
// volume has no change notifications: nothing else writes to an unmounted volume. All calls are
// serialised by one lock (the library is not thread safe).
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "volume/dfrg_volume_common.h"

class CNtfsVolume : public CDfrgVolumeCommon {
public:
    enum class Access { ReadOnly, ReadWrite };

    // Opens the device or image. Throws CDfrgException(ErrorVolumeUnavailable) with a message for
    // a person when it must not or cannot be used: mounted, marked dirty, hibernated (also by
    // Windows' fast start), not an NTFS volume ntfs-3g can open, or read-only when ReadWrite was
    // asked for.
    CNtfsVolume(const std::string& device, Access access, char16_t driveLetter = u'N');
    ~CNtfsVolume() override;
    CNtfsVolume(const CNtfsVolume&) = delete;
    CNtfsVolume& operator=(const CNtfsVolume&) = delete;

    BOOL getVolumeInformation(WCHAR* label, DWORD labelSize, DWORD* serial, DWORD* maxComponentLength, DWORD* flags,
                              WCHAR* fileSystemName, DWORD fileSystemNameSize) override;
    BOOL getDiskFreeSpace(DWORD* sectorsPerCluster, DWORD* bytesPerSector, DWORD* freeClusters,
                          DWORD* totalClusters) override;
    HANDLE createFile(const WString& path, DWORD access, DWORD shareMode, SECURITY_ATTRIBUTES* security,
                      DWORD disposition, DWORD flags, HANDLE templateFile) override;
    BOOL closeHandle(HANDLE handle) override;
    BOOL getFileSize(HANDLE file, LARGE_INTEGER* size) override;
    DWORD getFileAttributes(const WString& path) override;
    BOOL getVolumeBitmap(LONGLONG startingLcn, VOLUME_BITMAP_BUFFER* out, DWORD outSize,
                         DWORD* bytesReturned) override;
    BOOL moveFile(const MOVE_FILE_DATA& move) override;
    BOOL getRetrievalPointers(HANDLE file, LONGLONG startingVcn, RETRIEVAL_POINTERS_BUFFER* out, DWORD outSize,
                              DWORD* bytesReturned) override;
    HANDLE findFirstFile(const WString& pattern, WIN32_FIND_DATAW* data) override;
    BOOL findNextFile(HANDLE find, WIN32_FIND_DATAW* data) override;
    BOOL findClose(HANDLE find) override;
    // Null with ERROR_INVALID_FUNCTION.
    std::unique_ptr<CVolumeChangeFeed> openChangeFeed() override;

    // What the moves did since the volume was opened.
    struct MoveFigures {
        uint64_t moves = 0;          // moves that succeeded
        uint64_t clustersMoved = 0;  // clusters whose data was copied by them
        uint64_t refused = 0;        // moves refused with ERROR_ACCESS_DENIED
        uint64_t moveMicroseconds = 0;
    };
    MoveFigures moveFigures() const;

    // The steps of a move, in order. For tests: a move can be made to end right after a step, as
    // a kill at that moment would end it (FALSE with ERROR_WRITE_FAULT); 0 for none.
    enum MoveStep : int { kTargetReserved = 1, kDataCopied = 2, kRunListSwitched = 3, kOldFreed = 4 };
    void setStopAfterStep(int step);
    // Free clusters of the bitmap as it is now.
    uint64_t freeClusters() const;

protected:
    void adoptDeviceHandle(HANDLE device) override;
    BOOL queryNtfsVolumeData(NTFS_VOLUME_DATA_BUFFER* out, DWORD outSize, DWORD* bytesReturned) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    HANDLE device_ = INVALID_HANDLE_VALUE;
};
