#include "service/defrag_service.h"

#include "logging/log.h"
#include "service/dfrg_exception.h"

CDefragService* CDefragService::s_instance = nullptr;

CDefragService::CDefragService(ServiceControlApi& api) : CService(api) {
    if (s_instance) throw -1;
    resetMembers();
    s_instance = this;
}

CDefragService::~CDefragService() {
    LogScope scope("~CDefragService");
    logText(scope, LogPriority::Informal, "Calling cleanup.");
    cleanup();
    logText(scope, LogPriority::Informal, "Cleanup done.");
    if (s_instance == this) s_instance = nullptr;
}

void CDefragService::resetMembers() { engineEnded_.reset(); }

bool CDefragService::init() {
    LogScope scope("init");
    try {
        engineEnded_.reset(new platform::Event(platform::Event::Reset::Auto));
    } catch (const CDfrgException& e) {
        if (e.code() == ErrorNotAdmin) {
            logText(scope, LogPriority::Error, "You need Administrator privileges to run this service");
        } else {
            logDfrgException(scope, "DfrgException occured", e);
        }
        return false;
    } catch (...) {
        logText(scope, LogPriority::Error, "Unknown Exception occured");
    }
    return true;
}

void CDefragService::serviceWork(int argc, char** argv) {
    LogScope scope("serviceWork");
    logText(scope, LogPriority::Informal, "serviceWork entered");
    if (argc > 0 && argv && argv[0] && std::string(argv[0]) != "-b")
        LogMessage(scope, LogPriority::Error).text("Unknown Parameter ").text(argv[0]);
    if (engineEnded_) waitForStop(platform::kInfinite, engineEnded_.get());
    else waitForStop();
    logText(scope, LogPriority::Informal, "Service message loop has ended. Calling engine::stop.");
    stopEngine();
    logText(scope, LogPriority::Informal, "Engine::stop has returned");
    logText(scope, LogPriority::Informal, "Exiting serviceWork");
}

void CDefragService::stopEngine() {
    if (engineEnded_) engineEnded_->set();
}

void CDefragService::cleanup() {
    LogScope scope("cleanup");
    logText(scope, LogPriority::Informal, "Destroy notify window");
    logText(scope, LogPriority::Informal, "Signal sys thread stop");
    logText(scope, LogPriority::Informal, "Update statistics status");
    logText(scope, LogPriority::Informal, "Delete pipe server");
    logText(scope, LogPriority::Informal, "Delete sys info");
    logText(scope, LogPriority::Informal, "Delete engine");
    logText(scope, LogPriority::Informal, "Resetting members");
    resetMembers();
    logText(scope, LogPriority::Informal, "Exiting cleanup");
}

uint32_t CDefragService::serviceControlHandler(uint32_t control, uint32_t eventType, void* eventData) {
    if (control == kRestartControl) {
        LogScope scope("serviceControlHandler");
        logText(scope, LogPriority::Informal, "Service control code 220 called, restarting Service");
        setRestart(true);
        stopEngine();
        return 0;
    }
    return CService::serviceControlHandler(control, eventType, eventData);
}
