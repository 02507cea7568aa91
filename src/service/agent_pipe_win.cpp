// Windows only: the agent pipe as an inbound message-mode named pipe. Interactive users may
// connect and write; only the service's account may create instances of the name.
#include "service/agent_pipe.h"

#include "platform/local_pipe_win.h"
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
    explicit WinTransport(const std::string& name) : listener_(name, options()) {}

    std::unique_ptr<AgentPipeConnection> accept() override {
        UniqueFile connected = listener_.accept();
        if (!connected) return nullptr;
        return std::make_unique<WinConnection>(std::move(connected), listener_.stopEvent());
    }
    void stop() override { listener_.stop(); }

private:
    static platform::PipeListener::Options options() {
        platform::PipeListener::Options o;
        o.access = PIPE_ACCESS_INBOUND;
        o.pipeMode = PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
        o.inBuffer = static_cast<DWORD>(4 * agent::kMessageSize);
        o.security = pipe_security::clientsMayConnect();
        return o;
    }

    platform::PipeListener listener_;
};

}  // namespace

std::unique_ptr<AgentPipeTransport> AgentPipeTransport::create(const std::string& pipeName) {
    return std::make_unique<WinTransport>(pipeName);
}
