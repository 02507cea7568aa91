// POSIX only: the agent pipe as a sequenced-packet Unix socket in the abstract namespace, which
// keeps message boundaries as the Windows message-mode pipe does.
#include "service/agent_pipe.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

struct Fd {
    int fd = -1;
    explicit Fd(int f = -1) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
};

socklen_t abstractAddress(const std::string& name, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    size_t n = std::min(name.size(), sizeof addr.sun_path - 1);
    std::memcpy(addr.sun_path + 1, name.data(), n);  // a leading zero byte: the abstract namespace
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

// 1: fd readable, 0: time-out, -1: stop or failure.
int waitReadable(int fd, int stopFd, int timeoutMs) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        int rc = ::poll(fds, 2, timeoutMs);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0 || fds[1].revents) return -1;
        if (rc == 0) return 0;
        return 1;
    }
}

class PosixConnection : public AgentPipeConnection {
public:
    PosixConnection(int fd, int stopFd) : fd_(fd), stopFd_(stopFd) {}
    Read read(std::vector<uint8_t>& message, uint32_t timeoutMs) override {
        int ready = waitReadable(fd_.fd, stopFd_, static_cast<int>(timeoutMs));
        if (ready < 0) return Read::Stopped;
        if (ready == 0) return Read::Silent;
        message.resize(agent::kMessageSize);
        ssize_t got;
        do {
            // MSG_TRUNC: the packet's real length, also when it is longer than the buffer.
            got = ::recv(fd_.fd, message.data(), message.size(), MSG_TRUNC);
        } while (got < 0 && errno == EINTR);
        if (got <= 0) return Read::Closed;
        if (static_cast<size_t>(got) > agent::kMessageSize) return Read::Oversized;
        message.resize(static_cast<size_t>(got));
        return Read::Message;
    }

private:
    Fd fd_;
    int stopFd_;
};

class PosixTransport : public AgentPipeTransport {
public:
    explicit PosixTransport(const std::string& name) {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) == 0) {
            stopRead_.fd = p[0];
            stopWrite_.fd = p[1];
        }
        listen_.fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr;
        socklen_t len = abstractAddress(name, addr);
        if (listen_.fd >= 0 && (::bind(listen_.fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listen_.fd, 16) != 0)) {
            ::close(listen_.fd);
            listen_.fd = -1;
        }
    }

    std::unique_ptr<AgentPipeConnection> accept() override {
        if (listen_.fd < 0 || stopRead_.fd < 0) return nullptr;
        for (;;) {
            if (waitReadable(listen_.fd, stopRead_.fd, -1) <= 0) return nullptr;
            int c = ::accept4(listen_.fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) return std::make_unique<PosixConnection>(c, stopRead_.fd);
            if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) return nullptr;
        }
    }

    void stop() override {
        if (stopWrite_.fd >= 0) {
            char b = 1;
            ssize_t n = ::write(stopWrite_.fd, &b, 1);
            (void)n;
        }
    }

private:
    Fd listen_;
    Fd stopRead_;
    Fd stopWrite_;
};

}  // namespace

std::unique_ptr<AgentPipeTransport> AgentPipeTransport::create(const std::string& pipeName) {
    return std::make_unique<PosixTransport>(pipeName);
}
