// Windows only.
#include "logging/message_box.h"
#include "platform/text.h"
#include "platform/win32_types.h"

void showLogMessageBox(const std::string& text, const std::string& caption) {
    WString t = platform::utf8ToUtf16(text), c = platform::utf8ToUtf16(caption);
    MessageBoxW(nullptr, reinterpret_cast<const wchar_t*>(t.c_str()), reinterpret_cast<const wchar_t*>(c.c_str()), MB_OK);
}
