// Windows only: the pause pipe as a named pipe with overlapped connect and read.
#include "service/pause_pipe.h"

#include "platform/local_pipe_win.h"
#include "service/pipe_security.h"

namespace {

using platform::UniqueFile;
using platform::UniqueHandle;

class WinConnection : public PausePipeConnection {
public:
    WinConnection(UniqueFile pipe, HANDLE stop) : pipe_(std::move(pipe)), stop_(stop) {}

    bool waitForRelease() override {
        UniqueHandle readEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        bool released = true;
        if (readEvent) {
            OVERLAPPED ov{};
            ov.hEvent = readEvent.get();
            char buffer[200];
            DWORD got = 0;
            // A read that completes or fails at once (data already there, client already gone)
            // ends the hold at once.
            if (!ReadFile(pipe_.get(), buffer, sizeof buffer, &got, &ov) && GetLastError() == ERROR_IO_PENDING) {
                HANDLE waits[2] = {readEvent.get(), stop_};
                if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                    released = false;
                    CancelIo(pipe_.get());
                    GetOverlappedResult(pipe_.get(), &ov, &got, TRUE);
                }
            }
        }
        FlushFileBuffers(pipe_.get());
        DisconnectNamedPipe(pipe_.get());
        pipe_.reset();
        return released;
    }

private:
    UniqueFile pipe_;
    HANDLE stop_;
};

class WinTransport : public PausePipeTransport {
public:
    explicit WinTransport(const std::string& name) : listener_(name, options()) {}

    std::unique_ptr<PausePipeConnection> accept() override {
        UniqueFile connected = listener_.accept();
        if (!connected) return nullptr;
        return std::make_unique<WinConnection>(std::move(connected), listener_.stopEvent());
    }
    void stop() override { listener_.stop(); }

private:
    static platform::PipeListener::Options options() {
        platform::PipeListener::Options o;
        o.outBuffer = o.inBuffer = 200;
        o.defaultTimeoutMs = 0xFFFFFFFF;
        o.security = pipe_security::clientsMayConnect();
        return o;
    }

    platform::PipeListener listener_;
};

}  // namespace

std::unique_ptr<PausePipeTransport> PausePipeTransport::create(const std::string& pipeName) {
    return std::make_unique<WinTransport>(pipeName);
}

struct CPausePipeClient::Impl {
    UniqueFile pipe;
};

CPausePipeClient::CPausePipeClient() : impl_(new Impl) {}
CPausePipeClient::~CPausePipeClient() { close(); }

bool CPausePipeClient::connect(const std::string& pipeName, Access access) {
    close();
    // Reading is what telling a gone server needs (PeekNamedPipe); writing only a client that
    // releases its hold by writing. A hold asks for no more, so the pipe's default security
    // (read for everyone) is enough for it.
    DWORD desired = FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    if (access == Access::HoldAndWrite) desired |= FILE_WRITE_DATA;
    impl_->pipe = platform::openPipeClient(pipeName, desired);
    return impl_->pipe.valid();
}

bool CPausePipeClient::write(size_t bytes) {
    if (!impl_->pipe) return false;
    std::string data(bytes, 'x');
    DWORD written = 0;
    return WriteFile(impl_->pipe.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr) != 0;
}

void CPausePipeClient::close() { impl_->pipe.reset(); }

bool CPausePipeClient::serverGone(uint32_t waitMs) {
    if (!impl_->pipe) return true;
    for (uint32_t waited = 0;; waited += 20) {
        DWORD avail = 0;
        if (!PeekNamedPipe(impl_->pipe.get(), nullptr, 0, nullptr, &avail, nullptr)) return true;
        if (waited >= waitMs) return false;
        Sleep(20);
    }
}
