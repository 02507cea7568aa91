// The process entry: sets up the process-wide facilities, dispatches on the command line and
// tears everything down in reverse order. The program writes nothing to the console.
#include <memory>

#include "config/dfrg_statistics.h"
#include "logging/crash_report.h"
#include "logging/log.h"
#include "logging/log_manager.h"
#include "platform/process_paths.h"
#include "service/defrag_service.h"
#include "logging/exception_log.h"
#include "platform/dfrg_exception.h"

int main(int argc, char** argv) {
    installCrashReport();
    // Loads lazily: the registry is first touched after the directory change below.
    auto statistics = std::make_unique<CDfrgStatistics>();

    std::string directory = platform::executableDirectory();
    if (!directory.empty()) platform::setCurrentDirectory(directory);

    LogManager::instance().registerFactory(createStandardLogComponent, deleteStandardLogComponent);
    // Commands log beside the service's log instead of replacing it: a "-start" that held the
    // file open while the service started would otherwise leave the service without a log.
    if (CService::isCommandInvocation(argc, argv)) LogManager::instance().setFilePostfix("_cmd");
    loadLogConfiguration("..\\config\\logconfig.xml");
    int32_t exitCode = 0;
    {
        LogCategory mainCategory("main");
        setLogThreadName("MainThread");
        LogMessage(mainCategory, LogPriority::Alert).text("Log started").prop("Version", VDS_VERSION);
        setLoggingStarted(true);
        {
            CDefragService service;
            try {
                exitCode = service.dispatch(argc, argv);
            } catch (const CDfrgException& e) {
                logDfrgException(mainCategory, "Exception occured", e);
            } catch (...) {
                logText(mainCategory, LogPriority::Error, "Unknown Exception occured");
            }
        }
        logText(mainCategory, LogPriority::Informal, "Service End");
    }
    setLoggingStarted(false);
    LogManager::shutdown();
    statistics.reset();
    return exitCode;
}
