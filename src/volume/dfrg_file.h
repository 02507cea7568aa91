// One file of a volume opened for defragmentation: where its clusters lie and moving them; and
// the directory listing through which the engine walks a volume. Worker thread only.
#pragma once
#include <cstdint>
#include <vector>

#include "platform/text.h"
#include "platform/unique_resource.h"
#include "volume/dfrg_context.h"
#include "volume/extent.h"

// Result codes of the move operations besides 0 (success), 5 and 87 (refused by the file
// system) and other Windows errors (a failed reopen): ErrorImpossible -18, ErrorInternal -19,
// ErrorFailed -20.
class CDfrgFile final : public PauseListener {
public:
    // Opens the file (a directory with backup semantics); throws CDfrgException with the last
    // error and "Couldn't open file <path>" when it cannot be opened.
    CDfrgFile(CDfrgContext& context, const WString& path, bool directory);
    ~CDfrgFile();
    CDfrgFile(const CDfrgFile&) = delete;
    CDfrgFile& operator=(const CDfrgFile&) = delete;

    // A pause closes the file, so that the user can use it; the next operation reopens it.
    void onPause() override;
    void onResume() override {}

    // True when open, else tries to reopen (the last error says why not).
    bool ensureOpen();
    void close();
    // Size in bytes; 0 when the file cannot be opened.
    uint64_t size();
    // Clusters that move as one: 16 for compressed and sparse files, else 1.
    uint64_t moveGranularity() const;

    // The file's runs in VCN order. False when the file cannot be reopened, the file system
    // answers with an unexpected error or a malformed record, or a virtual run comes first.
    bool getFileExtents(CFileExtentList& list);
    // Moves count clusters from startVcn to targetLcn, in steps of at most maxClusterMoveCount.
    int32_t moveClustersTo(uint64_t targetLcn, uint64_t count, uint64_t startVcn);
    // Moves the whole file `distance` clusters to the left, in steps that never overlap the
    // clusters still in use.
    int32_t shiftFileLeft(uint64_t distance);

    const WString& path() const { return path_; }
    DWORD attributes() const { return attributes_; }
    bool isDirectory() const { return directory_; }

private:
    bool open();
    // The chunk a move goes in: at most limit (0: no limit) and 32 bits, a multiple of the
    // granularity when larger than it.
    uint64_t moveChunk(uint64_t wanted) const;
    // Moves count clusters from startVcn on in steps of chunk, each ending on a boundary of the
    // extents; a refused step refreshes the snapshot over its target range when refreshOnFailure.
    int32_t moveSteps(uint64_t targetLcn, uint64_t count, uint64_t startVcn, uint64_t chunk,
                      const CFileExtentList& extents, bool refreshOnFailure);

    CDfrgContext& context_;
    WString path_;
    DWORD attributes_;
    bool directory_;
    platform::UniqueResource<VolumeFileHandleTraits> handle_;
};

struct CDirEntry {
    WString name;
    bool isDirectory = false;
    DWORD attributes = 0;
};

// Appends the entries of a directory ("C:" for the root) in the order the file system returns
// them: subdirectories (not "." and ".."), and with files also the files that are not reparse
// points. A directory that cannot be listed adds nothing.
void listDirectory(CDfrgVolume& volume, const WString& directory, std::vector<CDirEntry>& out, bool withFiles);
