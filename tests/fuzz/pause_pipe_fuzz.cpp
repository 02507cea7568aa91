// Pause-pipe traffic: clients that write whatever they like, in pieces, and close or vanish.
// The server must count each hold once and end it at the first bytes or at the close.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "service/pause_pipe.h"

namespace {

const std::string& pipeName() {
    static const std::string name = "\\\\.\\pipe\\velkaris-fuzz-" + std::to_string(::getpid());
    return name;
}

int connectRaw() {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    size_t n = std::min(pipeName().size(), sizeof addr.sun_path - 1);
    std::memcpy(addr.sun_path + 1, pipeName().data(), n);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static CPipeServer* server = [] {
        auto* s = new CPipeServer(pipeName());
        s->setCallback([](int32_t) {});
        return s;
    }();
    FuzzedDataProvider in(data, size);
    std::vector<int> open;
    for (int step = 0; step < 8 && in.remaining_bytes() > 0; ++step) {
        switch (in.ConsumeIntegralInRange<int>(0, 2)) {
        case 0:
            if (open.size() < 4) {
                int fd = connectRaw();
                if (fd >= 0) open.push_back(fd);
            }
            break;
        case 1:
            if (!open.empty()) {
                std::string bytes = in.ConsumeRandomLengthString(600);
                ssize_t w = ::send(open.back(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
                (void)w;
            }
            break;
        default:
            if (!open.empty()) {
                ::close(open.back());
                open.pop_back();
            }
            break;
        }
    }
    for (int fd : open) ::close(fd);
    // Every hold ends; a count that never returns to 0 is a fault. Only the return to 0 is
    // asked for: a client of an earlier input that the server accepts late is counted for a
    // moment at any time, also right after the count was seen at 0.
    for (int i = 0; server->clientCount() != 0; ++i) {
        if (i == 10000) std::abort();
        platform::sleepMs(1);
    }
    return 0;
}
