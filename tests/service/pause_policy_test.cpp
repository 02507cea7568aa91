#include <gtest/gtest.h>

#include "service/pause_policy.h"
#include "support/capture_appender.h"

namespace {

class FakeActivity : public UserActivity {
public:
    uint32_t input = 0;
    int32_t x = 0, y = 0;
    bool battery = false, fullscreen = false, saver = false;
    bool lastInputTime(uint32_t& t) override {
        t = input;
        return true;
    }
    bool cursorPosition(int32_t& cx, int32_t& cy) override {
        cx = x;
        cy = y;
        return true;
    }
    bool isOnBattery() override { return battery; }
    bool hasFullscreenWindow() override { return fullscreen; }
    bool isScreenSaverRunning() override { return saver; }
    // With a store, the agents' reports at tick `now` come first, as in the service.
    agent::CAgentReports* reports = nullptr;
    uint32_t now = 0;
    bool sessionView(agent::SessionView& v) override { return reports && reports->takeSessionView(now, v); }
    bool peekSessionView(agent::SessionView& v) override { return reports && reports->peekSessionView(now, v); }
};

class FakeSampler : public LoadSampler {
public:
    double cpu = 0, io[2] = {0, 0}, page[2] = {0, 0}, fullscreenCpu = -1.0;
    bool wmi = false, newProcess = false, printing = false;
    double getCPUUsage() override { return cpu; }
    double getIOLoad(int l) override { return io[l]; }
    double getPageLoad(int l) override { return page[l]; }
    bool isWMI() override { return wmi; }
    bool isNewProcess() override { return newProcess; }
    bool isPrinting() override { return printing; }
    double getFullscreenProcessCPUUsage() override { return fullscreenCpu; }
};

class PausePolicyTest : public ::testing::Test {
protected:
    void SetUp() override { log = CaptureAppender::install(); }
    void TearDown() override { LogManager::shutdown(); }

    // Fills every history with three samples of the sampler's current values.
    void sample(LoadSampler* s) {
        for (int i = 0; i < 3; ++i) policy.addSamples(s);
    }

    CaptureAppender* log = nullptr;
    FakeActivity activity;
    FakeSampler sampler;
    CPausePolicy::Histories histories;
    CPausePolicy policy{activity, histories};
};

}  // namespace

TEST(SampleHistoryTest, RingOfThreeWithUnknownValues) {
    CSampleHistory h;
    EXPECT_EQ(h.mean(), 0.0);
    h.add(3);
    h.add(6);
    EXPECT_EQ(h.mean(), 4.5);
    h.add(-1.0);
    EXPECT_EQ(h.mean(), -1.0);
    h.add(9);
    h.add(9);
    EXPECT_EQ(h.mean(), -1.0);  // still among the last three
    h.add(9);
    EXPECT_EQ(h.mean(), 9.0);
    EXPECT_EQ(h.count(), 3);
}

TEST(PauseReasonTest, Names) {
    EXPECT_EQ(pauseReasonName(0), "MouseInput");
    EXPECT_EQ(pauseReasonName(5), "FullScreenNotScreenSaver");
    EXPECT_EQ(pauseReasonName(10), "PageActivity");
    EXPECT_EQ(pauseReasonName(-1), "-1");
    EXPECT_EQ(pauseReasonName(3), "3");
}

TEST_F(PausePolicyTest, InputTestsComeFirstAndMouseWinsOverKeys) {
    policy.engineRunning = true;
    EXPECT_TRUE(policy.shouldEngineRun(&sampler, true));
    activity.input = 5;
    activity.x = 10;
    EXPECT_FALSE(policy.shouldEngineRun(&sampler, true));
    EXPECT_EQ(policy.pauseReason, PauseMouseInput);
    activity.input = 6;
    EXPECT_FALSE(policy.shouldEngineRun(&sampler, true));
    EXPECT_EQ(policy.pauseReason, PauseKeyboardInput);
    EXPECT_TRUE(log->contains("Pause because of mouse movement"));
    EXPECT_TRUE(log->contains("Pause because of keyboard input"));
    EXPECT_TRUE(policy.shouldEngineRun(&sampler, true));
}

TEST_F(PausePolicyTest, EnvironmentTestsInOrder) {
    policy.engineRunning = true;
    policy.userPause = true;
    activity.battery = true;
    EXPECT_FALSE(policy.shouldEngineRun(&sampler, true));
    EXPECT_EQ(policy.pauseReason, PauseUserInterrupt);
    policy.userPause = false;
    EXPECT_FALSE(policy.shouldEngineRun(&sampler, true));
    EXPECT_EQ(policy.pauseReason, PauseBattery);
    policy.runOnBattery = true;
    activity.fullscreen = true;
    EXPECT_FALSE(policy.shouldEngineRun(&sampler, true));
    EXPECT_EQ(policy.pauseReason, PauseFullScreenNotScreenSaver);
    activity.saver = true;  // a full-screen screen saver is no user
    sampler.printing = true;
    EXPECT_FALSE(policy.shouldEngineRun(&sampler, true));
    EXPECT_EQ(policy.pauseReason, PausePrinter);
    EXPECT_TRUE(policy.shouldEngineRun(nullptr, true));  // without a sampler printing is unknown
    policy.runWhilePrinting = true;
    EXPECT_TRUE(policy.shouldEngineRun(&sampler, true));
}

TEST_F(PausePolicyTest, HysteresisOfTheLoadThresholds) {
    policy.engineRunning = true;
    sampler.cpu = 20.0;
    sample(&sampler);
    EXPECT_TRUE(policy.shouldEngineRun(&sampler, true));  // exactly 20.0 does not pause
    sampler.cpu = 20.5;
    sample(&sampler);
    EXPECT_FALSE(policy.shouldEngineRun(&sampler, true));
    EXPECT_EQ(policy.pauseReason, PauseCPUUsage);
    auto entries = log->entries();
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries.back().text, "Pause because of cpuUsage");
    EXPECT_EQ(entries.back().properties.at(0).name, "CPUUsage");
    EXPECT_EQ(entries.back().properties.at(0).value, "20.5");

    policy.engineRunning = false;
    sampler.cpu = 15.0;
    sample(&sampler);
    EXPECT_FALSE(policy.shouldEngineRun(&sampler, true));  // exactly 15.0 does not resume
    EXPECT_EQ(policy.pauseReason, PauseCPUUsage);
    sampler.cpu = 14.9;
    sample(&sampler);
    EXPECT_TRUE(policy.shouldEngineRun(&sampler, true));
    EXPECT_TRUE(log->contains("Resuming"));
}

TEST_F(PausePolicyTest, WmiIoNeverPausesButBlocksAResume) {
    sampler.wmi = true;
    sampler.io[0] = sampler.io[1] = 5.0;
    sample(&sampler);
    policy.engineRunning = true;
    EXPECT_TRUE(policy.shouldEngineRun(&sampler, true));
    policy.engineRunning = false;
    EXPECT_FALSE(policy.shouldEngineRun(&sampler, true));
    EXPECT_EQ(policy.pauseReason, PauseIOActivity);
    sampler.wmi = false;
    policy.engineRunning = true;
    EXPECT_FALSE(policy.shouldEngineRun(&sampler, true));
    EXPECT_EQ(policy.pauseReason, PauseIOActivity);
}

TEST_F(PausePolicyTest, UnknownSamplesBlockResumingButNeverPause) {
    policy.pauseReason = PauseMouseInput;
    sampler.cpu = -1.0;
    policy.addSamples(&sampler);
    sampler.cpu = 0.0;
    policy.addSamples(&sampler);
    policy.addSamples(&sampler);
    policy.engineRunning = true;
    EXPECT_TRUE(policy.shouldEngineRun(&sampler, true));
    policy.engineRunning = false;
    EXPECT_FALSE(policy.shouldEngineRun(&sampler, true));
    EXPECT_EQ(policy.pauseReason, PauseMouseInput);  // only an unknown value stood in the way
    policy.addSamples(&sampler);                        // the -1.0 leaves the history
    EXPECT_TRUE(policy.shouldEngineRun(&sampler, true));
}

TEST_F(PausePolicyTest, PagingAndNewProcessBlockResuming) {
    sampler.page[0] = 1.0;
    sampler.cpu = 16;
    sample(&sampler);
    EXPECT_FALSE(policy.shouldEngineRun(&sampler, true));
    EXPECT_EQ(policy.pauseReason, PauseCPUUsage);  // the later assignment wins
    sampler.cpu = 0;
    sample(&sampler);
    EXPECT_FALSE(policy.shouldEngineRun(&sampler, true));
    EXPECT_EQ(policy.pauseReason, PausePageActivity);
    sampler.page[0] = 0;
    sampler.newProcess = true;
    sample(&sampler);
    EXPECT_FALSE(policy.shouldEngineRun(&sampler, true));
    EXPECT_EQ(policy.pauseReason, PauseNewProcess);
}

TEST_F(PausePolicyTest, ScreenSaverLoadIsNotTheUsers) {
    activity.saver = true;
    sampler.cpu = 30;
    sampler.fullscreenCpu = 25;
    sample(&sampler);
    EXPECT_EQ(histories.cpu.mean(), 5.0);
    sampler.fullscreenCpu = 50;
    sample(&sampler);
    EXPECT_EQ(histories.cpu.mean(), 0.0);
    policy.addSamples(nullptr);
    EXPECT_EQ(histories.ioStrict.mean(), 0.0);
}

TEST_F(PausePolicyTest, QuietPeriodRestartsWithEveryNo) {
    uint32_t t = 0xFFFFF000u;  // across the tick's wrap
    policy.startQuietPeriod(t);
    EXPECT_EQ(policy.step(nullptr, t + 9999), CPausePolicy::Action::None);
    activity.x = 1;  // one mouse move restarts the count
    EXPECT_EQ(policy.step(nullptr, t + 9999), CPausePolicy::Action::None);
    EXPECT_EQ(policy.step(nullptr, t + 9999 + 9999), CPausePolicy::Action::None);
    EXPECT_FALSE(log->contains("Resuming"));
    EXPECT_EQ(policy.step(nullptr, t + 9999 + 10000), CPausePolicy::Action::Resume);
    policy.engineRunning = true;
    activity.input = 77;
    EXPECT_EQ(policy.step(nullptr, t + 30000), CPausePolicy::Action::Pause);
}

TEST_F(PausePolicyTest, FreshAgentReportsCarryInputAndFullScreenOfEverySession) {
    // The service's own probes see nothing, as in session 0.
    agent::CAgentReports reports;
    activity.reports = &reports;
    policy.engineRunning = true;
    agent::Report a;
    a.sessionId = 1;
    a.cursorKnown = a.lastInputKnown = true;
    agent::Report b = a;
    b.sessionId = 2;
    auto decide = [&](uint32_t now) {
        activity.now = now;
        return policy.shouldEngineRun(nullptr, true);
    };
    reports.update(1, a, 1000);
    reports.update(2, b, 1000);
    EXPECT_TRUE(decide(1000));  // a session's first report is where it starts, not a change
    b.cursorX = 40;
    reports.update(2, b, 1500);
    EXPECT_FALSE(decide(1500));
    EXPECT_EQ(policy.pauseReason, PauseMouseInput);
    a.lastInputTick = 77;
    reports.update(1, a, 2000);
    EXPECT_FALSE(decide(2000));
    EXPECT_EQ(policy.pauseReason, PauseKeyboardInput);
    EXPECT_TRUE(decide(2100));
    // A screen saver in one session does not excuse a full-screen window in another.
    a.screenSaver = true;
    b.fullscreen = true;
    reports.update(1, a, 2500);
    reports.update(2, b, 2500);
    EXPECT_FALSE(decide(2500));
    EXPECT_EQ(policy.pauseReason, PauseFullScreenNotScreenSaver);
    // Reports older than two seconds no longer count: the probes decide again.
    EXPECT_TRUE(decide(2500 + agent::kFreshMs + 1));
    activity.x = 9;
    EXPECT_FALSE(decide(2500 + agent::kFreshMs + 2));
    EXPECT_EQ(policy.pauseReason, PauseMouseInput);
}
