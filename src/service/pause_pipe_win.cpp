// Windows only: the pause pipe as a named pipe with overlapped connect and read.
#include "service/pause_pipe.h"

#include "platform/handles_win.h"
#include "platform/text.h"
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
    explicit WinTransport(const std::string& name)
        : name_(platform::utf8ToUtf16(name)), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          connect_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    std::unique_ptr<PausePipeConnection> accept() override {
        if (!stop_ || !connect_) return nullptr;
        for (;;) {
            if (WaitForSingleObject(stop_.get(), 0) == WAIT_OBJECT_0) return nullptr;
            if (!listening_ && !(listening_ = createInstance())) return nullptr;
            ResetEvent(connect_.get());
            OVERLAPPED ov{};
            ov.hEvent = connect_.get();
            if (!ConnectNamedPipe(listening_.get(), &ov)) {
                DWORD e = GetLastError();
                if (e == ERROR_IO_PENDING) {
                    HANDLE waits[2] = {connect_.get(), stop_.get()};
                    if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                        CancelIo(listening_.get());
                        DWORD n = 0;
                        GetOverlappedResult(listening_.get(), &ov, &n, TRUE);
                        return nullptr;
                    }
                } else if (e != ERROR_PIPE_CONNECTED && e != ERROR_NO_DATA) {
                    DisconnectNamedPipe(listening_.get());
                    continue;
                }
                // ERROR_PIPE_CONNECTED: the client came before the connect started; ERROR_NO_DATA:
                // it came and went already. Either is handed out, so that every client counts
                // (the connection then ends at its first read).
            }
            UniqueFile connected = std::move(listening_);
            // The next instance exists before this one is handed out, so that the name is never
            // free for another process to take between two clients.
            listening_ = createInstance();
            return std::make_unique<WinConnection>(std::move(connected), stop_.get());
        }
    }

    void stop() override {
        if (stop_) SetEvent(stop_.get());
    }

private:
    UniqueFile createInstance() {
        // The first instance claims the name: when another process holds it already, the server
        // refuses to serve rather than share a name whose security it does not control.
        DWORD openMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | (created_ ? 0 : FILE_FLAG_FIRST_PIPE_INSTANCE);
        UniqueFile pipe(CreateNamedPipeW(reinterpret_cast<const wchar_t*>(name_.c_str()), openMode,
                                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES, 200,
                                         200, 0xFFFFFFFF,
                                         static_cast<SECURITY_ATTRIBUTES*>(pipe_security::clientsMayConnect())));
        if (pipe) created_ = true;
        return pipe;
    }

    WString name_;
    UniqueHandle stop_;
    UniqueHandle connect_;
    UniqueFile listening_;
    bool created_ = false;
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
    const WString name = platform::utf8ToUtf16(pipeName);
    const wchar_t* wideName = reinterpret_cast<const wchar_t*>(name.c_str());
    // Reading is what telling a gone server needs (PeekNamedPipe); writing only a client that
    // releases its hold by writing. A hold asks for no more, so the pipe's default security
    // (read for everyone) is enough for it.
    DWORD desired = FILE_READ_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
    if (access == Access::HoldAndWrite) desired |= FILE_WRITE_DATA;
    // The server makes its next instance on its own thread: a client can arrive in between
    // (no instance yet, or all busy) and waits a little for it.
    for (int attempt = 0; attempt < 100; ++attempt) {
        impl_->pipe = UniqueFile(CreateFileW(wideName, desired, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (impl_->pipe) return true;
        DWORD e = GetLastError();
        if (e == ERROR_PIPE_BUSY) WaitNamedPipeW(wideName, 50);
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
