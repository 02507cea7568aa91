// Writes the dump of one volume (identity, cluster bitmap, files with their extents) as a volume
// section of a dump file (layout in engine/volume_dump_format.h). Used by the worker in dump mode.
#pragma once
#include <cstdint>
#include <cstdio>

class CDfrgConfig;
class CDfrgContext;

// Which entries a dump lists, by the setting "dumpType":
//   0 (and any value not named here): the root directory, every directory and every file;
//   1: the files only.
// Directories are listed with a trailing backslash and before their contents, in the order of the
// walk. Files that are reparse points are never listed (the walk does not follow them).
enum VolumeDumpType : uint32_t {
    kDumpEverything = 0,
    kDumpFilesOnly = 1,
};

// Appends one volume section for the context's volume to `out` (opened "wb"). The entries are
// collected first (the time this takes is logged as "Time needed: "), then each is opened and its
// extents read; an entry that can no longer be opened or read is written without extents. Throws
// CDfrgException(ErrorWriteFile) when the file takes fewer bytes than written, and passes on the
// stop request of the context.
void writeVolumeDump(CDfrgContext& context, CDfrgConfig& config, std::FILE* out);
