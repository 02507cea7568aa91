#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <random>
#include <thread>

#include "config/dfrg_statistics.h"
#include "volume/provider_selection.h"
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
        service->setPausePipeName(pipeName);
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

    const std::string pipeName = "\\\\.\\pipe\\velkaris-service-test-" + std::to_string(platform::tickCount());
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

TEST_F(DefragServiceTest, PausePipeHoldsTheEngine) {
    std::thread client([&] {
        ASSERT_TRUE(waitForLog("Thread init done"));
        service->setEnginePaused(false);
        CPausePipeClient holder;
        ASSERT_TRUE(holder.connect(pipeName));
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

TEST_F(DefragServiceTest, ARestartAskedForBeforeTheRoundIsKeptAndAStopWinsOverALaterOne) {
    // As when control 220 lands while init runs: there is no engine to stop yet.
    EXPECT_EQ(service->serviceControlHandler(CDefragService::kRestartControl, 0, nullptr), 0u);
    std::thread stopper([&] {
        ASSERT_TRUE(waitForLog("Thread init done", 2));
        service->requestStop();
        service->serviceControlHandler(CDefragService::kRestartControl, 0, nullptr);
    });
    runForeground({"prog", "-exec"});
    stopper.join();
    EXPECT_EQ(count("serviceWork entered"), 2);
    EXPECT_EQ(count("Exiting cleanup"), 2);
}

// Pause clients that come and go at random while pauses and resumes alternate as the monitoring
// thread decides them; then restarts that land in every phase. Meant for the TSan build (1,000
// clients); Wine starts threads slowly, so the Windows build runs a fifth of them.
TEST_F(DefragServiceTest, PauseClientsAndRestartsAtRandomMoments) {
#ifdef _WIN32
    const int perThread = 25;
#else
    const int perThread = 125;
#endif
    std::atomic<bool> running{true};
    std::atomic<int> violations{0};
    std::thread run([&] { runForeground({"prog", "-exec"}); });
    ASSERT_TRUE(waitForLog("Thread init done"));

    std::thread monitor([&] {
        std::mt19937 random(7);
        for (bool pause = false; running; pause = !pause) {
            service->setEnginePaused(pause);
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 2000));
        }
    });
    std::vector<std::thread> clients;
    for (int t = 0; t < 8; ++t) {
        clients.emplace_back([&, t] {
            std::mt19937 random(100 + t);
            for (int i = 0; i < perThread; ++i) {
                CPausePipeClient client;
                if (!client.connect(pipeName)) continue;
                if (i % 25 == 10) {
                    // Held for one monitoring period: paused, whatever the monitor decided.
                    for (int w = 0; w < 500 && !service->policy().userPause; ++w) platform::sleepMs(2);
                    platform::sleepMs(CDefragService::kMonitorPeriodMs);
                    int32_t status = CDfrgStatistics::instance().getStatus();
                    if (service->policy().engineRunning || (status != 1 && status != 4)) ++violations;
                } else {
                    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
                }
                if (random() % 2) client.write(1 + random() % 300);
                client.close();
            }
        });
    }
    for (auto& c : clients) c.join();
    running = false;
    monitor.join();
    EXPECT_EQ(violations, 0);

    std::mt19937 random(11);
    for (int i = 0; i < 100; ++i) {
        service->serviceControlHandler(CDefragService::kRestartControl, 0, nullptr);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 30000));
    }
    // The last restart settles into a round that keeps running.
    auto oneRoundOpen = [&] {
        int started = count("serviceWork entered");
        return started > 0 && count("Exiting serviceWork") == started - 1 && count("Exiting cleanup") == started - 1;
    };
    bool settled = false;
    for (int i = 0; i < 100 && !settled; ++i) {
        platform::sleepMs(200);
        int before = count("serviceWork entered");
        settled = oneRoundOpen() && (platform::sleepMs(300), oneRoundOpen() && count("serviceWork entered") == before);
    }
    EXPECT_TRUE(settled) << count("serviceWork entered") << " " << count("Exiting serviceWork") << " "
                         << count("Exiting cleanup");
    service->requestStop();
    run.join();
    EXPECT_LE(count("serviceWork entered"), 102);
    EXPECT_EQ(count("serviceWork entered"), count("Exiting cleanup"));
}
