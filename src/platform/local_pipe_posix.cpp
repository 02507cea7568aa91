#include "platform/local_pipe_posix.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>

namespace platform {

namespace {

socklen_t abstractAddress(const std::string& name, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    const size_t n = std::min(name.size(), sizeof addr.sun_path - 1);
    std::memcpy(addr.sun_path + 1, name.data(), n);  // a leading zero byte: the abstract namespace
    return static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
}

}  // namespace

WaitResult waitReadable(int fd, int stopFd, int timeoutMs) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    for (;;) {
        const int rc = ::poll(fds, 2, timeoutMs);
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0 || fds[1].revents) return WaitResult::Stopped;
        if (rc == 0) return WaitResult::TimedOut;
        return WaitResult::Ready;
    }
}

PipeListener::PipeListener(const std::string& name, int socketType) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) == 0) {
        stopRead_.reset(p[0]);
        stopWrite_.reset(p[1]);
    }
    listen_.reset(::socket(AF_UNIX, socketType | SOCK_CLOEXEC, 0));
    sockaddr_un addr;
    const socklen_t len = abstractAddress(name, addr);
    if (listen_ && (::bind(listen_.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 || ::listen(listen_.get(), 16) != 0))
        listen_.reset();
}

UniqueFd PipeListener::accept() {
    if (!listen_ || !stopRead_) return UniqueFd();
    for (;;) {
        if (waitReadable(listen_.get(), stopRead_.get(), -1) != WaitResult::Ready) return UniqueFd();
        const int c = ::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC);
        if (c >= 0) return UniqueFd(c);
        if (errno != EINTR && errno != ECONNABORTED && errno != EAGAIN) return UniqueFd();
    }
}

void PipeListener::stop() {
    if (!stopWrite_) return;
    const char b = 1;
    const ssize_t n = ::write(stopWrite_.get(), &b, 1);
    (void)n;
}

UniqueFd openPipeClient(const std::string& name, int socketType) {
    UniqueFd fd(::socket(AF_UNIX, socketType | SOCK_CLOEXEC, 0));
    if (!fd) return fd;
    sockaddr_un addr;
    const socklen_t len = abstractAddress(name, addr);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0) {
        const int e = errno;
        fd.reset();
        errno = e;
    }
    return fd;
}

}  // namespace platform
