// CDefragService: the concrete service. Its phases build, run and tear down the background
// defragmenter; the host (CService) calls them in the service role and in the foreground run.
// It owns the engine, the pause pipe server and the monitoring thread of the pause policy.
#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/engine.h"
#include "platform/event.h"
#include "service/agent_pipe.h"
#include "service/pause_pipe.h"
#include "service/pause_policy.h"
#include "service/service.h"

class LoadSampler;

class CDefragService : public CService {
public:
    // Only one may exist per process; a second construction throws the integer -1.
    explicit CDefragService(ServiceControlApi& api = systemServiceControl(),
                            UserActivity& activity = systemUserActivity());
    ~CDefragService() override;

    std::string serviceName() const override { return "VelkarisDefragService"; }
    std::string displayName() const override { return "Velkaris Defrag Service"; }
    std::string description() const override { return "Defragments the hard disk in the background."; }
    const char* dependencies() const override { return "\0\0"; }
    bool init() override;
    void serviceWork(int argc, char** argv) override;
    void cleanup() override;
    uint32_t serviceControlHandler(uint32_t control, uint32_t eventType, void* eventData) override;

    // Pauses or resumes the engine and tells the statistics; reached from the monitoring thread
    // and the pause pipe's client threads. One locked test-and-act: a resume never overtakes a
    // pause, and it does nothing while a pause-pipe client holds the engine.
    void setEnginePaused(bool pause);
    // The body of the monitoring thread.
    void checkSystemThread();

    CPausePolicy& policy() { return policy_; }
    // The pause and agent pipes' names for the next init (tests use names of their own).
    void setPausePipeName(const std::string& name) { pipeName_ = name; }
    void setAgentPipeName(const std::string& name) { agentPipeName_ = name; }
    int32_t finalStatus() const { return finalStatus_; }

    static CDefragService* instance() { return s_instance; }

    static constexpr uint32_t kRestartControl = 220;
    static constexpr uint32_t kMonitorPeriodMs = 750;

private:
    void resetMembers();
    static void engineStatusCallback(DfrgStatus status);
    static void pausePipeCallback(int32_t clientCount);

    CPausePolicy policy_;
    // Guards the engine pointer against the threads that reach it (pause pipe clients, the
    // monitoring thread) and makes each pause or resume one test-and-act.
    std::mutex engineLock_;
    std::unique_ptr<engine> engine_;
    std::string pipeName_ = kPausePipeName;
    std::string agentPipeName_ = agent::kAgentPipeName;
    // A restart asked for by control 220 and not yet acted on. The control handler only sets
    // it, so that it never touches the engine, whatever phase the service thread is in.
    platform::Event restartRequested_{platform::Event::Reset::Manual};
    std::unique_ptr<CPipeServer> pipeServer_;
    std::unique_ptr<CAgentPipeServer> agentServer_;
    std::atomic<int32_t> finalStatus_{0};
    std::thread monitorThread_;
    std::unique_ptr<platform::Event> monitorStop_;
    std::unique_ptr<platform::Event> engineEnded_;

    static CDefragService* s_instance;
};
