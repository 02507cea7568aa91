// The settings tool's command line: lists, reads and changes the service's settings through the
// registry layer, under the product key of this process (config/product_key.h).
#pragma once
#include <iosfwd>
#include <string>
#include <vector>

namespace settings {

// Runs the tool with its arguments (without the program name); results go to out, complaints to
// err. Returns 0 when done, 1 when a name or value is refused or the registry cannot be read or
// written, 2 for a wrong command line (with the usage on err).
int runSettings(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace settings
