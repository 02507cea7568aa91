#include "logging/log.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "logging/log_manager.h"

namespace {
// Trivially destructible on purpose: with mingw-w64, destructors of thread-local objects can run
// after the thread's storage is freed and crash a thread as it ends. Scopes form a list through
// their parents instead of a vector, and the thread name lives in a fixed buffer.
thread_local const LogScope* t_top = nullptr;
thread_local char t_threadName[64];
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

LogScope::LogScope(const char* name) : name_(name ? name : ""), pushed_(true), parent_(t_top) { t_top = this; }

LogScope::LogScope(const char* name, CategoryTag) : name_(name ? name : ""), pushed_(false) {}

LogScope::~LogScope() {
    if (!pushed_) return;
    if (t_top == this) {
        t_top = parent_;
        return;
    }
    // Normally the top; unlink it anyway so that an out-of-order destruction cannot corrupt the stack.
    for (const LogScope* s = t_top; s; s = s->parent_) {
        if (s->parent_ == this) {
            s->parent_ = parent_;
            return;
        }
    }
}

LogMessage::LogMessage(const LogScope& scope, int priority) : priority_(priority) {
    // The open scopes below `scope` (all of them when it is not open on this thread), outermost first.
    std::vector<const LogScope*> outer;
    for (const LogScope* s = t_top; s; s = s->parent()) {
        if (s == &scope) outer.clear();
        else outer.push_back(s);
    }
    for (auto it = outer.rbegin(); it != outer.rend(); ++it) {
        scopePath_ += (*it)->name();
        scopePath_ += '.';
    }
    scopePath_ += scope.name();
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

void setLogThreadName(const std::string& name) {
    const size_t n = std::min(name.size(), sizeof t_threadName - 1);
    std::memcpy(t_threadName, name.data(), n);
    t_threadName[n] = '\0';
}
std::string logThreadName() { return t_threadName; }
const char* logThreadNameText() { return t_threadName; }

void setLoggingStarted(bool started) { g_loggingStarted = started; }
bool loggingStarted() { return g_loggingStarted; }
