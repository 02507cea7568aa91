// Logs into a file as the process entry does, then faults: crash_probe LOG write-null|before-logging|
// fault-under-lock (inside an appender's write)|fault-in-report (a second fault inside the report).
#include <chrono>
#include <fstream>
#include <string>

#include "logging/crash_report.h"
#include "logging/log.h"
#include "logging/log_components.h"

namespace {
int* volatile g_nowhere = nullptr;

// A multithreaded appender (its writes serialised by its lock) that faults on one message.
class FaultingAppender : public LogAppender {
public:
    FaultingAppender() { setMultithreading(true); }
    void applySettings(const LogSettings&) override {}

protected:
    void write(const LogMessage&, const std::string& text) override {
        if (text == "fault now") *g_nowhere = 2;
    }
};
}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    installCrashReport();
    std::string mode = argv[2];
    if (mode == "before-logging") *g_nowhere = 1;

    auto* appender = static_cast<CFileAppender*>(createStandardLogComponent("FileAppender"));
    appender->applySettings({{"filename", argv[1]}});
    auto* layout = createStandardLogComponent("SimpleLayout");
    layout->applySettings({{"includeProperties", "true"}, {"includePriorities", "true"}});
    appender->setLayout(layout, deleteStandardLogComponent);
    LogManager::instance().addAppender(appender);
    LogManager::instance().addAppender(new FaultingAppender);
    LogCategory mainCategory("main");
    logText(mainCategory, LogPriority::Alert, "Log started");
    setLoggingStarted(true);

    if (mode == "write-null") *g_nowhere = 1;
    // The time of the coming fault beside the log: the test measures from it, not from the start.
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch());
    std::ofstream(std::string(argv[1]) + ".at") << ns.count() << "\n";
    if (mode == "fault-under-lock") logText(mainCategory, LogPriority::Alert, "fault now");
    if (mode == "fault-in-report") {
        setCrashReportFaultHook([] { *g_nowhere = 3; });
        *g_nowhere = 1;
    }
    return 0;
}
