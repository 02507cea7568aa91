// The memory volume: a simulated NTFS-like volume exact enough to run the engine on. It has a
// tree of files and directories with attributes and run lists (virtual runs for compressed and
// sparse files), a cluster bitmap, a 32-bit stand-in for the data of every cluster, and it
// answers the calls of the volume interface with the Windows buffer layouts, partial-result
// rules and last-error values. Faults can be injected, and changes reach change feeds.
//
// Share modes are not enforced: a file that another program holds open is injected as a fault.
// All operations are thread safe (one lock). Create it with std::make_shared: change feeds keep
// the volume alive.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/text.h"
#include "platform/win32_types.h"

class CVolumeChangeFeed;

class CMemoryVolume : public std::enable_shared_from_this<CMemoryVolume> {
public:
    struct Geometry {
        uint64_t totalClusters = 0;
        uint32_t bytesPerCluster = 4096;
        uint32_t bytesPerSector = 512;
        uint32_t serialNumber = 0x5EED0001;
        WString label;
        WString fileSystemName = u"NTFS";
        // A solid-state disk reports no seek penalty (IOCTL_STORAGE_QUERY_PROPERTY).
        bool solidState = false;
    };

    // A run of a file in VCN order; lcn kVirtualLcn is a virtual run (a sparse hole or the
    // unallocated tail of a compression unit).
    struct Run {
        uint64_t lcn;
        uint64_t length;
        bool operator==(const Run& o) const { return lcn == o.lcn && length == o.length; }
    };
    static constexpr uint64_t kVirtualLcn = ~0ull;
    // Clusters per compression unit; compressed and sparse files are allocated and moved in
    // whole units.
    static constexpr uint64_t kCompressionUnit = 16;
    // Files up to this size live in their file record and own no clusters.
    static constexpr uint64_t kResidentLimit = 700;

    CMemoryVolume(const Geometry& geometry, char16_t driveLetter = u'C');
    ~CMemoryVolume();
    CMemoryVolume(const CMemoryVolume&) = delete;
    CMemoryVolume& operator=(const CMemoryVolume&) = delete;

    Geometry geometry() const;
    char16_t driveLetter() const;
    void setDriveLetter(char16_t letter);

    // --- The calls of a Windows program, reporting as those do (see dfrg_volume.h). Paths are
    // full paths on this volume ("C:\dir\file"); "\\.\C:" opens the volume device. As on
    // Windows, a plain path of MAX_PATH (260) characters or more fails with ERROR_PATH_NOT_FOUND;
    // a "\\?\" path may have up to 32767 (else ERROR_FILENAME_EXCED_RANGE).
    HANDLE createFile(const WString& path, DWORD access, DWORD shareMode, DWORD disposition, DWORD flagsAndAttributes);
    BOOL closeHandle(HANDLE handle);
    BOOL getFileSize(HANDLE file, LARGE_INTEGER* size);
    DWORD getFileAttributes(const WString& path);
    BOOL deviceIoControl(HANDLE handle, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                         DWORD* bytesReturned);
    HANDLE findFirstFile(const WString& pattern, WIN32_FIND_DATAW* data);
    BOOL findNextFile(HANDLE find, WIN32_FIND_DATAW* data);
    BOOL findClose(HANDLE find);
    BOOL getVolumeInformation(WCHAR* label, DWORD labelSize, DWORD* serial, DWORD* maxComponentLength, DWORD* flags,
                              WCHAR* fileSystemName, DWORD fileSystemNameSize);
    BOOL getDiskFreeSpace(DWORD* sectorsPerCluster, DWORD* bytesPerSector, DWORD* freeClusters, DWORD* totalClusters);
    // CreateDirectoryW.
    BOOL createDirectory(const WString& path);
    // WriteFile at the end of a file opened for writing: the file grows by `bytes`, new clusters
    // come from the allocator (after the file's last cluster when free, else the next free runs).
    BOOL appendToFile(HANDLE file, uint64_t bytes);
    // DeleteFileW: removes the name; the file's clusters are freed with its last name.
    BOOL deleteFile(const WString& path);
    // CreateHardLinkW: a further name for an existing file (not a directory).
    BOOL createHardLink(const WString& newPath, const WString& existingPath);
    // Change notifications of this volume; null with ERROR_NOT_READY once the volume is gone.
    std::unique_ptr<CVolumeChangeFeed> openChangeFeed();

    // --- Layout without the allocator (tests, images): a file (or, with
    // FILE_ATTRIBUTE_DIRECTORY, a directory) with exactly these runs in VCN order. The parent
    // must exist and the clusters be free. False with the last error set otherwise.
    bool placeFile(const WString& path, DWORD attributes, uint64_t size, const std::vector<Run>& runs);

    // --- The same by file id, for tools that build or age a large volume: no path is looked up.
    // The root is kRootId. createById makes a file (or, with FILE_ATTRIBUTE_DIRECTORY, a
    // directory) in a directory and returns its id, kNoFile with the last error on failure;
    // appendById grows a file as appendToFile does; deleteById removes a file with all its names.
    static constexpr uint32_t kRootId = 0;
    static constexpr uint32_t kNoFile = 0xFFFFFFFFu;
    uint32_t createById(uint32_t parent, const WString& name, DWORD attributes);
    BOOL appendById(uint32_t id, uint64_t bytes);
    BOOL deleteById(uint32_t id);

    // --- Faults.
    // The next `count` moves fail with `error` (5 or 87 as the file system refuses them).
    void refuseMoves(DWORD error, uint32_t count);
    // Opening this path fails with `error` (32 locked, 2 vanished, 5 denied) until cleared with 0.
    void setOpenFault(const WString& path, DWORD error);
    // The next `count` opens of the volume device fail with access denied.
    void denyDeviceOpens(uint32_t count);
    // GetVolumeInformation fails with `error` until cleared with 0.
    void failVolumeInformation(DWORD error);
    // A device control answered by the test (a file system that answers in its own way, or one
    // that is watched): a simulated volume hands every call with this code to `answer` instead,
    // which may still ask this volume. An empty answer clears it.
    using ControlAnswer = std::function<BOOL(HANDLE handle, const void* in, DWORD inSize, void* out, DWORD outSize,
                                             DWORD* bytesReturned)>;
    void answerControl(DWORD code, ControlAnswer answer);
    ControlAnswer controlAnswer(DWORD code) const;
    // The volume goes away: from now on every call fails with ERROR_NOT_READY (closing handles
    // still succeeds) and change feeds end.
    void goAway();
    bool isGone() const;

    // --- Inspection.
    struct FileInfo {
        uint32_t id = 0;
        bool directory = false;
        DWORD attributes = 0;
        uint64_t size = 0;
        std::vector<Run> runs;
    };
    bool fileInfo(const WString& path, FileInfo& info) const;
    bool isClusterUsed(uint64_t lcn) const;
    uint64_t freeClusters() const;
    // Moves that succeeded since the volume was made or opened.
    uint64_t movesDone() const;
    // Whole-volume checks: every cluster owned at most once, the bitmap equal to the run lists,
    // sizes matching allocations, every cluster holding the data its file put there, a sound tree.
    // Returns the problems found (at most 100), empty when the volume is sound.
    std::vector<std::string> checkIntegrity() const;
    // Counted as a walk of the tree sees the volume (and as a dump of it lists it): a file
    // with several names counts once per name; files that are reparse points are counted apart,
    // since the walk leaves them alone; directories, the root among them, count as directories
    // only, whatever clusters their indexes take.
    struct Statistics {
        uint64_t files = 0;
        uint64_t directories = 0;
        uint64_t reparsePoints = 0;
        uint64_t fragmentedFiles = 0;
        uint64_t fragments = 0;  // physical pieces of all files with clusters
        uint64_t filesWithClusters = 0;
        uint64_t freeClusters = 0;
        uint64_t freeRuns = 0;
        uint64_t largestFreeRun = 0;
        uint64_t usedBytes = 0;
        // Free clusters among the last totalClusters % 8, which a dump's bitmap has no bit for.
        uint64_t freeClustersWithoutDumpBit = 0;
    };
    Statistics statistics() const;

    // --- Persistence. A journal receives every change as one record before the change is
    // made; a change whose record cannot be written fails with the journal's error.
    class Journal {
    public:
        virtual ~Journal() = default;
        // ERROR_SUCCESS once the record is durable, else an error code.
        virtual DWORD write(const std::vector<uint8_t>& record) = 0;
    };
    void setJournal(Journal* journal);
    // Applies a record that a journal received; false when it does not fit this volume.
    bool replay(const uint8_t* record, size_t size);
    // The whole state (geometry, tree, bitmap, cluster data) as bytes, and back; a piece at a
    // time, so that a large volume never exists twice in memory.
    class StateSink {
    public:
        virtual ~StateSink() = default;
        virtual bool write(const uint8_t* data, size_t size) = 0;
    };
    class StateSource {
    public:
        virtual ~StateSource() = default;
        // Exactly `size` bytes, or false.
        virtual bool read(uint8_t* data, size_t size) = 0;
        // Bytes left, to weigh counts against before anything is allocated for them.
        virtual uint64_t remaining() const = 0;
    };
    bool serialize(StateSink& out) const;
    void serialize(std::vector<uint8_t>& out) const;
    static std::shared_ptr<CMemoryVolume> deserialize(StateSource& in, std::string& error);
    static std::shared_ptr<CMemoryVolume> deserialize(const uint8_t* data, size_t size, std::string& error);
    // The geometry at the start of a serialized state, without the rest.
    static bool readGeometry(StateSource& in, Geometry& geometry, std::string& error);
    // Calls visit for every directory and every file that is not a reparse point, each directory
    // before its contents, in the order a walk of the tree lists them (the root first, with an
    // empty path); paths are relative to the root. What a dump of the volume lists.
    void forEachWalkedEntry(const std::function<void(const WString& path, bool directory,
                                                     const std::vector<Run>& runs)>& visit) const;
    // The cluster bitmap as a dump holds it: one bit per cluster, 1 = in use, (total + 7) / 8 bytes.
    std::vector<uint8_t> bitmapBytes() const;

    // The data a file's cluster at a VCN holds.
    static uint32_t clusterTag(uint32_t fileId, uint64_t vcn);

    struct State;

private:
    friend class CMemoryChangeFeed;
    mutable std::mutex lock_;
    std::unique_ptr<State> state_;
};
