// A client of the agent pipe: the user-session agent, and tests. It sends each report as one
// message; on Windows it asks for write access only.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace agent {

class CAgentPipeClient {
public:
    CAgentPipeClient();
    ~CAgentPipeClient();
    CAgentPipeClient(const CAgentPipeClient&) = delete;
    CAgentPipeClient& operator=(const CAgentPipeClient&) = delete;
    bool connect(const std::string& pipeName);
    // Sends the bytes as one message; false when the server has gone.
    bool send(const std::vector<uint8_t>& message);
    void close();
    // True once the server has dropped this client (waits up to waitMs).
    bool dropped(uint32_t waitMs);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace agent
