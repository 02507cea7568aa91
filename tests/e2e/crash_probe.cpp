// Starts logging into a file the way the process entry does, then faults: the crash report
// must reach the log. Usage: crash_probe <log file> <mode>, where mode is
//   write-null        an access violation on a thread that holds nothing;
//   before-logging    the same before logging has started;
//   fault-under-lock  the fault comes inside an appender's write, while its lock is held;
//   fault-in-report   a second fault inside the crash report itself.
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

void faultAgain() { *g_nowhere = 3; }

// Leaves the wall-clock time of the coming fault (ns since 1970) beside the log, so that the
// test measures from the fault rather than from the process start.
void noteFaultTime(const std::string& log) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now().time_since_epoch());
    std::ofstream(log + ".at") << ns.count() << "\n";
}
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
    if (mode.compare(0, 6, "fault-") == 0) noteFaultTime(argv[1]);
    if (mode == "fault-under-lock") logText(mainCategory, LogPriority::Alert, "fault now");
    if (mode == "fault-in-report") {
        setCrashReportFaultHook(&faultAgain);
        *g_nowhere = 1;
    }
    return 0;
}
