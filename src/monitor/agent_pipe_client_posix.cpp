// POSIX only: the agent pipe's client end, a sequenced-packet Unix socket.
#include "monitor/agent_pipe_client.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace agent {

namespace {

socklen_t abstractAddress(const std::string& name, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    size_t n = std::min(name.size(), sizeof addr.sun_path - 1);
    std::memcpy(addr.sun_path + 1, name.data(), n);
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

}  // namespace

struct CAgentPipeClient::Impl {
    int fd = -1;
};

CAgentPipeClient::CAgentPipeClient() : impl_(new Impl) {}
CAgentPipeClient::~CAgentPipeClient() { close(); }

bool CAgentPipeClient::connect(const std::string& pipeName) {
    close();
    impl_->fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (impl_->fd < 0) return false;
    sockaddr_un addr;
    socklen_t len = abstractAddress(pipeName, addr);
    if (::connect(impl_->fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        close();
        return false;
    }
    return true;
}

bool CAgentPipeClient::send(const std::vector<uint8_t>& message) {
    if (impl_->fd < 0) return false;
    return ::send(impl_->fd, message.data(), message.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(message.size());
}

void CAgentPipeClient::close() {
    if (impl_->fd >= 0) ::close(impl_->fd);
    impl_->fd = -1;
}

bool CAgentPipeClient::dropped(uint32_t waitMs) {
    if (impl_->fd < 0) return true;
    pollfd p{impl_->fd, POLLIN | POLLRDHUP, 0};
    int rc = ::poll(&p, 1, static_cast<int>(waitMs));
    return rc > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLIN | POLLERR));
}

}  // namespace agent
