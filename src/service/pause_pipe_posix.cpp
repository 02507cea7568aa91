// POSIX only: the pause pipe as a Unix stream socket in the abstract namespace, with the same
// protocol as the Windows named pipe.
#include "service/pause_pipe.h"

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

#include "platform/local_pipe_posix.h"

namespace {

using platform::UniqueFd;

class PosixConnection : public PausePipeConnection {
public:
    PosixConnection(UniqueFd fd, int stopFd) : fd_(std::move(fd)), stopFd_(stopFd) {}
    bool waitForRelease() override {
        const bool released = platform::waitReadable(fd_.get(), stopFd_, -1) == platform::WaitResult::Ready;
        if (released) {
            char buffer[200];
            ssize_t got;
            do {
                got = ::recv(fd_.get(), buffer, sizeof buffer, 0);
            } while (got < 0 && errno == EINTR);
        }
        ::shutdown(fd_.get(), SHUT_RDWR);
        return released;
    }

private:
    UniqueFd fd_;
    int stopFd_;
};

class PosixTransport : public PausePipeTransport {
public:
    explicit PosixTransport(const std::string& name) : listener_(name, SOCK_STREAM) {}

    std::unique_ptr<PausePipeConnection> accept() override {
        UniqueFd c = listener_.accept();
        if (!c) return nullptr;
        return std::make_unique<PosixConnection>(std::move(c), listener_.stopFd());
    }
    void stop() override { listener_.stop(); }

private:
    platform::PipeListener listener_;
};

}  // namespace

std::unique_ptr<PausePipeTransport> PausePipeTransport::create(const std::string& pipeName) {
    return std::make_unique<PosixTransport>(pipeName);
}

struct CPausePipeClient::Impl {
    UniqueFd fd;
    bool writable = false;
};

CPausePipeClient::CPausePipeClient() : impl_(new Impl) {}
CPausePipeClient::~CPausePipeClient() { close(); }

bool CPausePipeClient::connect(const std::string& pipeName, Access access) {
    impl_->writable = access == Access::HoldAndWrite;
    impl_->fd = platform::openPipeClient(pipeName, SOCK_STREAM);
    return impl_->fd.valid();
}

bool CPausePipeClient::write(size_t bytes) {
    if (!impl_->fd || !impl_->writable) return false;
    std::string data(bytes, 'x');
    return ::send(impl_->fd.get(), data.data(), data.size(), MSG_NOSIGNAL) > 0;
}

void CPausePipeClient::close() { impl_->fd.reset(); }

bool CPausePipeClient::serverGone(uint32_t waitMs) {
    if (!impl_->fd) return true;
    pollfd p{impl_->fd.get(), POLLIN | POLLRDHUP, 0};
    int rc = ::poll(&p, 1, static_cast<int>(waitMs));
    return rc > 0 && (p.revents & (POLLHUP | POLLRDHUP | POLLIN | POLLERR));
}
