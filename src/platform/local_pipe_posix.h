// POSIX only: both ends of a local pipe, a Unix socket in the abstract namespace (no file to
// leave behind, gone with the process). SOCK_STREAM stands in for a byte-mode named pipe,
// SOCK_SEQPACKET for a message-mode one.
#pragma once
#include <cstdint>
#include <string>

#include "platform/handles_posix.h"

namespace platform {

enum class WaitResult { Ready, TimedOut, Stopped };
// Waits until `fd` is readable or hung up, the `stopFd` is readable (Stopped; so is a failure of
// poll), or `timeoutMs` passes (-1: no limit).
WaitResult waitReadable(int fd, int stopFd, int timeoutMs);

class PipeListener {
public:
    PipeListener(const std::string& name, int socketType);

    // The next client, connected; empty once stop() was called or when the name could not be
    // bound (another process holds it).
    UniqueFd accept();
    // Ends a waiting accept() and makes every later one return at once; any thread.
    void stop();
    // Readable after stop(): connections wait on it beside their reads.
    int stopFd() const { return stopRead_.get(); }

private:
    UniqueFd listen_;
    UniqueFd stopRead_;
    UniqueFd stopWrite_;
};

// Connects a client socket of `socketType` to `name`; empty (errno set) when it cannot.
UniqueFd openPipeClient(const std::string& name, int socketType);

}  // namespace platform
