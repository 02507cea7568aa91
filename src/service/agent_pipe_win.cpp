// Windows only: the agent pipe as an inbound message-mode named pipe. Interactive users may
// connect and write; only the service's account may create instances of the name.
#include "service/agent_pipe.h"

#include "platform/handles_win.h"
#include "platform/text.h"
#include "service/pipe_security.h"

namespace {

using platform::UniqueFile;
using platform::UniqueHandle;

class WinConnection : public AgentPipeConnection {
public:
    WinConnection(UniqueFile pipe, HANDLE stop) : pipe_(std::move(pipe)), stop_(stop), event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~WinConnection() override {
        DisconnectNamedPipe(pipe_.get());
    }

    Read read(std::vector<uint8_t>& message, uint32_t timeoutMs) override {
        if (!event_) return Read::Closed;
        message.resize(agent::kMessageSize);
        ResetEvent(event_.get());
        OVERLAPPED ov{};
        ov.hEvent = event_.get();
        DWORD got = 0;
        BOOL ok = ReadFile(pipe_.get(), message.data(), static_cast<DWORD>(message.size()), &got, &ov);
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        if (!ok && error == ERROR_IO_PENDING) {
            HANDLE waits[2] = {event_.get(), stop_};
            DWORD which = WaitForMultipleObjects(2, waits, FALSE, timeoutMs);
            if (which != WAIT_OBJECT_0) {
                CancelIo(pipe_.get());
                GetOverlappedResult(pipe_.get(), &ov, &got, TRUE);
                return which == WAIT_TIMEOUT ? Read::Silent : Read::Stopped;
            }
            ok = GetOverlappedResult(pipe_.get(), &ov, &got, FALSE);
            error = ok ? ERROR_SUCCESS : GetLastError();
        }
        if (!ok && error == ERROR_MORE_DATA) return Read::Oversized;
        if (!ok || got == 0) return Read::Closed;
        message.resize(got);
        return Read::Message;
    }

private:
    UniqueFile pipe_;
    HANDLE stop_;
    UniqueHandle event_;
};

class WinTransport : public AgentPipeTransport {
public:
    explicit WinTransport(const std::string& name)
        : name_(platform::utf8ToUtf16(name)), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          connect_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

    std::unique_ptr<AgentPipeConnection> accept() override {
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
                } else if (e != ERROR_PIPE_CONNECTED) {
                    DisconnectNamedPipe(listening_.get());
                    continue;
                }
            }
            UniqueFile connected = std::move(listening_);
            // The next instance exists before this one is handed out: the name is never free.
            listening_ = createInstance();
            return std::make_unique<WinConnection>(std::move(connected), stop_.get());
        }
    }

    void stop() override {
        if (stop_) SetEvent(stop_.get());
    }

private:
    UniqueFile createInstance() {
        DWORD openMode = PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | (created_ ? 0 : FILE_FLAG_FIRST_PIPE_INSTANCE);
        UniqueFile pipe(CreateNamedPipeW(reinterpret_cast<const wchar_t*>(name_.c_str()), openMode,
                                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                         PIPE_UNLIMITED_INSTANCES, 0, static_cast<DWORD>(4 * agent::kMessageSize), 0,
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

std::unique_ptr<AgentPipeTransport> AgentPipeTransport::create(const std::string& pipeName) {
    return std::make_unique<WinTransport>(pipeName);
}
