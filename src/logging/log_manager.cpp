#include "logging/log_manager.h"

#include <cstdlib>

#include "logging/crash_report.h"

namespace {
std::mutex g_managerLock;
LogManager* g_manager = nullptr;
}  // namespace

bool logSettingBool(const LogSettings& settings, const std::string& key, bool fallback) {
    auto it = settings.find(key);
    if (it == settings.end()) return fallback;
    return it->second == "true" || it->second == "1";
}

std::string logSettingText(const LogSettings& settings, const std::string& key, const std::string& fallback) {
    auto it = settings.find(key);
    return it == settings.end() ? fallback : it->second;
}

int parseLogPriority(const std::string& text) {
    static const struct {
        const char* name;
        int value;
    } names[] = {{"DBG", 200},      {"EMERGENCY", 300}, {"FATAL", 400},   {"ALERT", 500},   {"CRITICAL", 600},
                 {"ERR", 700},      {"WARNING", 800},   {"NOTICE", 900},  {"NOTSET", 1000}};
    size_t plus = text.find('+');
    std::string name = text.substr(0, plus);
    int base = 1000;
    bool known = false;
    for (const auto& n : names) {
        if (name == n.name) {
            base = n.value;
            known = true;
            break;
        }
    }
    if (!known) return 1000;
    if (plus == std::string::npos) return base;
    long offset = 0;
    for (size_t i = plus + 1; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        offset = offset * 10 + (text[i] - '0');
        if (offset > 99) {
            offset = 99;
            break;
        }
    }
    return base + static_cast<int>(offset);
}

LogAppender::~LogAppender() {
    for (auto& f : filters_) f.deleter(f.component);
    if (layout_.component) layout_.deleter(layout_.component);
}

void LogAppender::addFilter(LogComponent* filter, LogComponentDeleter deleter) { filters_.push_back({filter, deleter}); }

void LogAppender::setLayout(LogComponent* layout, LogComponentDeleter deleter) {
    if (layout_.component) layout_.deleter(layout_.component);
    layout_ = {layout, deleter};
}

void LogAppender::deliver(const LogMessage& message) {
    for (auto& f : filters_)
        if (!static_cast<LogFilter*>(f.component)->accepts(message)) return;
    std::string text = layout_.component ? static_cast<LogLayout*>(layout_.component)->format(message) : message.message();
    if (multithreading_) {
        std::lock_guard<std::mutex> lock(writeLock_);
        write(message, text);
    } else {
        write(message, text);
    }
}

bool LogAppender::accepts(const LogMessage& message) const {
    for (const auto& f : filters_)
        if (!static_cast<LogFilter*>(f.component)->accepts(message)) return false;
    return true;
}

bool LogAppender::crashSink(CrashSink& sink) const {
    sink = CrashSink();
    sink.handle = rawOutput(sink.crlf);
    if (sink.handle < 0) return false;
    if (layout_.component) static_cast<LogLayout*>(layout_.component)->describeForCrash(sink);
    LogCategory scope("Unhandled Exception Occured");
    sink.acceptsError = accepts(LogMessage(scope, LogPriority::Error));
    sink.acceptsAlert = accepts(LogMessage(scope, LogPriority::Alert));
    return sink.acceptsError || sink.acceptsAlert;
}

LogManager& LogManager::instance() {
    std::lock_guard<std::mutex> lock(g_managerLock);
    if (!g_manager) g_manager = new LogManager;
    return *g_manager;
}

void LogManager::shutdown() {
    LogManager* old;
    {
        std::lock_guard<std::mutex> lock(g_managerLock);
        old = g_manager;
        g_manager = nullptr;
    }
    delete old;
}

LogManager::~LogManager() {
    std::unique_lock<std::shared_mutex> lock(appendersLock_);
    // The files close below; a crash from now on has nowhere to report.
    clearCrashSinks();
    for (LogAppender* a : appenders_) {
        if (destroy_) destroy_(a);
        else delete a;
    }
}

void LogManager::registerFactory(LogComponentFactory create, LogComponentDeleter destroy) {
    create_ = create;
    destroy_ = destroy;
}

LogComponent* LogManager::createComponent(const std::string& name) const { return create_ ? create_(name) : nullptr; }

void LogManager::addAppender(LogComponent* appender) {
    std::unique_lock<std::shared_mutex> lock(appendersLock_);
    auto* a = static_cast<LogAppender*>(appender);
    appenders_.push_back(a);
    CrashSink sink;
    if (a->crashSink(sink)) addCrashSink(sink);
}

size_t LogManager::appenderCount() const {
    std::shared_lock<std::shared_mutex> lock(appendersLock_);
    return appenders_.size();
}

void LogManager::deliver(const LogMessage& message) {
    std::shared_lock<std::shared_mutex> lock(appendersLock_);
    for (LogAppender* a : appenders_) a->deliver(message);
}
