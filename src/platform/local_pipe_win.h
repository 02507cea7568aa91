// Windows only: both ends of a local named pipe. The server hands out one connected instance per
// client; the client waits a little for a free instance.
#pragma once
#include <cstdint>
#include <string>

#include "platform/handles_win.h"
#include "platform/text.h"

namespace platform {

class PipeListener {
public:
    struct Options {
        DWORD access = PIPE_ACCESS_DUPLEX;  // or PIPE_ACCESS_INBOUND
        DWORD pipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT;
        DWORD outBuffer = 0;
        DWORD inBuffer = 0;
        DWORD defaultTimeoutMs = 0;  // what WaitNamedPipe's default wait means; 0 = 50 ms
        void* security = nullptr;  // SECURITY_ATTRIBUTES*
    };
    PipeListener(const std::string& name, const Options& options);

    // The next client's instance, connected; empty once stop() was called or when no instance
    // can be made (another process holds the name, or the system refuses).
    UniqueFile accept();
    // Ends a waiting accept() and makes every later one return at once; any thread.
    void stop();
    // Signalled by stop(): connections wait on it beside their reads.
    HANDLE stopEvent() const { return stop_.get(); }

private:
    UniqueFile createInstance();

    WString name_;
    Options options_;
    UniqueHandle stop_;
    UniqueHandle connect_;
    UniqueFile listening_;
    bool created_ = false;
};

// Opens the client end with `desiredAccess`, waiting up to about half a second for the server
// to make its next instance; empty (with the last error set) when it cannot.
UniqueFile openPipeClient(const std::string& name, DWORD desiredAccess);

}  // namespace platform
