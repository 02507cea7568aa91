// Records the log messages written while a capture object lives. One capture at a time.
#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "logging/log_manager.h"

struct CapturedLog {
    int priority = 0;
    std::string scopePath, text;
    std::vector<LogProperty> properties;
    std::string prop(const std::string& name) const {
        for (const auto& p : properties)
            if (p.name == name) return p.value;
        return {};
    }
};

class MonitorLogCapture {
public:
    MonitorLogCapture() {
        LogManager& manager = LogManager::instance();
        bool install;
        {
            std::lock_guard<std::mutex> lock(state().lock);
            install = state().installedIn != &manager;
            state().installedIn = &manager;
            state().messages.clear();
            state().active = true;
        }
        // Outside the capture's lock: the manager's lock is taken the other way round when a
        // message is delivered.
        if (install) manager.addAppender(new Appender);
    }
    ~MonitorLogCapture() {
        std::lock_guard<std::mutex> lock(state().lock);
        state().active = false;
    }
    std::vector<CapturedLog> withText(const std::string& text) const {
        std::lock_guard<std::mutex> lock(state().lock);
        std::vector<CapturedLog> found;
        for (const auto& m : state().messages)
            if (m.text == text) found.push_back(m);
        return found;
    }
    size_t count(const std::string& text) const { return withText(text).size(); }
    void clear() {
        std::lock_guard<std::mutex> lock(state().lock);
        state().messages.clear();
    }

private:
    struct State {
        std::mutex lock;
        bool active = false;
        std::vector<CapturedLog> messages;
        LogManager* installedIn = nullptr;
    };
    static State& state() {
        static State s;
        return s;
    }
    class Appender : public LogAppender {
    public:
        void applySettings(const LogSettings&) override {}

    protected:
        void write(const LogMessage& m, const std::string&) override {
            std::lock_guard<std::mutex> lock(state().lock);
            if (state().active) state().messages.push_back({m.priority(), m.scopePath(), m.message(), m.properties()});
        }
    };
};
