// Windows only: the pause pipe as a named pipe with overlapped connect and read.
#include "service/pause_pipe.h"

#include "platform/handles_win.h"

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
    explicit WinTransport(const std::string& name)
        : name_(name), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)), connect_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    std::unique_ptr<PausePipeConnection> accept() override {
        if (!stop_ || !connect_ || WaitForSingleObject(stop_.get(), 0) == WAIT_OBJECT_0) return nullptr;
        UniqueFile pipe(CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 200,
                                         200, 0xFFFFFFFF, nullptr));
        if (!pipe) return nullptr;
        ResetEvent(connect_.get());
        OVERLAPPED ov{};
        ov.hEvent = connect_.get();
        if (!ConnectNamedPipe(pipe.get(), &ov)) {
            DWORD e = GetLastError();
            if (e == ERROR_IO_PENDING) {
                HANDLE waits[2] = {connect_.get(), stop_.get()};
                if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                    CancelIo(pipe.get());
                    DWORD n = 0;
                    GetOverlappedResult(pipe.get(), &ov, &n, TRUE);
                    return nullptr;
                }
            } else if (e != ERROR_PIPE_CONNECTED) {
                // A client that came and went before the connect: nothing to hold.
                return accept();
            }
            // ERROR_PIPE_CONNECTED: the client came before the connect started.
        }
        return std::make_unique<WinConnection>(std::move(pipe), stop_.get());
    }

    void stop() override {
        if (stop_) SetEvent(stop_.get());
    }

private:
    std::string name_;
    UniqueHandle stop_;
    UniqueHandle connect_;
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

bool CPausePipeClient::connect(const std::string& pipeName) {
    close();
    // The server makes its next instance on its own thread: a client can arrive in between
    // (no instance yet, or all busy) and waits a little for it.
    for (int attempt = 0; attempt < 100; ++attempt) {
        impl_->pipe = UniqueFile(CreateFileA(pipeName.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (impl_->pipe) return true;
        DWORD e = GetLastError();
        if (e == ERROR_PIPE_BUSY) WaitNamedPipeA(pipeName.c_str(), 50);
        else if (e == ERROR_FILE_NOT_FOUND && attempt < 20) Sleep(25);
        else return false;
    }
    return false;
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
