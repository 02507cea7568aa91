// The log configuration file: parsing, every component's settings, and one message through
// whatever layouts and filters it made (the time format goes to the C runtime there).
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "logging/log.h"
#include "logging/log_components.h"
#include "logging/log_manager.h"

namespace {

// Keeps the log files the input names inside the scratch directory: the name and the postfix
// still go through the appender's composition, without their folders.
class ContainedFileAppender : public CFileAppender {
public:
    void applySettings(const LogSettings& settings) override {
        LogSettings contained = settings;
        for (const char* key : {"filename", "postfix"}) {
            auto it = contained.find(key);
            if (it == contained.end()) continue;
            std::string& v = it->second;
            for (char& c : v)
                if (c == '/' || c == '\\' || c == ':') c = '_';
            if (v.size() > 64) v.resize(64);
        }
        auto name = contained.find("filename");
        if (name != contained.end()) name->second = "log-" + name->second;
        CFileAppender::applySettings(contained);
    }
};

LogComponent* create(const std::string& name) {
    if (name == "FileAppender") {
        auto* a = new ContainedFileAppender;
        a->setPostfix(LogManager::instance().filePostfix());
        return a;
    }
    // Message boxes would wait for a user.
    if (name == "MessageBoxAppender") return nullptr;
    return createStandardLogComponent(name);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string path = fuzz::writeInput("logconfig.xml", data, size);
    LogManager::instance().registerFactory(&create, &deleteStandardLogComponent);
    if (loadLogConfiguration(path)) {
        LogScope scope("fuzz");
        LogMessage(scope, LogPriority::Error).text("probe").prop("Name", "value");
        LogMessage(scope, LogPriority::Informal + 5).text("probe");
    }
    LogManager::shutdown();
    return 0;
}
