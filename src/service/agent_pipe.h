// The agent pipe: the user-session agents send their reports here. Each client sends one
// fixed-size message every 750 ms; the server keeps the freshest report of each in a store
// that the pause policy reads. A client that sends something malformed, oversized, of another
// version, stale, too often or nothing at all is dropped; the first drop of each kind is logged.
// On Windows a message-mode named pipe with explicit security; elsewhere a sequenced-packet Unix
// socket in the abstract namespace, with the same rules.
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "monitor/agent_reports.h"

class AgentPipeConnection {
public:
    enum class Read { Message, Oversized, Closed, Silent, Stopped };
    virtual ~AgentPipeConnection() = default;
    // Waits up to timeoutMs for the next message (at most agent::kMessageSize bytes into
    // `message`). Oversized: a longer message arrived (and was discarded).
    virtual Read read(std::vector<uint8_t>& message, uint32_t timeoutMs) = 0;
};

class AgentPipeTransport {
public:
    virtual ~AgentPipeTransport() = default;
    // The next client; null when stopping or when no instance can be created (name taken).
    virtual std::unique_ptr<AgentPipeConnection> accept() = 0;
    virtual void stop() = 0;
    static std::unique_ptr<AgentPipeTransport> create(const std::string& pipeName);
};

class CAgentPipeServer {
public:
    static constexpr uint32_t kSilentMs = 5000;    // a client that says nothing this long is dropped
    static constexpr uint32_t kMaxPerSecond = 8;   // more messages within a second are a flood
    static constexpr size_t kMaxClients = 32;      // one per session is all an agent needs

    enum class Drop { Malformed, Oversized, WrongVersion, Stale, Flooding, Silent, TooMany, Count };

    CAgentPipeServer(const std::string& pipeName, agent::CAgentReports& reports);
    ~CAgentPipeServer();
    CAgentPipeServer(const CAgentPipeServer&) = delete;
    CAgentPipeServer& operator=(const CAgentPipeServer&) = delete;

    // Client threads still owned (running, or ended and not reaped yet).
    size_t threadCount() const;
    // Clients dropped for `reason`; a drop is counted after it is logged.
    uint32_t dropCount(Drop reason) const { return drops_[static_cast<int>(reason)]; }

    static const char* dropName(Drop reason);

private:
    struct Client {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    void acceptLoop();
    void serve(AgentPipeConnection& connection, uint64_t id);
    void drop(Drop reason, uint64_t id);
    void reapFinished();

    agent::CAgentReports& reports_;
    std::unique_ptr<AgentPipeTransport> transport_;
    std::atomic<uint32_t> drops_[static_cast<int>(Drop::Count)] = {};
    std::atomic<bool> logged_[static_cast<int>(Drop::Count)] = {};
    mutable std::mutex clientsLock_;
    std::list<Client> clients_;
    uint64_t nextId_ = 1;
    std::thread acceptThread_;
};
