// POSIX only: arguments arrive as the bytes the user typed, UTF-8 in any sane locale.
#include "settings/utf8_arguments.h"

namespace settings {

std::vector<std::string> utf8Arguments(int argc, char** argv) { return std::vector<std::string>(argv + 1, argv + argc); }

}  // namespace settings
