// Windows only.
#include "engine/dfrg_thread.h"

#include <io.h>
#include <share.h>
#include <stdio.h>

#include "logging/crash_report.h"
#include "platform/win32_types.h"

namespace {

const wchar_t* wide(const WString& path) { return reinterpret_cast<const wchar_t*>(path.c_str()); }

}  // namespace

std::FILE* openDumpFile(const WString& path) { return _wfsopen(wide(path), L"wb", _SH_DENYNO); }

int64_t dumpFilePosition(std::FILE* file) { return _ftelli64(file); }

bool cutDumpFile(std::FILE* file, int64_t size) {
    return fflush(file) == 0 && _chsize_s(_fileno(file), size) == 0 && _fseeki64(file, size, SEEK_SET) == 0;
}

bool replaceDumpFile(const WString& from, const WString& to) {
    return MoveFileExW(wide(from), wide(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

void removeDumpFile(const WString& path) { DeleteFileW(wide(path)); }

void installWorkerCrashReport() { installCrashReport(); }

bool enterBackgroundMode() {
    // Background mode lowers the thread's I/O and memory priority; not every system has it (Wine
    // refuses it), so the low processor priority is set on its own as well.
    SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN);
    return SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_LOWEST) != FALSE;
}
