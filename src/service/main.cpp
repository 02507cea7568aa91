// The process entry: sets up the process-wide facilities, dispatches on the command line and
// tears everything down in reverse order. The program writes nothing to the console.
#include <memory>

#include "config/dfrg_statistics.h"
#include "logging/crash_report.h"
#include "logging/log.h"
#include "logging/log_manager.h"
#include "platform/process_paths.h"
#include "service/agent_autostart.h"
#include "service/defrag_service.h"
#include "sim/simulation_provider.h"
#include "logging/exception_log.h"
#include "platform/dfrg_exception.h"

namespace {

// "-install" also starts the user-session agent at every logon, "-uninstall" stops that. The
// agent is an addition: a failure here leaves the service's own result as it is.
void registerSessionAgent(int argc, char** argv, int32_t exitCode) {
    for (int i = 0; i < argc; ++i) {
        CService::Option option = CService::matchOption(argv[i]);
        if (option == CService::Option::None) continue;
        LogScope scope("registerSessionAgent");
        if (option == CService::Option::Install && exitCode == 0 && !agent_autostart::registerAgent())
            logText(scope, LogPriority::Warning, "Couldn't register the session agent");
        if (option == CService::Option::Remove && !agent_autostart::unregisterAgent())
            logText(scope, LogPriority::Warning, "Couldn't unregister the session agent");
        return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    useSimulationImages();
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
                registerSessionAgent(argc, argv, exitCode);
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
