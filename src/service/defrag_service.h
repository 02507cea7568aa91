// CDefragService: the concrete service. Its phases build, run and tear down the background
// defragmenter; the host (CService) calls them in the service role and in the foreground run.
#pragma once
#include <memory>

#include "platform/event.h"
#include "service/service.h"

class CDefragService : public CService {
public:
    // Only one may exist per process; a second construction throws the integer -1.
    explicit CDefragService(ServiceControlApi& api = systemServiceControl());
    ~CDefragService() override;

    std::string serviceName() const override { return "VelkarisDefragService"; }
    std::string displayName() const override { return "Velkaris Defrag Service"; }
    std::string description() const override { return "Defragments the hard disk in the background."; }
    const char* dependencies() const override { return "\0\0"; }
    bool init() override;
    void serviceWork(int argc, char** argv) override;
    void cleanup() override;
    uint32_t serviceControlHandler(uint32_t control, uint32_t eventType, void* eventData) override;

    static CDefragService* instance() { return s_instance; }

    static constexpr uint32_t kRestartControl = 220;

private:
    void resetMembers();
    // Ends the work of the current phase (the engine's worker in the full service).
    void stopEngine();

    std::unique_ptr<platform::Event> engineEnded_;

    static CDefragService* s_instance;
};
