#include "logging/log_components.h"

#include <cstdio>
#include <cstring>
#include <ctime>

#include "logging/crash_report.h"
#include "logging/message_box.h"

namespace {
constexpr size_t kMaxTimeFormatLength = 64;

void appendProperties(std::string& out, const std::vector<LogProperty>& props, int indent) {
    for (const LogProperty& p : props) {
        out.append(static_cast<size_t>(indent), ' ');
        out += p.name;
        out += ": ";
        out += p.value;
        out += '\n';
        if (p.nested) appendProperties(out, p.children, indent + 1);
    }
}

// Position of the file name's last "." (within its last path component), or npos.
size_t extensionDot(const std::string& fileName) {
    size_t slash = fileName.find_last_of("\\/");
    size_t dot = fileName.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return std::string::npos;
    return dot;
}
}  // namespace

void CSimpleLayout::applySettings(const LogSettings& s) {
    includeTime_ = logSettingBool(s, "includeTime", false);
    timeFormat_ = logSettingText(s, "includeTime/timeformat", "%X");
    refusedTimeFormat_.clear();
    if (!isSupportedTimeFormat(timeFormat_)) {
        refusedTimeFormat_ = timeFormat_;
        timeFormat_ = "%X";
    }
    includeThread_ = logSettingBool(s, "includeThread", false);
    includePriorities_ = logSettingBool(s, "includePriorities", false);
    includeProperties_ = logSettingBool(s, "includeProperties", false);
}

bool CSimpleLayout::isSupportedTimeFormat(const std::string& format) {
    if (format == "%ms") return true;
    if (format.size() > kMaxTimeFormatLength) return false;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') continue;
        if (++i < format.size() && format[i] == '#') ++i;  // the runtime's "alternate form" flag
        if (i >= format.size() || !std::strchr("aAbBcdHIjmMpSUwWxXyYzZ%", format[i]) || format[i] == '\0') return false;
    }
    return true;
}

std::string CSimpleLayout::formatTime(const std::string& format, const platform::LocalTime& t) {
    // Each conversion of a supported format gives at most a long date, so this always suffices.
    char buffer[kMaxTimeFormatLength * 32];
    if (format == "%ms") {
        std::snprintf(buffer, sizeof buffer, "%02d:%02d:%02d.%d", t.hour, t.minute, t.second, t.millisecond);
        return buffer;
    }
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_wday = t.dayOfWeek;
    tm.tm_isdst = -1;
    size_t n = std::strftime(buffer, sizeof buffer, format.c_str(), &tm);
    return std::string(buffer, n);
}

std::string CSimpleLayout::format(const LogMessage& m) const {
    std::string out;
    if (includeTime_) out += "(" + formatTime(timeFormat_, platform::localTime()) + ")";
    if (includeThread_) {
        std::string name = logThreadName();
        if (!name.empty()) out += "(" + name + ")";
    }
    if (includePriorities_) out += "(" + priorityDisplayName(m.priority()) + ") ";
    out += m.scopePath();
    out += ": -> ";
    out += m.message();
    if (includeProperties_ && !m.properties().empty()) {
        out += '\n';
        appendProperties(out, m.properties(), 0);
    }
    return out;
}

void CSimpleLayout::describeForCrash(CrashSink& sink) const {
    sink.includeTime = includeTime_;
    sink.includeThread = includeThread_;
    sink.includePriorities = includePriorities_;
    sink.includeProperties = includeProperties_;
}

void CPriorityFilter::applySettings(const LogSettings& s) {
    priority_ = parseLogPriority(logSettingText(s, "priority", "DBG"));
    complete_ = logSettingBool(s, "complete", false);
    deny_ = logSettingText(s, "mode", "") == "deny";
}

bool CPriorityFilter::accepts(const LogMessage& m) const {
    int mine = priority_, theirs = m.priority();
    if (complete_) {
        mine = mine / 100 * 100;
        theirs = theirs / 100 * 100;
    }
    bool match = mine == theirs;
    return deny_ ? !match : match;
}

void CStdAppender::applySettings(const LogSettings& s) { setMultithreading(logSettingBool(s, "multithreading", false)); }

void CStdAppender::write(const LogMessage&, const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

intptr_t CStdAppender::rawOutput(bool& crlf) const {
    crlf = false;
    return crashStandardOutput();
}

void CMessageBoxAppender::applySettings(const LogSettings& s) { setMultithreading(logSettingBool(s, "multithreading", false)); }

void CMessageBoxAppender::write(const LogMessage& m, const std::string& text) {
    showLogMessageBox(text, priorityDisplayName(m.priority()));
}

std::string CFileAppender::composeFileName(const std::string& fileName, const std::string& postfix) {
    if (postfix.empty()) return fileName;
    size_t dot = extensionDot(fileName);
    if (dot == std::string::npos) return fileName;
    return fileName.substr(0, dot) + postfix + fileName.substr(dot);
}

std::string CFileAppender::timeStampedFileName(const std::string& fileName, const platform::LocalTime& t) {
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "_%04d%02d%02d_%02d%02d%02d", t.year % 10000, t.month % 100, t.day % 100,
                  t.hour % 100, t.minute % 100, t.second % 100);
    size_t dot = extensionDot(fileName);
    if (dot == std::string::npos) return fileName + stamp;
    return fileName.substr(0, dot) + stamp + fileName.substr(dot);
}

void CFileAppender::applySettings(const LogSettings& s) {
    setMultithreading(logSettingBool(s, "multithreading", false));
    std::string name = composeFileName(logSettingText(s, "filename", "log.txt"), logSettingText(s, "postfix", postfix_));
    if (name != openName_ || !file_.isOpen()) {
        file_.close();
        openName_ = name;
        file_.create(name);
    }
}

void CFileAppender::write(const LogMessage&, const std::string& text) { file_.write(text + "\r\n"); }

intptr_t CFileAppender::rawOutput(bool& crlf) const {
    crlf = true;
    return file_.nativeHandle();
}

LogComponent* createStandardLogComponent(const std::string& name) {
    if (name == "SimpleLayout") return new CSimpleLayout;
    if (name == "priority") return new CPriorityFilter;
    if (name == "StdAppender") return new CStdAppender;
    if (name == "MessageBoxAppender") return new CMessageBoxAppender;
    if (name == "FileAppender") {
        auto* appender = new CFileAppender;
        appender->setPostfix(LogManager::instance().filePostfix());
        return appender;
    }
    return nullptr;
}

void deleteStandardLogComponent(LogComponent* component) { delete component; }
