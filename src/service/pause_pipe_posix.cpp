// POSIX only: the pause pipe as a Unix stream socket in the abstract namespace, with the same
// protocol as the Windows named pipe.
#include "service/pause_pipe.h"

#include <cerrno>
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

// Waits until fd is readable (or hung up) or the stop pipe is; true for fd.
bool waitReadable(int fd, int stopFd) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        int rc = ::poll(fds, 2, -1);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) return false;
        if (fds[1].revents) return false;
        if (fds[0].revents) return true;
    }
}

class PosixConnection : public PausePipeConnection {
public:
    PosixConnection(int fd, int stopFd) : fd_(fd), stopFd_(stopFd) {}
    bool waitForRelease() override {
        bool released = waitReadable(fd_.fd, stopFd_);
        if (released) {
            char buffer[200];
            ssize_t got;
            do {
                got = ::recv(fd_.fd, buffer, sizeof buffer, 0);
            } while (got < 0 && errno == EINTR);
        }
        ::shutdown(fd_.fd, SHUT_RDWR);
        return released;
    }

private:
    Fd fd_;
    int stopFd_;
};

class PosixTransport : public PausePipeTransport {
public:
    explicit PosixTransport(const std::string& name) {
        int p[2];
        if (::pipe2(p, O_CLOEXEC) == 0) {
            stopRead_.fd = p[0];
            stopWrite_.fd = p[1];
        }
        listen_.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr;
        socklen_t len = abstractAddress(name, addr);
        if (listen_.fd >= 0 && (::bind(listen_.fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listen_.fd, 16) != 0)) {
            ::close(listen_.fd);
            listen_.fd = -1;
        }
    }

    std::unique_ptr<PausePipeConnection> accept() override {
        if (listen_.fd < 0 || stopRead_.fd < 0) return nullptr;
        for (;;) {
            if (!waitReadable(listen_.fd, stopRead_.fd)) return nullptr;
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

std::unique_ptr<PausePipeTransport> PausePipeTransport::create(const std::string& pipeName) {
    return std::make_unique<PosixTransport>(pipeName);
}

struct CPausePipeClient::Impl {
    int fd = -1;
    bool writable = false;
};

CPausePipeClient::CPausePipeClient() : impl_(new Impl) {}
CPausePipeClient::~CPausePipeClient() { close(); }

bool CPausePipeClient::connect(const std::string& pipeName, Access access) {
    impl_->writable = access == Access::HoldAndWrite;
    close();
    impl_->fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (impl_->fd < 0) return false;
    sockaddr_un addr;
    socklen_t len = abstractAddress(pipeName, addr);
    if (::connect(impl_->fd, reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        close();
        return false;
    }
    return true;
}

bool CPausePipeClient::write(size_t bytes) {
    if (impl_->fd < 0 || !impl_->writable) return false;
    std::string data(bytes, 'x');
    return ::send(impl_->fd, data.data(), data.size(), MSG_NOSIGNAL) > 0;
}

void CPausePipeClient::close() {
    if (impl_->fd >= 0) ::close(impl_->fd);
    impl_->fd = -1;
}

bool CPausePipeClient::serverGone(uint32_t waitMs) {
    if (impl_->fd < 0) return true;
    pollfd p{impl_->fd, POLLIN | POLLRDHUP, 0};
    int rc = ::poll(&p, 1, static_cast<int>(waitMs));
    return rc > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLIN | POLLERR));
}
