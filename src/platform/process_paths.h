// The running executable's location and the process's current directory.
#pragma once
#include <string>

namespace platform {

// Full path of the running executable (UTF-8; backslashes on Windows), empty on failure.
std::string executablePath();
// The directory part of executablePath() with its trailing separator, as the process entry
// makes it current.
std::string executableDirectory();
bool setCurrentDirectory(const std::string& path);
std::string currentDirectory();
// The platform's directory separator as a narrow character.
char pathSeparator();
// Turns a path written with backslashes (as the system's own relative paths are) into one the
// platform's file calls accept.
std::string nativePath(const std::string& path);

}  // namespace platform
