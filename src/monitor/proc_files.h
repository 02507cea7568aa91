// The per-process files of Linux's /proc: parsing of /proc/<pid>/stat and /proc/<pid>/io, the
// stand-in for the Windows process accounting.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace monitor {

struct ProcStat {
    uint32_t processId = 0;
    uint32_t parentId = 0;
    std::string command;  // the name in parentheses, at most 15 characters
    char state = '?';
    int64_t terminal = 0;  // tty_nr: 0 = no controlling terminal
    uint64_t minorFaults = 0;
    uint64_t majorFaults = 0;
    uint64_t userTicks = 0;
    uint64_t systemTicks = 0;
};

// One line of /proc/<pid>/stat. The command may itself contain blanks and parentheses, so the
// fields are counted from the last ')'. False when the line is cut short or malformed.
bool parseProcStat(const std::string& text, ProcStat& stat);

struct ProcIo {
    uint64_t readChars = 0;   // rchar
    uint64_t writeChars = 0;  // wchar
};

// The "name: value" lines of /proc/<pid>/io; false when rchar or wchar is missing.
bool parseProcIo(const std::string& text, ProcIo& io);

// Clock ticks (USER_HZ) in 100-ns units.
uint64_t clockTicksTo100ns(uint64_t ticks, uint64_t ticksPerSecond);

// Linux build only: the stat lines of every process that can be read now; false when /proc
// cannot be listed.
bool readAllProcStats(std::vector<ProcStat>& stats);

}  // namespace monitor
