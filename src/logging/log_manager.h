// The logging manager and the components that the configuration file creates: layouts, filters
// and appenders, built by a registered factory from their component names.
#pragma once
#include <map>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <vector>

#include "logging/log.h"

// Settings of one component: keys made of element names joined by "/", with their values.
using LogSettings = std::map<std::string, std::string>;

bool logSettingBool(const LogSettings& settings, const std::string& key, bool fallback);
std::string logSettingText(const LogSettings& settings, const std::string& key, const std::string& fallback);
// "ERR", "ERR+5", ...; an unknown name gives 1000, offsets above 99 count as 99.
int parseLogPriority(const std::string& text);

class LogComponent {
public:
    enum class Kind { Layout, Filter, Appender };
    virtual ~LogComponent() = default;
    virtual Kind kind() const = 0;
    virtual void applySettings(const LogSettings& settings) = 0;
};

struct CrashSink;

class LogLayout : public LogComponent {
public:
    Kind kind() const override { return Kind::Layout; }
    virtual std::string format(const LogMessage& message) const = 0;
    // What the crash report, which cannot call format, should show in its place.
    virtual void describeForCrash(CrashSink&) const {}
};

class LogFilter : public LogComponent {
public:
    Kind kind() const override { return Kind::Filter; }
    virtual bool accepts(const LogMessage& message) const = 0;
};

using LogComponentFactory = LogComponent* (*)(const std::string& name);
using LogComponentDeleter = void (*)(LogComponent*);

class LogAppender : public LogComponent {
public:
    ~LogAppender() override;
    Kind kind() const override { return Kind::Appender; }

    // Takes ownership; components are destroyed with the deleter they were made with.
    void addFilter(LogComponent* filter, LogComponentDeleter deleter);
    void setLayout(LogComponent* layout, LogComponentDeleter deleter);
    void setMultithreading(bool on) { multithreading_ = on; }
    bool multithreading() const { return multithreading_; }

    // Filters, layout, then the appender's own output; serialised when "multithreading" is on.
    void deliver(const LogMessage& message);
    // Whether every filter passes the message.
    bool accepts(const LogMessage& message) const;
    // The raw output the crash report may write to (false when there is none), with the
    // appender's layout and filters described.
    bool crashSink(CrashSink& sink) const;

protected:
    // The raw handle of the output, -1 when the appender has none; crlf: its line end.
    virtual intptr_t rawOutput(bool& crlf) const {
        (void)crlf;
        return -1;
    }

    virtual void write(const LogMessage& message, const std::string& text) = 0;

private:
    struct Owned {
        LogComponent* component;
        LogComponentDeleter deleter;
    };
    std::vector<Owned> filters_;
    Owned layout_{nullptr, nullptr};
    bool multithreading_ = false;
    std::mutex writeLock_;
};

class LogManager {
public:
    // The process-wide manager, created on first use.
    static LogManager& instance();
    // Destroys the manager and its appenders (end of the process entry). Later messages find a
    // fresh, empty manager and are dropped.
    static void shutdown();

    void registerFactory(LogComponentFactory create, LogComponentDeleter destroy);
    LogComponent* createComponent(const std::string& name) const;
    LogComponentDeleter deleter() const { return destroy_; }

    // Takes ownership of an appender made by the factory.
    void addAppender(LogComponent* appender);
    size_t appenderCount() const;
    void deliver(const LogMessage& message);

    // The process-wide postfix that every new file appender receives.
    void setFilePostfix(const std::string& postfix) { filePostfix_ = postfix; }
    const std::string& filePostfix() const { return filePostfix_; }

    ~LogManager();

private:
    LogManager() = default;
    LogComponentFactory create_ = nullptr;
    LogComponentDeleter destroy_ = nullptr;
    std::vector<LogAppender*> appenders_;
    mutable std::shared_mutex appendersLock_;
    std::string filePostfix_;
};

// The factory and deleter of the system's components: "SimpleLayout", "priority",
// "StdAppender", "MessageBoxAppender", "FileAppender".
LogComponent* createStandardLogComponent(const std::string& name);
void deleteStandardLogComponent(LogComponent* component);

// Reads the configuration file and creates its appenders. False (and nothing created) when the
// file is missing or cannot be parsed.
bool loadLogConfiguration(const std::string& path);
