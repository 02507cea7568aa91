// The program's arguments as UTF-8, whatever the console's code page, and a console that shows
// UTF-8 output.
#pragma once
#include <string>
#include <vector>

namespace settings {

// The arguments after the program name.
std::vector<std::string> utf8Arguments(int argc, char** argv);

}  // namespace settings
