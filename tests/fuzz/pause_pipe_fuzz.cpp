// Pause-pipe clients that connect, write and close in any order: every hold must end.
#include <fuzzer/FuzzedDataProvider.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <vector>

#include "platform/clock.h"
#include "service/pause_pipe.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string name = "\\\\.\\pipe\\velkaris-fuzz-" + std::to_string(::getpid());
    static CPipeServer* server = new CPipeServer(name);
    server->setCallback([](int32_t) {});
    FuzzedDataProvider in(data, size);
    std::vector<std::unique_ptr<CPausePipeClient>> open;
    for (int step = 0; step < 8 && in.remaining_bytes() > 0; ++step) {
        int action = in.ConsumeIntegralInRange<int>(0, 2);
        if (action == 0 && open.size() < 4) {
            auto client = std::make_unique<CPausePipeClient>();
            if (client->connect(name, CPausePipeClient::Access::HoldAndWrite)) open.push_back(std::move(client));
        } else if (action == 1 && !open.empty()) {
            open.back()->write(in.ConsumeIntegralInRange<size_t>(0, 600));
        } else if (action == 2 && !open.empty()) {
            open.pop_back();
        }
    }
    open.clear();
    // Every hold ends. Only the return to 0 is asked: a late-accepted client of an earlier input counts for a moment.
    for (int i = 0; server->clientCount() != 0; ++i) {
        if (i == 10000) std::abort();
        platform::sleepMs(1);
    }
    return 0;
}
