#include "service/defrag_service.h"

#include "config/dfrg_config.h"
#include "config/dfrg_statistics.h"
#include "config/product_key.h"
#include "config/registry.h"
#include "logging/log.h"
#include "monitor/sys_info.h"
#include "platform/clock.h"
#include "service/com_apartment.h"
#include "logging/exception_log.h"
#include "platform/dfrg_exception.h"

CDefragService* CDefragService::s_instance = nullptr;

namespace {

// The load sampler as the pause policy asks it.
class SysInfoSampler : public LoadSampler {
public:
    explicit SysInfoSampler(SysInfo& info) : info_(info) {}
    double getCPUUsage() override { return info_.getCPUUsage(); }
    double getIOLoad(int level) override { return info_.getIOLoad(level); }
    double getPageLoad(int level) override { return info_.getPageLoad(level); }
    bool isWMI() override { return info_.isWMI(); }
    bool isNewProcess() override { return info_.isNewProcess(); }
    bool isPrinting() override { return info_.isPrinting(); }
    double getFullscreenProcessCPUUsage() override { return info_.getFullscreenProcessCPUUsage(); }

private:
    SysInfo& info_;
};

// Lets the end-to-end test make the service's work fail with an exception of no known type, as
// a fault of the work would; only that test sets the value.
void testHookUnknownException() {
    CRegistry registry;
    CRegistryKey settings;
    uint32_t value = 0;
    if (registry.openKey(productKeyPath() + "\\settings", kRegKeyRead, nullptr, false, settings) &&
        settings.queryDword("testThrowUnknownException", value, 0) && value == 1)
        throw 42;
}

}  // namespace

CDefragService::CDefragService(ServiceControlApi& api, UserActivity& activity)
    : CService(api), policy_(activity, CPausePolicy::processHistories()) {
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

void CDefragService::resetMembers() {
    policy_.pauseReason = PauseNone;
    {
        std::lock_guard<std::mutex> lock(engineLock_);
        engine_.reset();
    }
    pipeServer_.reset();
    agentServer_.reset();
    monitorStop_.reset();
    engineEnded_.reset();
    policy_.runOnBattery = false;
    policy_.runWhilePrinting = false;
    policy_.engineRunning = false;
    policy_.userPause = false;
    finalStatus_ = 0;
}

bool CDefragService::init() {
    LogScope scope("init");
    try {
        engineEnded_.reset(new platform::Event(platform::Event::Reset::Auto));
        std::unique_ptr<engine> old;
        {
            std::lock_guard<std::mutex> lock(engineLock_);
            old = std::move(engine_);
        }
        if (old) {
            old->stop();
            old.reset();
        }
        auto made = std::make_unique<engine>(engineEnded_.get());
        made->setStatusCallback(&CDefragService::engineStatusCallback);
        policy_.runOnBattery = made->config().doRunInBatteryMode();
        policy_.runWhilePrinting = made->config().doRunWhilePrinting();
        {
            std::lock_guard<std::mutex> lock(engineLock_);
            engine_ = std::move(made);
        }
        pipeServer_.reset(new CPipeServer(pipeName_));
        pipeServer_->setCallback(&CDefragService::pausePipeCallback);
        // The user's sessions report through their agents what a service cannot see itself.
        setSessionZeroProbes(engine_->config().sessionZeroProbes());
        agentServer_.reset(new CAgentPipeServer(agentPipeName_, agent::CAgentReports::process()));
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
    if (argc > 0 && argv && argv[0]) {
        if (std::string(argv[0]) == "-b") {
            CDfrgStatistics::instance().resetAll();
            if (engine_) {
                engine_->config().setBenchmarkMode(true);
                if (engine_->config().maxProcessCalls() == -1) {
                    logText(scope, LogPriority::Error, "You have to specify the maxProcessFileCalls for Benchmarking");
                    return;
                }
            }
        } else {
            LogMessage(scope, LogPriority::Error).text("Unknown Parameter ").text(argv[0]);
        }
    }
    policy_.engineRunning = false;
    if (engine_) engine_->start(true);
    CDfrgStatistics::instance().setStatus(3);

    monitorStop_.reset(new platform::Event(platform::Event::Reset::Manual));
    policy_.startQuietPeriod(platform::tickCount());
    monitorThread_ = std::thread([] {
        if (CDefragService* self = CDefragService::instance()) self->checkSystemThread();
    });

    testHookUnknownException();
    // A stop, the end of the worker, or a restart (which may have come in before this round
    // began: it is kept until acted on here).
    int woken = engineEnded_ ? platform::Event::waitAny({&stopEvent(), &restartRequested_, engineEnded_.get()})
                             : platform::Event::waitAny({&stopEvent(), &restartRequested_});
    if (woken == 1) {
        // Taken now; a restart asked for from here on makes one more round.
        restartRequested_.reset();
        setRestart(true);
    }
    if (woken != 2 && engine_) engine_->stop();
    logText(scope, LogPriority::Informal, "Service message loop has ended. Calling engine::stop.");
    if (engine_) engine_->stop();
    logText(scope, LogPriority::Informal, "Engine::stop has returned");
    CDfrgStatistics::instance().save(true);
    logText(scope, LogPriority::Informal, "Exiting serviceWork");
}

void CDefragService::cleanup() {
    LogScope scope("cleanup");
    logText(scope, LogPriority::Informal, "Destroy notify window");
    logText(scope, LogPriority::Informal, "Signal sys thread stop");
    if (monitorStop_) monitorStop_->set();
    if (monitorThread_.joinable()) {
        logText(scope, LogPriority::Informal, "Wait for sys thread stop");
        monitorThread_.join();
        logText(scope, LogPriority::Informal, "Sys thread stopped");
    }
    logText(scope, LogPriority::Informal, "Update statistics status");
    CDfrgStatistics::instance().setStatus(finalStatus_);
    logText(scope, LogPriority::Informal, "Delete pipe server");
    pipeServer_.reset();
    agentServer_.reset();
    logText(scope, LogPriority::Informal, "Delete sys info");
    logText(scope, LogPriority::Informal, "Delete engine");
    std::unique_ptr<engine> old;
    {
        std::lock_guard<std::mutex> lock(engineLock_);
        old = std::move(engine_);
    }
    old.reset();
    // The events go after every thread that waits on or signals them has ended.
    logText(scope, LogPriority::Informal, "Resetting members");
    resetMembers();
    logText(scope, LogPriority::Informal, "Exiting cleanup");
}

uint32_t CDefragService::serviceControlHandler(uint32_t control, uint32_t eventType, void* eventData) {
    if (control == kRestartControl) {
        LogScope scope("serviceControlHandler");
        logText(scope, LogPriority::Informal, "Service control code 220 called, restarting Service");
        // A stop already asked for wins; otherwise the service thread restarts at its next wait
        // (at once when it is in serviceWork, or as soon as the round it is building starts).
        if (!stopRequested()) {
            setRestart(true);
            restartRequested_.set();
        }
        return 0;
    }
    return CService::serviceControlHandler(control, eventType, eventData);
}

void CDefragService::engineStatusCallback(DfrgStatus status) {
    CDefragService* self = instance();
    // A "working" report that the worker sent just before the pause reached it must not hide
    // the paused status.
    bool stalePause = status.status == 3 && self && !self->policy_.engineRunning;
    if (status.status != 6 && !stalePause) {
        CDfrgStatistics::instance().setStatus(status.status);
        if (status.status == 5 && self) {
            self->finalStatus_ = 5;
            self->requestStop();
        }
    }
    if (!status.lastFile.empty()) CDfrgStatistics::instance().setLastFile(status.lastFile);
}

void CDefragService::pausePipeCallback(int32_t clientCount) {
    CDefragService* self = instance();
    if (!self) return;
    if (clientCount > 0) {
        self->policy_.userPause = true;
        self->setEnginePaused(true);
    } else {
        // Resuming is the monitoring thread's decision, after its quiet period.
        self->policy_.userPause = false;
    }
}

void CDefragService::setEnginePaused(bool pause) {
    std::lock_guard<std::mutex> lock(engineLock_);
    if (pause && policy_.engineRunning) {
        CDfrgStatistics::instance().setActive(true);
        policy_.engineRunning = false;
        // Forced: a save of the worker's within the last second must not swallow the new status.
        CDfrgStatistics::instance().save(true);
        if (engine_) engine_->setPaused(true);
    } else if (!pause && !policy_.engineRunning && !policy_.userPause) {
        CDfrgStatistics::instance().setActive(false);
        policy_.engineRunning = true;
        CDfrgStatistics::instance().save(true);
        if (engine_) engine_->setPaused(false);
    }
}

void CDefragService::checkSystemThread() {
    ComApartment com;
    LogScope scope("main");
    setLogThreadName("CheckSystemThread");
    logText(scope, LogPriority::Informal, "checkSystemThread started");
    std::unique_ptr<SysInfo> info;
    std::unique_ptr<SysInfoSampler> sampler;
    try {
        info = SysInfo::createInstance();
        info->setCheckPrinting(!policy_.runWhilePrinting);
        sampler.reset(new SysInfoSampler(*info));
    } catch (const CDfrgException& e) {
        logDfrgException(scope, "Error initializing SysInfo. Continuing without load tracking.", e);
    }
    policy_.startQuietPeriod(platform::tickCount());
    try {
        for (;;) {
            int32_t oldReason = policy_.pauseReason;
            if (info) {
                try {
                    info->updateData();
                } catch (const CDfrgException& e) {
                    logDfrgException(scope, "Error updating SysInfo data. Continuing without load tracking.", e);
                    sampler.reset();
                    info.reset();
                }
            }
            policy_.addSamples(sampler.get());
            switch (policy_.step(sampler.get(), platform::tickCount())) {
            case CPausePolicy::Action::Pause: setEnginePaused(true); break;
            case CPausePolicy::Action::Resume: setEnginePaused(false); break;
            case CPausePolicy::Action::None: break;
            }
            int32_t newReason = policy_.pauseReason;
            if (newReason != oldReason && (!engine_ || engine_->config().enablePauseReasonLog())) {
                LogMessage(scope, LogPriority::Informal)
                    .text("New Pause Reason")
                    .prop("Old Reason", pauseReasonName(oldReason))
                    .prop("New Reason", pauseReasonName(newReason));
            }
            if (!monitorStop_ || monitorStop_->wait(kMonitorPeriodMs)) break;
        }
    } catch (const CDfrgException& e) {
        logDfrgException(scope, "DfrgException occured", e);
    } catch (...) {
        logText(scope, LogPriority::Error, "Unknown Exception occured");
    }
    sampler.reset();
    info.reset();
    logText(scope, LogPriority::Informal, "checkSystemThread finished. Ending.");
}
