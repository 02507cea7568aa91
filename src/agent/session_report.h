// What the agent sees in its session, gathered into one report for the service.
#pragma once
#include <cstdint>

#include "monitor/agent_reports.h"

namespace agent {

class CSessionObserver {
public:
    explicit CSessionObserver(uint32_t sessionId) : sessionId_(sessionId) {}
    // Input, cursor, full-screen window and screen saver every time; the windowed processes
    // every fifth time (the service looks at them every five seconds), so that a period costs
    // little more than a handful of queries.
    // The report leaves unstamped (sentTick 0): the sender stamps it.
    Report observe();

private:
    uint32_t sessionId_;
    uint32_t sequence_ = 0;
    std::vector<uint32_t> processes_;
};

}  // namespace agent
