#include "support/monitor_log_capture.h"

#include <mutex>

#include "logging/log_manager.h"

namespace {

std::mutex g_lock;
bool g_active = false;
std::vector<CapturedLog> g_messages;
LogManager* g_installedIn = nullptr;

class CaptureAppender : public LogAppender {
public:
    void applySettings(const LogSettings&) override {}

protected:
    void write(const LogMessage& message, const std::string&) override {
        std::lock_guard<std::mutex> lock(g_lock);
        if (!g_active) return;
        g_messages.push_back({message.priority(), message.scopePath(), message.message(), message.properties()});
    }
};

}  // namespace

std::string CapturedLog::prop(const std::string& name) const {
    for (const auto& p : properties)
        if (p.name == name) return p.value;
    return {};
}

MonitorLogCapture::MonitorLogCapture() {
    LogManager& manager = LogManager::instance();
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_installedIn != &manager) {
        manager.addAppender(new CaptureAppender);
        g_installedIn = &manager;
    }
    g_messages.clear();
    g_active = true;
}

MonitorLogCapture::~MonitorLogCapture() {
    std::lock_guard<std::mutex> lock(g_lock);
    g_active = false;
    g_messages.clear();
}

std::vector<CapturedLog> MonitorLogCapture::messages() const {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_messages;
}

std::vector<CapturedLog> MonitorLogCapture::withText(const std::string& text) const {
    std::vector<CapturedLog> found;
    for (const auto& m : messages())
        if (m.text == text) found.push_back(m);
    return found;
}

void MonitorLogCapture::clear() {
    std::lock_guard<std::mutex> lock(g_lock);
    g_messages.clear();
}
