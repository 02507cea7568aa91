// POSIX only: the agent pipe as a sequenced-packet Unix socket in the abstract namespace, which
// keeps message boundaries as the Windows message-mode pipe does.
#include "service/agent_pipe.h"

#include <cerrno>
#include <sys/socket.h>

#include "platform/local_pipe_posix.h"

namespace {

using platform::UniqueFd;

class PosixConnection : public AgentPipeConnection {
public:
    PosixConnection(UniqueFd fd, int stopFd) : fd_(std::move(fd)), stopFd_(stopFd) {}
    Read read(std::vector<uint8_t>& message, uint32_t timeoutMs) override {
        switch (platform::waitReadable(fd_.get(), stopFd_, static_cast<int>(timeoutMs))) {
        case platform::WaitResult::Stopped: return Read::Stopped;
        case platform::WaitResult::TimedOut: return Read::Silent;
        case platform::WaitResult::Ready: break;
        }
        message.resize(agent::kMessageSize);
        ssize_t got;
        do {
            // MSG_TRUNC: the packet's real length, also when it is longer than the buffer.
            got = ::recv(fd_.get(), message.data(), message.size(), MSG_TRUNC);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) return Read::Closed;
        if (static_cast<size_t>(got) > agent::kMessageSize) return Read::Oversized;
        message.resize(static_cast<size_t>(got));
        return Read::Message;
    }

private:
    UniqueFd fd_;
    int stopFd_;
};

class PosixTransport : public AgentPipeTransport {
public:
    explicit PosixTransport(const std::string& name) : listener_(name, SOCK_SEQPACKET) {}

    std::unique_ptr<AgentPipeConnection> accept() override {
        UniqueFd c = listener_.accept();
        if (!c) return nullptr;
        return std::make_unique<PosixConnection>(std::move(c), listener_.stopFd());
    }
    void stop() override { listener_.stop(); }

private:
    platform::PipeListener listener_;
};

}  // namespace

std::unique_ptr<AgentPipeTransport> AgentPipeTransport::create(const std::string& pipeName) {
    return std::make_unique<PosixTransport>(pipeName);
}
