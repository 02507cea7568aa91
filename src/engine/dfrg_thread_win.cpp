// Windows only.
#include "engine/dfrg_thread.h"

#include <share.h>
#include <stdio.h>

#include "logging/crash_report.h"
#include "platform/win32_types.h"

std::FILE* openDumpFile(const WString& path) {
    return _wfsopen(reinterpret_cast<const wchar_t*>(path.c_str()), L"wb", _SH_DENYNO);
}

void installWorkerCrashReport() { installCrashReport(); }

bool enterBackgroundMode() { return SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN) != FALSE; }
