// Starts logging into a file the way the process entry does, then faults: the crash report
// must reach the log. Usage: crash_probe <log file> <write-null | before-logging>
#include <string>

#include "logging/crash_report.h"
#include "logging/log.h"
#include "logging/log_components.h"

namespace {
int* volatile g_nowhere = nullptr;
}

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
    LogCategory mainCategory("main");
    logText(mainCategory, LogPriority::Alert, "Log started");
    setLoggingStarted(true);

    if (mode == "write-null") *g_nowhere = 1;
    return 0;
}
