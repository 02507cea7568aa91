#include "platform/local_pipe_win.h"

namespace platform {

PipeListener::PipeListener(const std::string& name, const Options& options)
    : name_(utf8ToUtf16(name)), options_(options), stop_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
      connect_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

UniqueFile PipeListener::accept() {
    if (!stop_ || !connect_) return UniqueFile();
    for (;;) {
        if (WaitForSingleObject(stop_.get(), 0) == WAIT_OBJECT_0) return UniqueFile();
        if (!listening_ && !(listening_ = createInstance())) return UniqueFile();
        ResetEvent(connect_.get());
        OVERLAPPED ov{};
        ov.hEvent = connect_.get();
        if (!ConnectNamedPipe(listening_.get(), &ov)) {
            const DWORD e = GetLastError();
            if (e == ERROR_IO_PENDING) {
                HANDLE waits[2] = {connect_.get(), stop_.get()};
                if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
                    CancelIo(listening_.get());
                    DWORD n = 0;
                    GetOverlappedResult(listening_.get(), &ov, &n, TRUE);
                    return UniqueFile();
                }
            } else if (e != ERROR_PIPE_CONNECTED && e != ERROR_NO_DATA) {
                DisconnectNamedPipe(listening_.get());
                continue;
            }
            // ERROR_PIPE_CONNECTED: the client came before the connect started; ERROR_NO_DATA: it
            // came, wrote and went already. Both are handed out, so that every client counts and
            // what it wrote is still read (the connection then ends at the read after it).
        }
        UniqueFile connected = std::move(listening_);
        // The next instance exists before this one is handed out, so that the name is never free
        // for another process to take between two clients.
        listening_ = createInstance();
        return connected;
    }
}

void PipeListener::stop() {
    if (stop_) SetEvent(stop_.get());
}

UniqueFile PipeListener::createInstance() {
    // The first instance claims the name: when another process holds it already, the server
    // refuses to serve rather than share a name whose security it does not control.
    const DWORD openMode = options_.access | FILE_FLAG_OVERLAPPED | (created_ ? 0 : FILE_FLAG_FIRST_PIPE_INSTANCE);
    UniqueFile pipe(CreateNamedPipeW(reinterpret_cast<const wchar_t*>(name_.c_str()), openMode,
                                     options_.pipeMode, PIPE_UNLIMITED_INSTANCES, options_.outBuffer,
                                     options_.inBuffer, options_.defaultTimeoutMs,
                                     static_cast<SECURITY_ATTRIBUTES*>(options_.security)));
    if (pipe) created_ = true;
    return pipe;
}

UniqueFile openPipeClient(const std::string& name, DWORD desiredAccess) {
    const WString wide = utf8ToUtf16(name);
    const wchar_t* wideName = reinterpret_cast<const wchar_t*>(wide.c_str());
    // The server makes its next instance on its own thread: a client can arrive in between (no
    // instance yet, or all busy) and waits a little for it.
    for (int attempt = 0; attempt < 100; ++attempt) {
        UniqueFile pipe(CreateFileW(wideName, desiredAccess, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (pipe) return pipe;
        const DWORD e = GetLastError();
        if (e == ERROR_PIPE_BUSY) WaitNamedPipeW(wideName, 50);
        else if (e == ERROR_FILE_NOT_FOUND && attempt < 20) Sleep(25);
        else return UniqueFile();
    }
    return UniqueFile();
}

}  // namespace platform
