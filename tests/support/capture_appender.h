// A log appender that keeps what it is given, for tests that check the log.
#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "logging/log_manager.h"

class CaptureAppender : public LogAppender {
public:
    struct Entry {
        int priority;
        std::string scopePath, text;
        std::vector<LogProperty> properties;
        std::string prop(const std::string& name) const {
            for (const auto& p : properties)
                if (p.name == name) return p.value;
            return {};
        }
    };

    // Resets the process's logging and installs a fresh capture appender; the manager owns it.
    static CaptureAppender* install() {
        LogManager::shutdown();
        auto* appender = new CaptureAppender;
        return LogManager::instance().addAppender(appender), appender;
    }
    void applySettings(const LogSettings&) override {}
    std::vector<Entry> entries() const {
        std::lock_guard<std::mutex> lock(lock_);
        return entries_;
    }
    std::vector<Entry> withText(const std::string& text) const {
        std::vector<Entry> found;
        for (const auto& e : entries())
            if (e.text == text) found.push_back(e);
        return found;
    }
    size_t count(const std::string& text) const { return withText(text).size(); }
    bool contains(const std::string& text) const { return count(text) > 0; }
    void clear() {
        std::lock_guard<std::mutex> lock(lock_);
        entries_.clear();
    }

protected:
    void write(const LogMessage& m, const std::string&) override {
        std::lock_guard<std::mutex> lock(lock_);
        entries_.push_back({m.priority(), m.scopePath(), m.message(), m.properties()});
    }

private:
    mutable std::mutex lock_;
    std::vector<Entry> entries_;
};
