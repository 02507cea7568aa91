// The log configuration: parsing, every component's settings, one message through what it made.
#include "fuzz_support.h"
#include "logging/log.h"
#include "logging/log_components.h"
#include "logging/log_manager.h"

namespace {

// Keeps the log files the input names inside the scratch directory, without their folders.
class ContainedFileAppender : public CFileAppender {
public:
    void applySettings(const LogSettings& settings) override {
        LogSettings contained = settings;
        for (auto& [key, v] : contained) {
            if (key != "filename" && key != "postfix") continue;
            for (char& c : v) c = (c == '/' || c == '\\' || c == ':') ? '_' : c;
            v = (key[0] == 'f' ? "log-" : "") + v.substr(0, 64);
        }
        CFileAppender::applySettings(contained);
    }
};

LogComponent* create(const std::string& name) {
    if (name != "FileAppender")  // message boxes would wait for a user
        return name == "MessageBoxAppender" ? nullptr : createStandardLogComponent(name);
    auto* a = new ContainedFileAppender;
    a->setPostfix(LogManager::instance().filePostfix());
    return a;
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
