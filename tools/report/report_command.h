// The report tool's command line: figures and cluster maps of a volume dump, or the comparison
// of two dumps of the same machine.
#pragma once
#include <iosfwd>
#include <string>
#include <utility>
#include <vector>

#include "volume/volume_dump_format.h"

namespace report {

// Runs the tool with its arguments (without the program name); the text report goes to out,
// complaints to err. Returns 0 when done, 1 when a dump cannot be read or an output cannot be
// written, 2 for a wrong command line.
int runReport(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

// Pairs the volumes of two dumps by drive letter, in the order of the first dump, then the
// second dump's volumes that have no partner; -1 marks a missing side.
std::vector<std::pair<int, int>> pairVolumes(const std::vector<volume_dump::VolumeDumpVolume>& first,
                                             const std::vector<volume_dump::VolumeDumpVolume>& second);

// The file name of a volume's picture: prefix, the 1-based position, the drive letter
// ("after_2_D.png"); a letter that is not an ASCII letter or digit becomes 'x'.
std::string pictureName(const std::string& prefix, size_t position, char16_t driveLetter);

}  // namespace report
