// POSIX only: the agent pipe's client end, a sequenced-packet Unix socket.
#include "monitor/agent_pipe_client.h"

#include <poll.h>
#include <sys/socket.h>

#include "platform/local_pipe_posix.h"

namespace agent {

struct CAgentPipeClient::Impl {
    platform::UniqueFd fd;
};

CAgentPipeClient::CAgentPipeClient() : impl_(new Impl) {}
CAgentPipeClient::~CAgentPipeClient() { close(); }

bool CAgentPipeClient::connect(const std::string& pipeName) {
    impl_->fd = platform::openPipeClient(pipeName, SOCK_SEQPACKET);
    return impl_->fd.valid();
}

bool CAgentPipeClient::send(const std::vector<uint8_t>& message) {
    if (!impl_->fd) return false;
    return ::send(impl_->fd.get(), message.data(), message.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(message.size());
}

void CAgentPipeClient::close() { impl_->fd.reset(); }

bool CAgentPipeClient::dropped(uint32_t waitMs) {
    if (!impl_->fd) return true;
    pollfd p{impl_->fd.get(), POLLIN | POLLRDHUP, 0};
    int rc = ::poll(&p, 1, static_cast<int>(waitMs));
    return rc > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLIN | POLLERR));
}

}  // namespace agent
