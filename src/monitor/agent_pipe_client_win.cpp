// Windows only: the agent pipe's client end.
#include "monitor/agent_pipe_client.h"

#include "platform/local_pipe_win.h"

namespace agent {

using platform::UniqueFile;

struct CAgentPipeClient::Impl {
    UniqueFile pipe;
};

CAgentPipeClient::CAgentPipeClient() : impl_(new Impl) {}
CAgentPipeClient::~CAgentPipeClient() { close(); }

bool CAgentPipeClient::connect(const std::string& pipeName) {
    close();
    // Write access is all a report needs; FILE_READ_ATTRIBUTES lets the client see the server go
    // (GetNamedPipeInfo).
    impl_->pipe = platform::openPipeClient(pipeName, FILE_WRITE_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE);
    return impl_->pipe.valid();
}

bool CAgentPipeClient::send(const std::vector<uint8_t>& message) {
    if (!impl_->pipe) return false;
    DWORD written = 0;
    return WriteFile(impl_->pipe.get(), message.data(), static_cast<DWORD>(message.size()), &written, nullptr) &&
           written == message.size();
}

void CAgentPipeClient::close() { impl_->pipe.reset(); }

bool CAgentPipeClient::dropped(uint32_t waitMs) {
    if (!impl_->pipe) return true;
    for (uint32_t waited = 0;; waited += 20) {
        DWORD flags = 0;
        DWORD state = 0;
        if (!GetNamedPipeInfo(impl_->pipe.get(), &flags, nullptr, nullptr, nullptr) ||
            !GetNamedPipeHandleStateW(impl_->pipe.get(), &state, nullptr, nullptr, nullptr, nullptr, 0))
            return true;
        if (waited >= waitMs) return false;
        Sleep(20);
    }
}

}  // namespace agent
