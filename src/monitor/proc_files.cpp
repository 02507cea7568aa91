#include "monitor/proc_files.h"

#include <cstdlib>
#include <sstream>

namespace monitor {

namespace {

bool parseUnsigned(const std::string& text, uint64_t& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::strtoull(text.c_str(), nullptr, 10);
    return true;
}

}  // namespace

bool parseProcStat(const std::string& text, ProcStat& stat) {
    const size_t open = text.find('(');
    const size_t close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open) return false;
    uint64_t pid = 0;
    if (!parseUnsigned(text.substr(0, open > 0 ? open - 1 : 0), pid)) return false;

    // Fields after the command, numbered as in proc(5): 3 state, 4 ppid, 7 tty_nr, 10 minflt,
    // 12 majflt, 14 utime, 15 stime.
    std::istringstream rest(text.substr(close + 1));
    std::vector<std::string> fields;
    std::string field;
    while (fields.size() < 13 && rest >> field) fields.push_back(field);
    if (fields.size() < 13 || fields[0].size() != 1) return false;

    ProcStat parsed;
    parsed.processId = static_cast<uint32_t>(pid);
    parsed.command = text.substr(open + 1, close - open - 1);
    parsed.state = fields[0][0];
    uint64_t parent = 0;
    if (!parseUnsigned(fields[1], parent)) return false;
    parsed.parentId = static_cast<uint32_t>(parent);
    char* end = nullptr;
    parsed.terminal = std::strtoll(fields[4].c_str(), &end, 10);
    if (end == fields[4].c_str() || *end != '\0') return false;
    if (!parseUnsigned(fields[7], parsed.minorFaults) || !parseUnsigned(fields[9], parsed.majorFaults) ||
        !parseUnsigned(fields[11], parsed.userTicks) || !parseUnsigned(fields[12], parsed.systemTicks))
        return false;
    stat = parsed;
    return true;
}

bool parseProcIo(const std::string& text, ProcIo& io) {
    std::istringstream lines(text);
    std::string name;
    std::string value;
    bool haveRead = false;
    bool haveWrite = false;
    ProcIo parsed;
    while (lines >> name >> value) {
        if (name == "rchar:") haveRead = parseUnsigned(value, parsed.readChars);
        else if (name == "wchar:") haveWrite = parseUnsigned(value, parsed.writeChars);
    }
    if (!haveRead || !haveWrite) return false;
    io = parsed;
    return true;
}

uint64_t clockTicksTo100ns(uint64_t ticks, uint64_t ticksPerSecond) {
    if (ticksPerSecond == 0) return 0;
    return ticks / ticksPerSecond * 10000000u + ticks % ticksPerSecond * 10000000u / ticksPerSecond;
}

}  // namespace monitor
