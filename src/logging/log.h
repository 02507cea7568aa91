// The logging framework's programming interface: scopes, categories, messages with a priority,
// text and named properties, and thread names. Where messages go is decided by the appenders
// that the configuration file creates (log_manager.h); without any, messages are built and
// dropped. Every function here is thread safe.
#pragma once
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace LogPriority {
constexpr int Informal = 100;
constexpr int Debug = 200;
constexpr int Emergency = 300;
constexpr int Fatal = 400;
constexpr int Alert = 500;
constexpr int Critical = 600;
constexpr int Error = 700;
constexpr int Warning = 800;
constexpr int Notice = 900;
constexpr int NotSet = 1000;
}  // namespace LogPriority

// "Error", "Error+5", or "Invalid(99)" for values outside 100..999.
std::string priorityDisplayName(int priority);

struct LogProperty {
    std::string name;
    std::string value;
    bool nested = false;
    std::vector<LogProperty> children;

    LogProperty() = default;
    LogProperty(std::string n, std::string v) : name(std::move(n)), value(std::move(v)) {}
    LogProperty(std::string n, std::vector<LogProperty> list) : name(std::move(n)), nested(true), children(std::move(list)) {}
};

// Builds nested property lists (the crash report uses these).
class LogPropertyList {
public:
    LogPropertyList& add(const std::string& name, const std::string& value) {
        items_.emplace_back(name, value);
        return *this;
    }
    LogPropertyList& add(const std::string& name, const char* value) { return add(name, std::string(value ? value : "")); }
    template <class T, class = std::enable_if_t<std::is_arithmetic<T>::value>>
    LogPropertyList& add(const std::string& name, T value) {
        return add(name, number(value));
    }
    LogPropertyList& add(const std::string& name, LogPropertyList list) {
        items_.emplace_back(name, std::move(list.items_));
        return *this;
    }
    const std::vector<LogProperty>& items() const { return items_; }
    std::vector<LogProperty>& items() { return items_; }

    template <class T>
    static std::string number(T value) {
        if constexpr (std::is_floating_point<T>::value) {
            return formatDouble(static_cast<double>(value));
        } else if constexpr (std::is_same<T, bool>::value) {
            return value ? "1" : "0";
        } else {
            return std::to_string(value);
        }
    }
    static std::string formatDouble(double value);

private:
    std::vector<LogProperty> items_;
};

// A named scope on the calling thread's scope stack, from construction to destruction.
// Create and destroy it on the same thread, in nesting order (as a local variable).
class LogScope {
public:
    explicit LogScope(const char* name);
    ~LogScope();
    LogScope(const LogScope&) = delete;
    LogScope& operator=(const LogScope&) = delete;

    const std::string& name() const { return name_; }
    const LogScope* parent() const { return parent_; }

protected:
    struct CategoryTag {};
    LogScope(const char* name, CategoryTag);

private:
    std::string name_;
    bool pushed_;
    // The scope opened before this one on the same thread; relinked if scopes end out of order.
    mutable const LogScope* parent_ = nullptr;
};

// A named scope that outlives single operations (the main category "main"). It is not pushed on
// any thread's stack; messages written through it are shown below the writer's open scopes.
class LogCategory : public LogScope {
public:
    explicit LogCategory(const char* name) : LogScope(name, CategoryTag{}) {}
};

// One message. It is delivered when destroyed, and only when text was written to it; text is
// never written at priority 1000 (NOTSET).
class LogMessage {
public:
    LogMessage(const LogScope& scope, int priority);
    ~LogMessage();
    LogMessage(const LogMessage&) = delete;
    LogMessage& operator=(const LogMessage&) = delete;

    LogMessage& text(const std::string& piece);
    LogMessage& text(const char* piece) { return text(std::string(piece ? piece : "")); }
    template <class T, class = std::enable_if_t<std::is_arithmetic<T>::value>>
    LogMessage& text(T value) {
        return text(LogPropertyList::number(value));
    }
    template <class T>
    LogMessage& operator<<(const T& value) {
        return text(value);
    }

    LogMessage& prop(const std::string& name, const std::string& value);
    LogMessage& prop(const std::string& name, const char* value) { return prop(name, std::string(value ? value : "")); }
    template <class T, class = std::enable_if_t<std::is_arithmetic<T>::value>>
    LogMessage& prop(const std::string& name, T value) {
        return prop(name, LogPropertyList::number(value));
    }
    LogMessage& prop(const std::string& name, LogPropertyList list);

    int priority() const { return priority_; }
    const std::string& scopePath() const { return scopePath_; }
    const std::string& message() const { return text_; }
    const std::vector<LogProperty>& properties() const { return properties_; }
    bool hasText() const { return hasText_; }

private:
    int priority_;
    std::string scopePath_;
    std::string text_;
    bool hasText_ = false;
    std::vector<LogProperty> properties_;
};

// Shorthand for the common case of a fixed text: logText(scope, 100, "Init done.").
inline void logText(const LogScope& scope, int priority, const char* text) { LogMessage(scope, priority).text(text); }

// The calling thread's log thread name ("MainThread", "WorkThread", ...); empty when unnamed.
void setLogThreadName(const std::string& name);
std::string logThreadName();
// The same without a copy, for the crash report (valid until the thread renames itself).
const char* logThreadNameText();

// Set by the process entry once the start message is written; the crash report writes only then.
void setLoggingStarted(bool started);
bool loggingStarted();
