// The WMI sampler's bands, implausible values and rebuilds, on fake counter objects.
#include <gmock/gmock.h>

#include <cmath>
#include <limits>

#include "monitor/sys_info_wmi.h"
#include "service/dfrg_exception.h"
#include "support/monitor_fakes.h"
#include "support/monitor_log_capture.h"

namespace {

const WString kProcessClass = u"Win32_PerfRawData_PerfProc_Process";

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
        auto p = state->process(id);
        p->values[u"PercentProcessorTime"] += time;
        p->values[u"TimeStamp_Sys100NS"] += 1000;
    }
    void stepDisk(uint64_t idle, uint64_t base) {
        total->values[u"PercentIdleTime"] += idle;
        total->values[u"PercentIdleTime_Base"] += base;
    }
    static std::string raised(const std::function<void()>& f, int32_t& code) {
        try {
            f();
        } catch (const CDfrgException& e) {
            code = e.code();
            return e.message();
        }
        code = 0;
        return "";
    }

    fakes::Machine machine;
    std::shared_ptr<fakes::WmiState> state = std::make_shared<fakes::WmiState>();
    std::shared_ptr<fakes::WmiObject> total;
    MonitorLogCapture log;
};

TEST(WmiBands, NearlyPlausiblePercentagesAreClampedAndTheRestRejected) {
    double v = 0;
    EXPECT_TRUE(monitor::bandPercent(-3.0, v));
    EXPECT_EQ(v, 0.0);
    EXPECT_TRUE(monitor::bandPercent(-5.0, v));
    EXPECT_EQ(v, 0.0);
    EXPECT_TRUE(monitor::bandPercent(104.0, v));
    EXPECT_EQ(v, 100.0);
    EXPECT_TRUE(monitor::bandPercent(105.0, v));
    EXPECT_TRUE(monitor::bandPercent(42.5, v));
    EXPECT_EQ(v, 42.5);
    for (double bad : {-5.01, 105.01, 106.0, std::nan(""), std::numeric_limits<double>::infinity()})
        EXPECT_FALSE(monitor::bandPercent(bad, v)) << bad;
}

TEST_F(WmiSampler, DiskIdleTimeBecomesIoLoadAndImplausibleReadingsCountAsFullyBusy) {
    auto sampler = make();
    EXPECT_TRUE(sampler->isWMI());
    sampler->updateData();
    EXPECT_DOUBLE_EQ(sampler->diskIdlePercent(), 50.0);
    EXPECT_DOUBLE_EQ(sampler->getIOLoad(0), 50.0 / 30.0);
    EXPECT_EQ(sampler->getPageLoad(0), 0.0);
    EXPECT_EQ(sampler->getPageLoad(1), 0.0);

    stepDisk(104, 100);
    sampler->updateData();
    EXPECT_EQ(sampler->diskIdlePercent(), 100.0);
    EXPECT_EQ(sampler->getIOLoad(0), 0.0);
    EXPECT_EQ(log.count("Received invalid HD idle time."), 0u);

    stepDisk(106, 100);
    sampler->updateData();
    EXPECT_EQ(sampler->diskIdlePercent(), -1.0);
    EXPECT_DOUBLE_EQ(sampler->getIOLoad(0), 101.0 / 30.0);
    EXPECT_DOUBLE_EQ(sampler->getIOLoad(1), 101.0 / 40.0);
    auto invalid = log.withText("Received invalid HD idle time.");
    ASSERT_EQ(invalid.size(), 1u);
    EXPECT_EQ(invalid[0].priority, 500);
    EXPECT_DOUBLE_EQ(std::stod(invalid[0].prop("Time")), 106.0);
}

TEST_F(WmiSampler, ConstructionFailsWithoutADiskOrRefresherAndSurvivesASecurityFailure) {
    int32_t code = 0;
    state->disks.clear();
    EXPECT_EQ(raised([&] { make(); }, code), "Error Initialising WMI: 0x80041002");
    EXPECT_EQ(code, ErrorInitialising);
    EXPECT_TRUE(state->destroyed);

    state->addDisk(1, 1);
    state->failures["createRefresher"] = static_cast<monitor::HResult>(0x80040154u);
    EXPECT_EQ(raised([&] { make(); }, code), "Error Initialising WMI: 0x80040154");
    EXPECT_EQ(code, ErrorInitialising);
    auto logged = log.withText("Error Creating Refresher Instance ( 0x80040154 )");
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_EQ(logged[0].priority, 700);

    state->failures.clear();
    state->failures["initialiseSecurity"] = static_cast<monitor::HResult>(0x80010119u);
    EXPECT_NE(make(), nullptr);
    EXPECT_EQ(log.count("Error Initializing Security ( 0x80010119 )"), 1u);
}

TEST_F(WmiSampler, ProcessUsageIsSummedWithoutCapAndFailuresRaise) {
    addProcess(10);
    addProcess(11);
    auto sampler = make();
    sampler->updateData();
    step(10, 800);
    step(11, 700);
    sampler->updateData();
    EXPECT_DOUBLE_EQ(sampler->getCPUUsage(), 150.0);
    EXPECT_DOUBLE_EQ(sampler->monitoredProcesses()[0]->cpuHistory[0], 80.0);

    state->process(11)->failing.insert(u"TimeStamp_Sys100NS");
    step(10, 100);
    sampler->updateData();
    EXPECT_DOUBLE_EQ(sampler->getCPUUsage(), 10.0);
    ASSERT_EQ(log.count("Process PerfCounter Query returned error."), 1u);
    EXPECT_EQ(log.withText("Process PerfCounter Query returned error.")[0].priority, 700);

    int32_t code = 0;
    total->failing.insert(u"PercentIdleTime_Base");
    EXPECT_THAT(raised([&] { sampler->updateData(); }, code), testing::StartsWith("Disk PerfCounter Base Query returned: "));
    EXPECT_EQ(code, ErrorQueringPerformanceCounter);
    state->failures["refresh"] = static_cast<monitor::HResult>(0x80041001u);
    EXPECT_EQ(raised([&] { sampler->updateData(); }, code), "Couldn't refresh Performance Counters: 0x80041001");
    EXPECT_EQ(code, ErrorQueringPerformanceCounter);
}

TEST_F(WmiSampler, AnImplausibleValueOfAnEndedProcessDropsItSilently) {
    addProcess(10);
    addProcess(11);
    addProcess(12);
    auto sampler = make();
    sampler->updateData();
    machine.processes->table[10].probe = {false, 87, false};   // gone
    machine.processes->table[11].probe = {false, 5, false};    // not ours to open: still runs
    machine.processes->table[12].probe = {true, 0, false};     // signalled: ended
    step(10, 5000);
    step(11, 5000);
    step(12, 5000);
    sampler->updateData();
    auto invalid = log.withText("Received invalid time for monitored process.");
    ASSERT_EQ(invalid.size(), 1u);
    EXPECT_EQ(invalid[0].prop("Process"), "11");
    EXPECT_DOUBLE_EQ(std::stod(invalid[0].prop("Time")), 500.0);
    EXPECT_EQ(sampler->monitoredProcesses()[1]->cpuUsage, -1.0);
    EXPECT_FALSE(sampler->monitoredProcesses()[0]->seen);
    EXPECT_FALSE(sampler->monitoredProcesses()[2]->seen);
    EXPECT_EQ(sampler->getCPUUsage(), 0.0);

    machine.windows->zOrder.erase(machine.windows->zOrder.begin());
    machine.advance(5000);
    sampler->updateData();
    ASSERT_EQ(sampler->monitoredProcesses().size(), 2u);
    EXPECT_EQ(sampler->monitoredProcesses()[0]->processId, 11u);
}

TEST_F(WmiSampler, ThreeInvalidValuesOutOfFiveForceExactlyOneRebuildPerCycle) {
    addProcess(10);
    addProcess(11);
    auto sampler = make();
    sampler->updateData();
    EXPECT_EQ(state->enumsAdded[kProcessClass], 1);
    for (int cycle = 0; cycle < 2; ++cycle) {
        step(10, 5000);
        sampler->updateData();
    }
    EXPECT_EQ(log.count("Process has returned invalid values for a longer time period."), 0u);
    EXPECT_EQ(state->enumsAdded[kProcessClass], 1);

    // The third invalid value; after the rebuild the counters start from zero and the
    // process's lifetime figures are implausible too.
    state->process(10)->values[u"PercentProcessorTime"] = 100000;
    state->process(10)->values[u"TimeStamp_Sys100NS"] = 4000;
    step(11, 100);
    sampler->updateData();
    EXPECT_EQ(log.count("Process has returned invalid values for a longer time period."), 2u);
    EXPECT_EQ(log.count("Updating monitored processes because of invalid values ('forceObjectRecreate' = true)."), 1u);
    EXPECT_EQ(log.count("Still having invalid values after retry. Giving up for now."), 1u);
    EXPECT_EQ(state->enumsAdded[kProcessClass], 2);
    EXPECT_EQ(state->enumsRemoved, 1);
    EXPECT_EQ(log.withText("Still having invalid values after retry. Giving up for now.")[0].priority, 500);
}

TEST_F(WmiSampler, ANewProcessRebuildsTheEnumeratorAndBindsItsCounters) {
    addProcess(10);
    auto sampler = make();
    sampler->updateData();
    addProcess(11);
    machine.advance(5000);
    sampler->updateData();
    EXPECT_EQ(state->enumsAdded[kProcessClass], 2);
    EXPECT_EQ(state->enumsRemoved, 1);
    step(11, 250);
    sampler->updateData();
    EXPECT_DOUBLE_EQ(sampler->monitoredProcesses()[1]->cpuUsage, 25.0);
}

}  // namespace
