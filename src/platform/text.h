// Text conversions. Paths, volume names and registry string values are UTF-16 (`WString`);
// log texts, exception messages and registry key paths are narrow UTF-8.
#pragma once
#include <string>

using WString = std::u16string;

namespace platform {

// Invalid sequences become U+FFFD; conversions never throw on bad input.
WString utf8ToUtf16(const std::string& text);
std::string utf16ToUtf8(const WString& text);

// ASCII-only lower casing ('A'..'Z'), as the command line and name comparisons use it.
std::string asciiLower(std::string text);
WString asciiLower(WString text);

// Case-insensitive comparison as the registry orders names: each UTF-16 unit upper-cased in
// the ASCII and Latin-1 ranges; <0, 0, >0.
int compareNoCase(const WString& a, const WString& b);

}  // namespace platform
