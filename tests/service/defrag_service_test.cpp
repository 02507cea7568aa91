#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <thread>

#include "config/dfrg_statistics.h"
#include "platform/clock.h"
#include "service/defrag_service.h"
#include "service_fakes.h"
#include "volume/provider_selection.h"
#include "support/capture_appender.h"
#include "support/config_test_registry.h"
#include "support/fake_volume_provider.h"

namespace {

class DefragServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        log = CaptureAppender::install();
        service->setPausePipeName(pipeName);
        service->setAgentPipeName(pipeName + "-agent");
        // One small volume, so that the engine has work and keeps following it.
        auto provider = std::make_shared<FakeVolumeProvider>();
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

    int count(const std::string& text) { return static_cast<int>(log->count(text)); }
    // Waits (up to 10 s) until the log holds the text `times` times.
    bool waitForLog(const std::string& text, int times = 1) {
        for (int i = 0; i < 1000 && count(text) < times; ++i) platform::sleepMs(10);
        return count(text) >= times;
    }
    int32_t runForeground(std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(&a[0]);
        return service->dispatch(static_cast<int>(argv.size()), argv.data());
    }
    bool paused() {
        const int32_t status = CDfrgStatistics::instance().getStatus();
        // Paused, or (once every volume is clean) the all-clean status that pausing keeps.
        return !service->policy().engineRunning && (status == 1 || status == 4);
    }

    const std::string pipeName = uniquePipeName("service");
    ScopedTestRegistry registry;
    CaptureAppender* log = nullptr;
    std::unique_ptr<CDfrgStatistics> statistics;
    FakeServiceControl scm;
    FakeActivity activity;
    std::unique_ptr<CDefragService> service{new CDefragService(scm, activity)};
};

}  // namespace

TEST_F(DefragServiceTest, ForegroundRunWithAnUnknownWordRunsUntilStoppedAndCleansUpInOrder) {
    std::thread stopper([&] {
        ASSERT_TRUE(waitForLog("Thread init done"));
        for (int i = 0; i < 1000 && activity.asked < 2; ++i) platform::sleepMs(10);
        service->requestStop();
    });
    runForeground({"prog", "-exec", "-x"});
    stopper.join();
    EXPECT_GE(activity.asked, 2);
    EXPECT_EQ(activity.askedFromBackground, 0);  // the worker alone works in the background
    for (const char* text : {"Unknown Parameter -x", "checkSystemThread started", "checkSystemThread finished. Ending.",
                             "Exiting serviceWork", "Engine destructor finished."})
        EXPECT_EQ(count(text), 1) << text;
    std::vector<std::string> order;
    for (const auto& e : log->entries())
        if (e.scopePath.size() >= 7 && e.scopePath.compare(e.scopePath.size() - 7, 7, "cleanup") == 0) order.push_back(e.text);
    const std::vector<std::string> expected{
        "Destroy notify window",    "Signal sys thread stop", "Wait for sys thread stop", "Sys thread stopped",
        "Update statistics status", "Delete pipe server",     "Delete sys info",          "Delete engine",
        "Resetting members",        "Exiting cleanup"};
    ASSERT_GE(order.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(order.begin(), order.begin() + expected.size()), expected);
}

TEST_F(DefragServiceTest, PausingTellsTheStatisticsAndCleanupLeavesTheFinalStatus) {
    ASSERT_TRUE(service->init());
    CDfrgStatistics& stats = CDfrgStatistics::instance();
    stats.setStatus(3);
    service->setEnginePaused(false);  // engine running
    EXPECT_EQ(stats.getStatus(), 3);
    service->setEnginePaused(true);
    EXPECT_EQ(stats.getStatus(), 1);
    // A pause-pipe client holds the engine: a resume decided a moment earlier must not run it.
    service->policy().userPause = true;
    service->setEnginePaused(false);
    EXPECT_FALSE(service->policy().engineRunning);
    EXPECT_EQ(stats.getStatus(), 1);
    service->policy().userPause = false;
    service->cleanup();
    EXPECT_EQ(stats.getStatus(), 0);
    service->cleanup();  // a second cleanup finds nothing and leaves the status at 0
    EXPECT_EQ(stats.getStatus(), 0);
    EXPECT_EQ(count("Exiting cleanup"), 2);
}

TEST_F(DefragServiceTest, AnEngineWithoutVolumesStopsTheService) {
    overrideVolumeProvider(std::make_shared<FakeVolumeProvider>());
    EXPECT_EQ(runForeground({"prog", "-exec"}), 0);  // returns by itself
    EXPECT_EQ(count("You didn't enabled a Volume to defrag, Service ends"), 1);
    EXPECT_EQ(CDfrgStatistics::instance().getStatus(), 5);  // kept until the next cleanup of a later run
}

// A held pause pipe pauses the running service; then restarts come in every phase of a round.
TEST_F(DefragServiceTest, APauseClientHoldsTheEngineAndRestartsComeInEveryPhase) {
    std::atomic<bool> ended{false};
    std::thread run([&] { runForeground({"prog", "-exec"}), ended = true; });
    ASSERT_TRUE(waitForLog("Thread init done"));
    service->setEnginePaused(false);
    {
        CPausePipeClient holder;
        ASSERT_TRUE(holder.connect(pipeName));
        EXPECT_TRUE(eventually([&] { return service->policy().userPause.load(); }));
        EXPECT_TRUE(paused());
    }
    EXPECT_TRUE(eventually([&] { return !service->policy().userPause; }));

    std::mt19937 random(11);
    for (int i = 0; i < 100; ++i) {
        service->serviceControlHandler(CDefragService::kRestartControl, 0, nullptr);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
    }
    // The last restart settles into a round that keeps running.
    EXPECT_TRUE(eventually([&] { return count("Exiting cleanup") == count("serviceWork entered") - 1; }));
    platform::sleepMs(500);
    EXPECT_FALSE(ended);
    service->requestStop();
    run.join();
    EXPECT_LE(count("serviceWork entered"), 102);
    EXPECT_EQ(count("serviceWork entered"), count("Exiting cleanup"));
}
