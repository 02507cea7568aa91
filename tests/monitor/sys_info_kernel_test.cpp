// Rates, caps and failed queries of the kernel sampler, on a fake process table.
#include <gmock/gmock.h>

#include "monitor/sys_info_kernel.h"
#include "support/capture_appender.h"
#include "support/monitor_fakes.h"

namespace {

constexpr uint64_t kSecond = 10000000;  // 100-ns units

class KernelSampler : public testing::Test {
protected:
    KernelSampler() {
        machine.addWindowed(10, 100);
        machine.addWindowed(11, 101);
    }
    // One sample now, then one `seconds` later after `change`.
    void sampleTwice(double seconds, const std::function<void()>& change) {
        sampler.updateData();
        change();
        machine.processes->now += static_cast<uint64_t>(seconds * kSecond);
        sampler.updateData();
    }
    fakes::Process& process(uint32_t id) { return machine.processes->table[id]; }
    double usage(size_t index) const { return sampler.monitoredProcesses()[index]->cpuUsage; }
    double logged(const char* text) { return std::stod(log.withText(text).at(0).prop("CPUUsage")); }

    fakes::Machine machine;
    CaptureAppender& log = *CaptureAppender::install();
    CSysInfoKernel sampler{machine.platform()};
};

TEST_F(KernelSampler, FirstSamplesReportNothingAndLaterOnesBecomeLoadsOnTwoLevels) {
    process(10).times = {50 * kSecond, 70 * kSecond};
    process(10).io = {1 << 30, 1 << 30, 0};
    process(10).faults = 1000000;
    sampleTwice(0.5, [&] {
        EXPECT_EQ(sampler.getCPUUsage() + sampler.getIOLoad(0) + sampler.getPageLoad(0), 0.0);
        process(10).io.read += 102400;
        process(10).io.other += 51200;
        process(11).io.write += 51200;  // 204800 bytes in 0.5 s
        process(10).faults += 2000;     // 4000 faults/s
    });
    EXPECT_DOUBLE_EQ(sampler.getIOLoad(0), 2.0);
    EXPECT_DOUBLE_EQ(sampler.getIOLoad(1), 409600.0 / 307200.0);
    EXPECT_DOUBLE_EQ(sampler.getPageLoad(0), 2.0);
    EXPECT_DOUBLE_EQ(sampler.getPageLoad(1), 4000.0 / 3000.0);
    EXPECT_FALSE(sampler.isWMI());
}

TEST_F(KernelSampler, UsageIsCappedPerProcessLoggedPastTenPercentOverAndCappedInSum) {
    sampleTwice(2.0, [&] { process(10).times.user += 3 * kSecond; });  // 1.5 processors
    EXPECT_EQ(usage(0), 100.0);
    EXPECT_EQ(log.withText("Process time > 100%.").at(0).prop("ProcessID"), "10");
    EXPECT_DOUBLE_EQ(logged("Process time > 100%."), 150.0);
    log.clear();
    sampleTwice(2.0, [&] { process(10).times.kernel += kSecond * 21 / 10; });  // 1.05 processors
    EXPECT_EQ(usage(0), 100.0);
    EXPECT_EQ(log.count("Process time > 100%."), 0u);

    sampleTwice(1.0, [&] {
        process(10).times.user += kSecond * 7 / 10;
        process(11).times.user += kSecond * 7 / 10;
    });
    EXPECT_EQ(sampler.getCPUUsage(), 100.0);
    EXPECT_DOUBLE_EQ(usage(1), 70.0);
    EXPECT_DOUBLE_EQ(logged("Sum of process times > 100%."), 140.0);
}

TEST_F(KernelSampler, FailedOpensAreLoggedOnceAndFailedQueriesLeftOutWhileTheOthersGoOn) {
    process(12).openError = 5;
    machine.addWindowed(12, 102);
    sampleTwice(1.0, [&] {
        process(10).timesError = 6;
        process(10).faultsError = 6;
        process(10).io.read += 204800;
        process(11).times.user += kSecond / 5;
    });
    EXPECT_EQ(usage(0), -1.0);
    EXPECT_DOUBLE_EQ(sampler.getCPUUsage(), 20.0);
    EXPECT_DOUBLE_EQ(sampler.getIOLoad(0), 1.0);
    EXPECT_EQ(log.withText("Error obtaining process times.").at(0).prop("Error"), "6");
    EXPECT_EQ(log.count("Error obtaining process memory information."), 1u);

    machine.addWindowed(13, 103);  // a new process: the handles are prepared again
    machine.advance(5000);
    sampler.updateData();
    EXPECT_EQ(machine.processes->openCalls[12], 1);
    auto opened = log.withText("Error opening process handle.");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0].prop("ProcessID") + "/" + opened[0].prop("Error"), "12/5");
}

TEST_F(KernelSampler, ACounterFirstReadAfterAFailureOrAClockStepBackGivesNoRate) {
    process(10).ioError = 31;
    process(10).timesError = 31;
    process(10).times.user = 500 * kSecond;
    sampleTwice(1.0, [&] {
        process(10).ioError = process(10).timesError = 0;
        process(10).io.write = 8ull << 30;
    });
    EXPECT_EQ(sampler.getIOLoad(0), 0.0);  // not 8 GiB in one second
    EXPECT_EQ(sampler.getCPUUsage(), 0.0);
    sampleTwice(1.0, [&] { process(10).io.write += 204800; });
    EXPECT_DOUBLE_EQ(sampler.getIOLoad(0), 1.0);
    sampleTwice(-2.0, [&] { process(10).io.write += 204800; });
    EXPECT_EQ(sampler.getIOLoad(0), 0.0);
}

}  // namespace
