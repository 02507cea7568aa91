// Windows only.
#include "platform/make_directory.h"
#include "platform/win32_types.h"

bool makeDirectory(const WString& path) {
    return CreateDirectoryW(reinterpret_cast<const wchar_t*>(path.c_str()), nullptr) != 0;
}
