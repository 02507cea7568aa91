// Records the log messages written while a capture object lives, for checks on texts, priorities
// and properties. One capture at a time.
#pragma once
#include <string>
#include <vector>

#include "logging/log.h"

struct CapturedLog {
    int priority = 0;
    std::string scopePath;
    std::string text;
    std::vector<LogProperty> properties;
    // The value of a property, empty when absent.
    std::string prop(const std::string& name) const;
};

class MonitorLogCapture {
public:
    MonitorLogCapture();
    ~MonitorLogCapture();
    MonitorLogCapture(const MonitorLogCapture&) = delete;
    MonitorLogCapture& operator=(const MonitorLogCapture&) = delete;

    std::vector<CapturedLog> messages() const;
    std::vector<CapturedLog> withText(const std::string& text) const;
    size_t count(const std::string& text) const { return withText(text).size(); }
    void clear();
};
