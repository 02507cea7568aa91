// The volume dump of a memory volume without a service run: the same section the worker writes
// in dump mode (identity, bitmap, the entries a walk of the tree lists with their runs on disk).
#pragma once
#include "sim/memory_volume.h"
#include "volume/volume_dump_format.h"

// Appends the volume's section: the root, every directory and every file in the order of the
// worker's walk, files that are reparse points left out as the walk leaves them. Throws
// CDfrgException(ErrorWriteFile) when the output takes fewer bytes than written.
void writeImageDump(const CMemoryVolume& volume, volume_dump::CVolumeDumpWriter& writer);
