// Prints what the service has done, as the registry holds it:
//
//   velkaris-status [VOLUMES]      (VOLUMES: drive letters to show the modes of; default C..Z)
//
// One "name: value" line each: Status, Processed Files, Defragged Files, Moved Files (this pass),
// the same totals, Last File, "volumeMode_X" for every volume with a stored mode and
// "volumeSkipped_X" with the reason for every volume the service leaves alone.
// Like the service, it works from its own directory (on Linux the registry store is
// ..\state\registry.sqlite3 next to it, unless VELKARIS_REGISTRY_DB says otherwise).
#include <cctype>
#include <cstdio>
#include <string>

#include "platform/process_paths.h"
#include "status/status_view.h"

namespace {

const char kUsage[] =
    "usage: velkaris-status [VOLUMES]\n"
    "  the service's statistics and the stored mode of each volume; VOLUMES are drive letters\n"
    "  (default CDEFGHIJKLMNOPQRSTUVWXYZ). Exit code 1 when there are no statistics yet.\n";

// Drive letters, upper-cased; false for anything else.
bool parseVolumes(const std::string& text, std::string& volumes) {
    volumes.clear();
    for (char c : text) {
        if (!std::isalpha(static_cast<unsigned char>(c))) return false;
        volumes += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return !volumes.empty();
}

}  // namespace

int main(int argc, char** argv) {
    std::string volumes = "CDEFGHIJKLMNOPQRSTUVWXYZ";
    if (argc > 1) {
        std::string arg = argv[1];
        if (arg == "-h" || arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (argc > 2 || !parseVolumes(arg, volumes)) {
            std::fprintf(stderr, "velkaris-status: unexpected argument %s\n%s", argc > 2 ? argv[2] : argv[1], kUsage);
            return 2;
        }
    }
    std::string directory = platform::executableDirectory();
    if (!directory.empty()) platform::setCurrentDirectory(directory);
    statusview::ServiceProgress p = statusview::readProgress(volumes);
    if (!p.known) {
        std::printf("no statistics yet\n");
        return 1;
    }
    std::printf("Status: %d (%s)\n", p.status, statusview::statusName(p.status).c_str());
    std::printf("Processed Files: %llu\nDefragged Files: %llu\nMoved Files: %llu\n",
                static_cast<unsigned long long>(p.processed), static_cast<unsigned long long>(p.defragged),
                static_cast<unsigned long long>(p.moved));
    std::printf("Total Processed Files: %llu\nTotal Defragged Files: %llu\nTotal Moved Files: %llu\n",
                static_cast<unsigned long long>(p.totalProcessed), static_cast<unsigned long long>(p.totalDefragged),
                static_cast<unsigned long long>(p.totalMoved));
    std::printf("Last File: %s\n", p.lastFile.c_str());
    for (const auto& m : p.modes)
        if (m.second >= 0) std::printf("volumeMode_%c: %d\n", m.first, m.second);
    for (const auto& s : p.skipped) std::printf("volumeSkipped_%c: %s\n", s.first, statusview::skipReasonName(s.second).c_str());
    return 0;
}
