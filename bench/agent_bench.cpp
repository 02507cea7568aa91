// The cost of one agent report on its way through the agent pipe: encoding, one message over the
// socket, decoding and the store's update, and the monitoring thread's look at the store. An
// agent sends one report every 750 ms, so a report costing t seconds of CPU in all takes
// t / 0.75 of a core; the goal is well under 0.1 % (t well under 750 us).
#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <thread>

#include "monitor/agent_pipe_client.h"
#include "platform/clock.h"
#include "service/agent_pipe.h"

namespace {

agent::Report sampleReport() {
    agent::Report r;
    r.sessionId = 1;
    r.cursorKnown = r.lastInputKnown = true;
    for (uint32_t i = 0; i < 40; ++i) r.windowedProcesses.push_back(4000 + i);
    return r;
}

void BM_EncodeDecode(benchmark::State& state) {
    agent::Report r = sampleReport(), back;
    for (auto _ : state) {
        std::vector<uint8_t> bytes = agent::encode(r);
        benchmark::DoNotOptimize(agent::decode(bytes.data(), bytes.size(), back));
    }
}
BENCHMARK(BM_EncodeDecode);

// Sends one report and waits until the server has stored it: the whole round through the pipe.
void BM_ReportThroughThePipe(benchmark::State& state) {
    const std::string name = "VelkarisAgentBench-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    agent::CAgentReports reports;
    CAgentPipeServer server(name, reports);
    agent::CAgentPipeClient client;
    if (!client.connect(name)) {
        state.SkipWithError("no server");
        return;
    }
    agent::Report r = sampleReport();
    uint32_t sequence = 0;
    agent::SessionView view;
    r.sentTick = platform::tickCount();
    client.send(agent::encode(r));
    while (!reports.takeSessionView(platform::tickCount(), view)) std::this_thread::yield();
    for (auto _ : state) {
        r.sequence = ++sequence;
        r.sentTick = platform::tickCount();
        r.cursorX = static_cast<int32_t>(sequence);
        client.send(agent::encode(r));
        // The flood limit counts messages per second; the bench stays a client that paces itself.
        while (!reports.takeSessionView(platform::tickCount(), view) || !view.mouseMoved) std::this_thread::yield();
        state.PauseTiming();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        state.ResumeTiming();
    }
}
BENCHMARK(BM_ReportThroughThePipe)->Iterations(20)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
