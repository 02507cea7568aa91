#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "config/dfrg_statistics.h"
#include "sim/provider_selection.h"
#include "fake_service_control.h"
#include "platform/clock.h"
#include "service/defrag_service.h"
#include "support/capture_appender.h"
#include "support/config_test_registry.h"
#include "support/engine_state_support.h"
#include "support/fake_volume_provider.h"

namespace {

class QuietActivity : public UserActivity {
public:
    bool lastInputTime(uint32_t& t) override {
        t = 1;
        return true;
    }
    bool cursorPosition(int32_t& x, int32_t& y) override {
        x = y = 0;
        return true;
    }
    bool isOnBattery() override { return false; }
    bool hasFullscreenWindow() override { return false; }
    bool isScreenSaverRunning() override { return false; }
};

class DefragServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        log = CaptureAppender::install();
        // One small volume, so that the engine has work and keeps following it.
        auto provider = std::make_shared<smarttest::MemoryVolumeProvider>();
        CMemoryVolume::Geometry geometry;
        geometry.totalClusters = 4096;
        provider->add('C', std::make_shared<CMemoryVolume>(geometry, u'C'));
        overrideVolumeProvider(provider);
        statistics = std::make_unique<CDfrgStatistics>();
    }
    void TearDown() override {
        service.reset();
        statistics.reset();
        LogManager::shutdown();
    }

    int count(const std::string& text) {
        auto e = log->entries();
        return static_cast<int>(std::count_if(e.begin(), e.end(), [&](const auto& x) { return x.text == text; }));
    }
    // Waits (up to 10 s) until the log holds the text `times` times.
    bool waitForLog(const std::string& text, int times = 1) {
        for (int i = 0; i < 1000; ++i) {
            if (count(text) >= times) return true;
            platform::sleepMs(10);
        }
        return false;
    }
    int32_t runForeground(std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(&a[0]);
        return service->dispatch(static_cast<int>(argv.size()), argv.data());
    }

    ScopedTestRegistry registry;
    CaptureAppender* log = nullptr;
    std::unique_ptr<CDfrgStatistics> statistics;
    FakeServiceControl scm;
    QuietActivity activity;
    std::unique_ptr<CDefragService> service{new CDefragService(scm, activity)};
};

}  // namespace

TEST_F(DefragServiceTest, OnlyOneServiceObject) { EXPECT_THROW(CDefragService second(scm, activity), int); }

TEST_F(DefragServiceTest, BenchmarkRunWithoutMaxProcessCallsNeverStartsTheEngine) {
    EXPECT_EQ(runForeground({"prog", "-exec", "-b"}), 0);
    EXPECT_EQ(count("You have to specify the maxProcessFileCalls for Benchmarking"), 1);
    EXPECT_EQ(count("Starting thread"), 0);
    EXPECT_EQ(count("Exiting cleanup"), 1);
}

TEST_F(DefragServiceTest, ForegroundRunWithAnUnknownWordRunsUntilStopped) {
    std::thread stopper([&] {
        ASSERT_TRUE(waitForLog("Thread init done"));
        service->requestStop();
    });
    runForeground({"prog", "-exec", "-x"});
    stopper.join();
    EXPECT_EQ(count("Unknown Parameter -x"), 1);
    EXPECT_EQ(count("checkSystemThread started"), 1);
    EXPECT_EQ(count("checkSystemThread finished. Ending."), 1);
    EXPECT_EQ(count("Exiting serviceWork"), 1);
    EXPECT_EQ(count("Engine destructor finished."), 1);
    // The cleanup steps in their order.
    std::vector<std::string> order;
    for (const auto& e : log->entries())
        if (e.scopePath.size() >= 7 && e.scopePath.compare(e.scopePath.size() - 7, 7, "cleanup") == 0) order.push_back(e.text);
    std::vector<std::string> expected{"Destroy notify window", "Signal sys thread stop", "Wait for sys thread stop",
                                      "Sys thread stopped",    "Update statistics status", "Delete pipe server",
                                      "Delete sys info",       "Delete engine",            "Resetting members",
                                      "Exiting cleanup"};
    ASSERT_GE(order.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + expected.size()), expected);
}

TEST_F(DefragServiceTest, RestartControlRunsThePhasesAgain) {
    std::thread controller([&] {
        ASSERT_TRUE(waitForLog("Thread init done"));
        EXPECT_EQ(service->serviceControlHandler(CDefragService::kRestartControl, 0, nullptr), 0u);
        ASSERT_TRUE(waitForLog("Thread init done", 2));
        service->requestStop();
    });
    runForeground({"prog", "-exec"});
    controller.join();
    EXPECT_EQ(count("Service control code 220 called, restarting Service"), 1);
    EXPECT_EQ(count("serviceWork entered"), 2);
    EXPECT_EQ(count("Exiting cleanup"), 2);
}

TEST_F(DefragServiceTest, PausingTellsTheStatisticsAndCleanupLeavesTheFinalStatus) {
    ASSERT_TRUE(service->init());
    CDfrgStatistics& stats = CDfrgStatistics::instance();
    stats.setStatus(3);
    service->setEnginePaused(false);  // engine running
    EXPECT_TRUE(service->policy().engineRunning);
    EXPECT_EQ(stats.getStatus(), 3);
    service->setEnginePaused(true);
    EXPECT_EQ(stats.getStatus(), 1);
    EXPECT_FALSE(service->policy().engineRunning);
    service->cleanup();
    EXPECT_EQ(stats.getStatus(), 0);
    service->cleanup();  // a second cleanup finds nothing and leaves the status at 0
    EXPECT_EQ(stats.getStatus(), 0);
    EXPECT_EQ(count("Exiting cleanup"), 2);
}

TEST_F(DefragServiceTest, PausePipeHoldsTheEngine) {
    std::thread client([&] {
        ASSERT_TRUE(waitForLog("Thread init done"));
        service->setEnginePaused(false);
        CPausePipeClient holder;
        ASSERT_TRUE(holder.connect(kPausePipeName));
        for (int i = 0; i < 1000 && !service->policy().userPause; ++i) platform::sleepMs(10);
        EXPECT_TRUE(service->policy().userPause.load());
        EXPECT_FALSE(service->policy().engineRunning.load());
        // Paused, or (once every volume is clean) the all-clean status that pausing keeps.
        int32_t status = CDfrgStatistics::instance().getStatus();
        EXPECT_TRUE(status == 1 || status == 4) << status;
        holder.close();
        for (int i = 0; i < 1000 && service->policy().userPause; ++i) platform::sleepMs(10);
        EXPECT_FALSE(service->policy().userPause.load());
        service->requestStop();
    });
    runForeground({"prog", "-exec"});
    client.join();
}

TEST_F(DefragServiceTest, AnEngineWithoutVolumesStopsTheService) {
    overrideVolumeProvider(std::make_shared<FakeVolumeProvider>());
    EXPECT_EQ(runForeground({"prog", "-exec"}), 0);  // returns by itself
    EXPECT_EQ(count("You didn't enabled a Volume to defrag, Service ends"), 1);
    EXPECT_EQ(CDfrgStatistics::instance().getStatus(), 5);  // kept until the next cleanup of a later run
}
