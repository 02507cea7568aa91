// The headers of Debian's libntfs-3g, with what they expect to have been included before them.
// Only the sources of this folder include it; the rest of the program sees no library type.
#pragma once
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <ctime>
#include <sys/stat.h>
#include <sys/types.h>

extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/layout.h>
#include <ntfs-3g/volume.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/bitmap.h>
#include <ntfs-3g/runlist.h>
#include <ntfs-3g/device.h>
#include <ntfs-3g/lcnalloc.h>
#include <ntfs-3g/logging.h>
#include <ntfs-3g/unistr.h>
}
// The library's min and max macros would break the standard library's.
#undef min
#undef max
