#include "logging/log.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "logging/log_manager.h"

namespace {
thread_local std::vector<const LogScope*> t_scopes;
thread_local std::string t_threadName;
std::atomic<bool> g_loggingStarted{false};
}  // namespace

std::string priorityDisplayName(int priority) {
    if (priority < 100 || priority >= 1000) return "Invalid(" + std::to_string(priority) + ")";
    static const char* const names[] = {"Informal", "Debug", "Emergency", "Fatal", "Alert",
                                        "Critical", "Error", "Warning", "Notice"};
    int band = priority / 100;
    int offset = priority % 100;
    std::string name = names[band - 1];
    if (offset) name += "+" + std::to_string(offset);
    return name;
}

std::string LogPropertyList::formatDouble(double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.17g", value);
    // Prefer the shortest text that reads back the same, without an exponent for numbers that
    // read well without one (500, not 5e+02).
    const double magnitude = std::fabs(value);
    const bool plain = magnitude == 0 || (magnitude >= 1e-4 && magnitude < 1e15);
    for (int precision = 1; precision < 17; ++precision) {
        char shorter[64];
        std::snprintf(shorter, sizeof shorter, "%.*g", precision, value);
        if (plain && std::strchr(shorter, 'e')) continue;
        double back = 0;
        if (std::sscanf(shorter, "%lf", &back) == 1 && back == value) return shorter;
    }
    return buffer;
}

LogScope::LogScope(const char* name) : name_(name ? name : ""), pushed_(true) { t_scopes.push_back(this); }

LogScope::LogScope(const char* name, CategoryTag) : name_(name ? name : ""), pushed_(false) {}

LogScope::~LogScope() {
    if (!pushed_) return;
    // Normally the top; search anyway so that an out-of-order destruction cannot corrupt the stack.
    for (auto it = t_scopes.rbegin(); it != t_scopes.rend(); ++it) {
        if (*it == this) {
            t_scopes.erase(std::next(it).base());
            break;
        }
    }
}

LogMessage::LogMessage(const LogScope& scope, int priority) : priority_(priority) {
    size_t end = t_scopes.size();
    bool onStack = false;
    for (size_t i = 0; i < t_scopes.size(); ++i) {
        if (t_scopes[i] == &scope) {
            end = i;
            onStack = true;
            break;
        }
    }
    for (size_t i = 0; i < end; ++i) {
        scopePath_ += t_scopes[i]->name();
        scopePath_ += '.';
    }
    scopePath_ += scope.name();
    (void)onStack;
}

LogMessage::~LogMessage() {
    if (!hasText_) return;
    try {
        LogManager::instance().deliver(*this);
    } catch (...) {
        // Logging never takes a thread down.
    }
}

LogMessage& LogMessage::text(const std::string& piece) {
    if (priority_ == LogPriority::NotSet) return *this;
    text_ += piece;
    hasText_ = true;
    return *this;
}

LogMessage& LogMessage::prop(const std::string& name, const std::string& value) {
    properties_.emplace_back(name, value);
    return *this;
}

LogMessage& LogMessage::prop(const std::string& name, LogPropertyList list) {
    properties_.emplace_back(name, std::move(list.items()));
    return *this;
}

void setLogThreadName(const std::string& name) { t_threadName = name; }
std::string logThreadName() { return t_threadName; }
const char* logThreadNameText() { return t_threadName.c_str(); }

void setLoggingStarted(bool started) { g_loggingStarted = started; }
bool loggingStarted() { return g_loggingStarted; }
