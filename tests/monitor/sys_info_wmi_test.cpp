// The WMI sampler's bands, implausible values and rebuilds, on fake counter objects.
#include <gmock/gmock.h>

#include <cmath>

#include "monitor/sys_info_wmi.h"
#include "platform/dfrg_exception.h"
#include "support/capture_appender.h"
#include "support/monitor_fakes.h"

namespace {

class WmiSampler : public testing::Test {
protected:
    WmiSampler() {
        state->addDisk(0, 0);
        total = state->addDisk(500, 1000);
    }
    std::unique_ptr<CSysInfoWMI> make() { return std::make_unique<CSysInfoWMI>(fakes::makeWmi(state), machine.platform()); }
    void addProcess(uint32_t id) {
        machine.addWindowed(id, 100 + id);
        state->addProcess(id, 0, 1000);
    }
    // Moves a process's counters on by `time` per 1000 time-stamp units.
    void step(uint32_t id, uint64_t time) {
        state->process(id)->values[u"PercentProcessorTime"] += time;
        state->process(id)->values[u"TimeStamp_Sys100NS"] += 1000;
    }
    // The message of the error raised, after checking its code.
    static std::string raised(const std::function<void()>& f, int32_t code) {
        try {
            f();
        } catch (const CDfrgException& e) {
            EXPECT_EQ(e.code(), code);
            return e.message();
        }
        return "(nothing raised)";
    }

    fakes::Machine machine;
    std::shared_ptr<fakes::WmiState> state = std::make_shared<fakes::WmiState>();
    std::shared_ptr<fakes::WmiObject> total;
    CaptureAppender& log = *CaptureAppender::install();
};

TEST(WmiBands, NearlyPlausiblePercentagesAreClampedAndTheRestRejected) {
    const std::pair<double, double> kept[] = {{-3, 0}, {-5, 0}, {42.5, 42.5}, {104, 100}, {105, 100}};
    for (auto [in, out] : kept) {
        double v = -7;
        EXPECT_TRUE(monitor::bandPercent(in, v)) << in;
        EXPECT_EQ(v, out);
    }
    double v = 0;
    for (double bad : {-5.01, 105.01, 106.0, std::nan(""), HUGE_VAL}) EXPECT_FALSE(monitor::bandPercent(bad, v)) << bad;
}

TEST_F(WmiSampler, DiskIdleTimeBecomesIoLoadAndImplausibleReadingsCountAsFullyBusy) {
    auto sampler = make();
    EXPECT_TRUE(sampler->isWMI());
    sampler->updateData();
    EXPECT_DOUBLE_EQ(sampler->getIOLoad(0), 50.0 / 30.0);
    EXPECT_EQ(sampler->getPageLoad(0) + sampler->getPageLoad(1), 0.0);

    total->values = {{u"PercentIdleTime", 604}, {u"PercentIdleTime_Base", 1100}};  // 104 %
    sampler->updateData();
    EXPECT_EQ(sampler->diskIdlePercent(), 100.0);
    EXPECT_EQ(log.count("Received invalid HD idle time."), 0u);

    total->values = {{u"PercentIdleTime", 710}, {u"PercentIdleTime_Base", 1200}};  // 106 %
    sampler->updateData();
    EXPECT_DOUBLE_EQ(sampler->getIOLoad(0), 101.0 / 30.0);
    EXPECT_DOUBLE_EQ(sampler->getIOLoad(1), 101.0 / 40.0);
    EXPECT_DOUBLE_EQ(std::stod(log.withText("Received invalid HD idle time.").at(0).prop("Time")), 106.0);

    total->failing.insert(u"PercentIdleTime_Base");
    EXPECT_THAT(raised([&] { sampler->updateData(); }, ErrorQueringPerformanceCounter),
                testing::StartsWith("Disk PerfCounter Base Query returned: "));
    state->failures["refresh"] = static_cast<monitor::HResult>(0x80041001u);
    EXPECT_EQ(raised([&] { sampler->updateData(); }, ErrorQueringPerformanceCounter),
              "Couldn't refresh Performance Counters: 0x80041001");
}

TEST_F(WmiSampler, ConstructionFailsWithoutADiskOrRefresherAndSurvivesASecurityFailure) {
    state->disks.clear();
    EXPECT_EQ(raised([&] { make(); }, ErrorInitialising), "Error Initialising WMI: 0x80041002");
    EXPECT_TRUE(state->destroyed);

    state->addDisk(1, 1);
    state->failures["createRefresher"] = static_cast<monitor::HResult>(0x80040154u);
    EXPECT_EQ(raised([&] { make(); }, ErrorInitialising), "Error Initialising WMI: 0x80040154");
    EXPECT_EQ(log.count("Error Creating Refresher Instance ( 0x80040154 )"), 1u);

    state->failures = {{"initialiseSecurity", static_cast<monitor::HResult>(0x80010119u)}};
    EXPECT_NE(make(), nullptr);
    EXPECT_EQ(log.count("Error Initializing Security ( 0x80010119 )"), 1u);
}

TEST_F(WmiSampler, ThreeInvalidValuesOutOfFiveForceExactlyOneRebuildPerCycle) {
    addProcess(10);
    addProcess(11);
    auto sampler = make();
    sampler->updateData();
    for (int cycle = 0; cycle < 2; ++cycle) {
        step(10, 5000);
        sampler->updateData();
    }
    EXPECT_EQ(log.count("Process has returned invalid values for a longer time period."), 0u);
    EXPECT_EQ(state->processEnumsAdded, 1);

    // The third invalid value; after the rebuild the counters start from zero, and the
    // process's lifetime figures are implausible too.
    state->process(10)->values[u"PercentProcessorTime"] = 100000;
    state->process(10)->values[u"TimeStamp_Sys100NS"] = 4000;
    step(11, 100);
    sampler->updateData();
    EXPECT_EQ(log.count("Process has returned invalid values for a longer time period."), 2u);
    EXPECT_EQ(log.count("Updating monitored processes because of invalid values ('forceObjectRecreate' = true)."), 1u);
    EXPECT_EQ(log.count("Still having invalid values after retry. Giving up for now."), 1u);
    EXPECT_EQ(state->processEnumsAdded, 2);
    EXPECT_EQ(state->enumsRemoved, 1);
}

}  // namespace
