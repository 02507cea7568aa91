#include <gtest/gtest.h>

#include <algorithm>

#include "monitor/agent_pipe_client.h"
#include "platform/clock.h"
#include "service/agent_pipe.h"
#include "service_fakes.h"
#include "support/capture_appender.h"
#include "support/fake_clock.h"

namespace {

agent::Report report(uint32_t session) {
    agent::Report r;
    r.sessionId = session;
    r.sentTick = platform::tickCount();
    r.cursorKnown = r.lastInputKnown = true;
    return r;
}

class AgentPipeTest : public ::testing::Test {
protected:
    void SetUp() override { log = CaptureAppender::install(); }
    void TearDown() override {
        server.reset();
        LogManager::shutdown();
    }
    int logged(const std::string& reason) const {
        int n = 0;
        for (const auto& e : log->withText("Agent dropped")) n += e.prop("Reason") == reason;
        return n;
    }

    CaptureAppender* log = nullptr;
    std::string name = uniquePipeName("agent");
    agent::CAgentReports reports;
    std::unique_ptr<CAgentPipeServer> server = std::make_unique<CAgentPipeServer>(name, reports);
};

}  // namespace

TEST(AgentProtocolTest, ReportsRoundTripAndDamagedMessagesAreRefused) {
    agent::Report r = report(7);
    r.cursorX = -5;
    r.fullscreen = true;
    r.fullscreenProcessId = 99;
    for (uint32_t i = 0; i < 70; ++i) r.windowedProcesses.push_back(1000 + i);
    const std::vector<uint8_t> bytes = agent::encode(r);
    ASSERT_EQ(bytes.size(), agent::kMessageSize);
    agent::Report back;
    ASSERT_EQ(agent::decode(bytes.data(), bytes.size(), back), agent::DecodeResult::Ok);
    EXPECT_EQ(back.sessionId, 7u);
    EXPECT_EQ(back.cursorX, -5);
    EXPECT_TRUE(back.fullscreen && back.cursorKnown && !back.screenSaver);
    EXPECT_EQ(back.fullscreenProcessId, 99u);
    EXPECT_EQ(back.windowedProcesses.size(), agent::kMaxProcesses);  // cut, never overflowing

    using R = agent::DecodeResult;
    const size_t full = agent::kMessageSize;
    const struct Case {
        const char* what;
        size_t at;
        uint8_t value;
        size_t size;
        R result;
    } cases[] = {{"magic", 0, 0, full, R::Malformed},          {"version", 4, 2, full, R::WrongVersion},
                 {"size field", 6, 0, full, R::Malformed},     {"unknown flag", 24, 0x10, full, R::Malformed},
                 {"process count", 40, 65, full, R::Malformed}, {"short", 0, 'V', full - 1, R::Malformed},
                 {"no size field", 0, 'V', 7, R::Malformed}, {"header only", 4, 2, 8, R::WrongVersion}};
    for (const Case& c : cases) {
        std::vector<uint8_t> damaged = bytes;
        damaged[c.at] = c.value;
        EXPECT_EQ(agent::decode(damaged.data(), c.size, back), c.result) << c.what;
    }
}

TEST_F(AgentPipeTest, ReportsLandAndBadClientsAreDroppedOnceLoggedLeavingNothingBehind) {
    // The tick stands still: a flood falls in one rate window however slowly the machine sends it.
    FakeClock clock;
    struct Case {
        const char* reason;
        std::vector<std::vector<uint8_t>> messages;
        CAgentPipeServer::Drop drop;
    };
    agent::Report stale = report(1);
    stale.sentTick -= 3 * agent::kFreshMs;
    std::vector<uint8_t> wrongVersion = agent::encode(report(1));
    wrongVersion[4] = 9;
    std::vector<uint8_t> oversized = agent::encode(report(1));
    oversized.resize(agent::kMessageSize + 100);
    // An agent that vanishes in the middle of a message leaves a short one behind.
    std::vector<uint8_t> half = agent::encode(report(1));
    half.resize(agent::kMessageSize / 2);
    std::vector<std::vector<uint8_t>> flood(CAgentPipeServer::kMaxPerSecond + 1, agent::encode(report(1)));
    const Case cases[] = {
        {"malformed", {half}, CAgentPipeServer::Drop::Malformed},
        {"wrong version", {wrongVersion}, CAgentPipeServer::Drop::WrongVersion},
        {"oversized", {oversized}, CAgentPipeServer::Drop::Oversized},
        {"stale", {agent::encode(stale)}, CAgentPipeServer::Drop::Stale},
        {"flooding", flood, CAgentPipeServer::Drop::Flooding},
    };
    for (int round = 0; round < 2; ++round) {
        for (const Case& c : cases) {
            agent::CAgentPipeClient client;
            ASSERT_TRUE(client.connect(name)) << c.reason;
            for (const auto& m : c.messages) client.send(m);
            if (c.drop == CAgentPipeServer::Drop::Malformed) client.close();
            EXPECT_TRUE(eventually([&] { return server->dropCount(c.drop) == static_cast<uint32_t>(round + 1); })) << c.reason;
            EXPECT_TRUE(client.dropped(5000)) << c.reason;
            EXPECT_EQ(logged(c.reason), 1) << c.reason;  // once, however often it happens
        }
    }
    // Two agents side by side, their lists merged; a second's full share is taken, the last one
    // too, and one more is the flood; a closed agent is forgotten.
    agent::CAgentPipeClient steady, other;
    ASSERT_TRUE(steady.connect(name) && other.connect(name));
    agent::Report r = report(1), b = report(2);
    b.windowedProcesses = {7, 42};
    ASSERT_TRUE(other.send(agent::encode(b)));
    const uint32_t kMax = CAgentPipeServer::kMaxPerSecond;
    for (uint32_t i = 1; i <= kMax; ++i) steady.send(agent::encode((r.windowedProcesses = {i, 42}, r)));
    std::vector<uint32_t> ids, all{7, kMax, 42};
    EXPECT_TRUE(eventually([&] {
        ids.clear();
        return reports.windowedProcesses(platform::tickCount(), ids) && (std::sort(ids.begin(), ids.end()), ids == all);
    }));
    steady.send(agent::encode(r));
    EXPECT_TRUE(eventually([&] { return server->dropCount(CAgentPipeServer::Drop::Flooding) == 3; }));
    EXPECT_TRUE(eventually([&] { return reports.connectionCount() == 1; }));
    other.close();
    // No report of a dropped or closed client lingers to hold a pause; no thread is left for one.
    agent::SessionView view;
    EXPECT_TRUE(eventually([&] { return reports.connectionCount() == 0; }));
    EXPECT_FALSE(reports.peekSessionView(platform::tickCount(), view));
    agent::CAgentPipeClient next;
    ASSERT_TRUE(next.connect(name));
    EXPECT_TRUE(eventually([&] { return server->threadCount() <= 1; }));
    next.close();
    server.reset();  // before the clock goes
}
