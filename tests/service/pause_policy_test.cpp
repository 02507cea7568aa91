#include <gtest/gtest.h>

#include "service/pause_policy.h"
#include "service_fakes.h"
#include "support/capture_appender.h"

namespace {

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

    CaptureAppender* log = nullptr;
    FakeActivity activity;
    FakeSampler sampler;
    CPausePolicy::Histories histories;
    CPausePolicy policy{activity, histories};
};

}  // namespace

TEST_F(PausePolicyTest, InputAndEnvironmentTestsInOrder) {
    policy.engineRunning = true;
    EXPECT_TRUE(policy.shouldEngineRun(&sampler, true));
    activity.input = 5;
    activity.x = 10;
    EXPECT_FALSE(policy.shouldEngineRun(&sampler, true));
    EXPECT_EQ(policy.pauseReason, PauseMouseInput);  // the mouse wins over keys
    activity.input = 6;
    EXPECT_FALSE(policy.shouldEngineRun(&sampler, true));
    EXPECT_EQ(policy.pauseReason, PauseKeyboardInput);
    EXPECT_TRUE(log->contains("Pause because of mouse movement"));
    EXPECT_TRUE(log->contains("Pause because of keyboard input"));

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

// Pausing uses the lenient loads and 20 % processor; resuming needs the strict loads and 15 %.
TEST_F(PausePolicyTest, LoadThresholdsPauseAndResumeWithHysteresis) {
    struct Case {
        const char* name;
        bool running;
        double cpu, ioStrict, ioLenient, page;
        bool wmi, newProcess, run;
        int32_t reason;
        const char* logged;
    } cases[] = {
        {"cpu at the pause limit", true, 20.0, 0, 0, 0, false, false, true, -1, nullptr},
        {"cpu above it", true, 20.5, 0, 0, 0, false, false, false, PauseCPUUsage, "Pause because of cpuUsage"},
        {"lenient I/O at one", true, 0, 0, 1.0, 0, false, false, false, PauseIOActivity, nullptr},
        {"WMI I/O never pauses", true, 0, 5, 5, 0, true, false, true, -1, nullptr},
        {"cpu at the resume limit", false, 15.0, 0, 0, 0, false, false, false, PauseCPUUsage, nullptr},
        {"cpu below it", false, 14.9, 0, 0, 0, false, false, true, -1, "Resuming"},
        {"strict I/O at one, WMI too", false, 0, 1.0, 0, 0, true, false, false, PauseIOActivity, nullptr},
        {"paging and cpu: the later wins", false, 16, 0, 0, 1.0, false, false, false, PauseCPUUsage, nullptr},
        {"paging", false, 0, 0, 0, 1.0, false, false, false, PausePageActivity, nullptr},
        {"a new process", false, 0, 0, 0, 0, false, true, false, PauseNewProcess, nullptr},
    };
    for (const Case& c : cases) {
        CPausePolicy::Histories fresh;
        CPausePolicy p(activity, fresh);
        FakeSampler s;
        s.cpu = c.cpu;
        s.io[0] = c.ioStrict;
        s.io[1] = c.ioLenient;
        s.page[0] = c.page;
        s.wmi = c.wmi;
        s.newProcess = c.newProcess;
        for (int i = 0; i < 3; ++i) p.addSamples(&s);
        p.engineRunning = c.running;
        p.pauseReason = -1;
        EXPECT_EQ(p.shouldEngineRun(&s, true), c.run) << c.name;
        EXPECT_EQ(p.pauseReason, c.reason) << c.name;
        EXPECT_TRUE(!c.logged || log->contains(c.logged)) << c.name;
    }
    EXPECT_EQ(log->withText("Pause because of cpuUsage").at(0).prop("CPUUsage"), "20.5");
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
    policy.addSamples(&sampler);                     // the -1.0 leaves the history
    EXPECT_TRUE(policy.shouldEngineRun(&sampler, true));
}

TEST_F(PausePolicyTest, ScreenSaverLoadIsNotTheUsers) {
    activity.saver = true;
    sampler.cpu = 30;
    sampler.fullscreenCpu = 25;
    for (int i = 0; i < 3; ++i) policy.addSamples(&sampler);
    EXPECT_EQ(histories.cpu.mean(), 5.0);
    sampler.fullscreenCpu = 50;
    for (int i = 0; i < 3; ++i) policy.addSamples(&sampler);
    EXPECT_EQ(histories.cpu.mean(), 0.0);
}

TEST_F(PausePolicyTest, QuietPeriodRestartsWithEveryNo) {
    uint32_t t = 0xFFFFF000u;  // across the tick's wrap
    policy.startQuietPeriod(t);
    EXPECT_EQ(policy.step(nullptr, t + 9999), CPausePolicy::Action::None);
    activity.x = 1;  // one mouse move restarts the count
    EXPECT_EQ(policy.step(nullptr, t + 9999), CPausePolicy::Action::None);
    EXPECT_EQ(policy.step(nullptr, t + 9999 + 9999), CPausePolicy::Action::None);
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
    // Sends both reports at `now`, then tells why the engine may not run (kRuns: it may).
    const int32_t kRuns = -2;
    auto decide = [&](uint32_t now) {
        reports.update(1, a, now);
        reports.update(2, b, now);
        activity.now = now;
        return policy.shouldEngineRun(nullptr, true) ? kRuns : policy.pauseReason.load();
    };
    EXPECT_EQ(decide(1000), kRuns);  // a session's first report is where it starts, not a change
    b.cursorX = 40;
    EXPECT_EQ(decide(1500), PauseMouseInput);
    a.lastInputTick = 77;
    EXPECT_EQ(decide(2000), PauseKeyboardInput);
    EXPECT_EQ(decide(2100), kRuns);
    // A screen saver in one session does not excuse a full-screen window in another.
    a.screenSaver = true;
    b.fullscreen = true;
    EXPECT_EQ(decide(2500), PauseFullScreenNotScreenSaver);
    activity.now = 2500 + agent::kFreshMs + 1;
    EXPECT_TRUE(policy.shouldEngineRun(nullptr, true));  // reports older than two seconds no longer count
}
