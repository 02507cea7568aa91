// Windows only.
#include "service/agent_autostart.h"

#include "platform/handles_win.h"
#include "platform/process_paths.h"
#include "platform/text.h"

namespace agent_autostart {

namespace {

constexpr wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

platform::UniqueRegKey openRunKey() {
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        return platform::UniqueRegKey();
    return platform::UniqueRegKey(key);
}

}  // namespace

bool registerAgent() {
    const std::string directory = platform::executableDirectory();
    if (directory.empty()) return false;
    platform::UniqueRegKey key = openRunKey();
    if (!key) return false;
    // Quoted, so that a blank in the folder's name cannot start another program at logon.
    const WString command = platform::utf8ToUtf16("\"" + directory + kAgentExecutable + "\"");
    const WString name = platform::utf8ToUtf16(kRunValueName);
    return RegSetValueExW(key.get(), reinterpret_cast<const wchar_t*>(name.c_str()), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(command.c_str()),
                          static_cast<DWORD>((command.size() + 1) * sizeof(char16_t))) == ERROR_SUCCESS;
}

bool unregisterAgent() {
    platform::UniqueRegKey key = openRunKey();
    if (!key) return false;
    const WString name = platform::utf8ToUtf16(kRunValueName);
    LONG rc = RegDeleteValueW(key.get(), reinterpret_cast<const wchar_t*>(name.c_str()));
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

}  // namespace agent_autostart
