#include "service/agent_pipe.h"

#include "logging/log.h"
#include "platform/clock.h"

CAgentPipeServer::CAgentPipeServer(const std::string& pipeName, agent::CAgentReports& reports)
    : reports_(reports), transport_(AgentPipeTransport::create(pipeName)) {
    acceptThread_ = std::thread([this] { acceptLoop(); });
}

CAgentPipeServer::~CAgentPipeServer() {
    if (transport_) transport_->stop();
    if (acceptThread_.joinable()) acceptThread_.join();
    std::lock_guard<std::mutex> lock(clientsLock_);
    for (Client& c : clients_)
        if (c.thread.joinable()) c.thread.join();
}

const char* CAgentPipeServer::dropName(Drop reason) {
    switch (reason) {
    case Drop::Malformed: return "malformed";
    case Drop::Oversized: return "oversized";
    case Drop::WrongVersion: return "wrong version";
    case Drop::Stale: return "stale";
    case Drop::Flooding: return "flooding";
    case Drop::Silent: return "silent";
    case Drop::TooMany: return "too many agents";
    default: return "?";
    }
}

size_t CAgentPipeServer::threadCount() const {
    std::lock_guard<std::mutex> lock(clientsLock_);
    return clients_.size();
}

void CAgentPipeServer::drop(Drop reason, uint64_t id) {
    // Once per kind: a client that reconnects and misbehaves in a loop must not fill the log.
    if (!logged_[static_cast<int>(reason)].exchange(true)) {
        LogScope scope("CAgentPipeServer");
        LogMessage(scope, LogPriority::Warning)
            .text("Agent dropped")
            .prop("Reason", dropName(reason))
            .prop("Connection", id);
    }
    ++drops_[static_cast<int>(reason)];
}

void CAgentPipeServer::reapFinished() {
    std::lock_guard<std::mutex> lock(clientsLock_);
    for (auto it = clients_.begin(); it != clients_.end();) {
        if (it->done) {
            if (it->thread.joinable()) it->thread.join();
            it = clients_.erase(it);
        } else {
            ++it;
        }
    }
}

void CAgentPipeServer::acceptLoop() {
    if (!transport_) return;
    for (;;) {
        std::unique_ptr<AgentPipeConnection> connection = transport_->accept();
        if (!connection) return;
        reapFinished();
        std::lock_guard<std::mutex> lock(clientsLock_);
        const uint64_t id = nextId_++;
        if (clients_.size() >= kMaxClients) {
            drop(Drop::TooMany, id);
            continue;  // the connection closes here
        }
        clients_.emplace_back();
        Client* self = &clients_.back();
        try {
            self->thread = std::thread([this, self, id, c = connection.release()] {
                std::unique_ptr<AgentPipeConnection> owned(c);
                try {
                    serve(*owned, id);
                } catch (...) {
                    // Nothing may escape a thread; the client is simply gone.
                }
                reports_.remove(id);
                owned.reset();
                self->done = true;
            });
        } catch (...) {
            clients_.pop_back();
            return;
        }
    }
}

void CAgentPipeServer::serve(AgentPipeConnection& connection, uint64_t id) {
    std::vector<uint8_t> message;
    uint32_t windowStart = platform::tickCount();
    uint32_t inWindow = 0;
    bool announced = false;
    for (;;) {
        switch (connection.read(message, kSilentMs)) {
        case AgentPipeConnection::Read::Stopped:
        case AgentPipeConnection::Read::Closed: return;
        case AgentPipeConnection::Read::Silent: return drop(Drop::Silent, id);
        case AgentPipeConnection::Read::Oversized: return drop(Drop::Oversized, id);
        case AgentPipeConnection::Read::Message: break;
        }
        const uint32_t now = platform::tickCount();
        if (now - windowStart >= 1000) {
            windowStart = now;
            inWindow = 0;
        }
        if (++inWindow > kMaxPerSecond) return drop(Drop::Flooding, id);
        agent::Report report;
        switch (agent::decode(message.data(), message.size(), report)) {
        case agent::DecodeResult::Malformed: return drop(Drop::Malformed, id);
        case agent::DecodeResult::WrongVersion: return drop(Drop::WrongVersion, id);
        case agent::DecodeResult::Ok: break;
        }
        // Both ticks are the machine's one tick count; a report from the past is a replay or a
        // client that hangs, and says nothing about the user now; so is one from far ahead.
        const int32_t age = static_cast<int32_t>(now - report.sentTick);
        if (age > static_cast<int32_t>(agent::kFreshMs) || age < -static_cast<int32_t>(agent::kFreshMs))
            return drop(Drop::Stale, id);
        reports_.update(id, report, now);
        if (!announced) {
            // From here on the user's input in that session can pause the engine.
            announced = true;
            LogScope scope("CAgentPipeServer");
            LogMessage(scope, LogPriority::Informal)
                .text("Agent connected")
                .prop("Session", report.sessionId)
                .prop("Connection", id);
        }
    }
}
