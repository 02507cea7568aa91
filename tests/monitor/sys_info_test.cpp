// The kernel sampler's rates, caps and failed queries, its cycle and monitored-process refresh,
// and the environment probes, on fake platform services.
#include <gmock/gmock.h>

#include <algorithm>

#include "monitor/sys_info_kernel.h"
#include "support/capture_appender.h"
#include "support/monitor_fakes.h"

namespace {

using testing::ElementsAre;

std::vector<uint32_t> monitoredIds(const SysInfo& s) {
    std::vector<uint32_t> ids;
    for (const auto& r : s.monitoredProcesses()) ids.push_back(r->processId);
    std::sort(ids.begin(), ids.end());
    return ids;
}

class SysInfoCycle : public testing::Test {
protected:
    fakes::Machine machine;
    CSysInfoKernel sampler{machine.platform()};
};

TEST_F(SysInfoCycle, RefreshesAtMostEveryFiveSecondsOrWhenIsNewProcessFindsTheCycleUndecided) {
    machine.addWindowed(10, 100);
    sampler.updateData();
    EXPECT_TRUE(sampler.isNewProcess());  // the first refresh finds everything new
    machine.advance(750);
    sampler.updateData();  // no refresh in this cycle
    EXPECT_FALSE(sampler.isNewProcess());
    EXPECT_FALSE(sampler.isNewProcess());
    EXPECT_EQ(machine.windows->walks, 2);
    machine.advance(750);
    sampler.updateData();
    machine.addWindowed(11, 101);
    EXPECT_TRUE(sampler.isNewProcess());
    machine.windows->zOrder.pop_back();  // gone again: the cycle's answer stays
    EXPECT_TRUE(sampler.isNewProcess());
    EXPECT_THAT(monitoredIds(sampler), ElementsAre(10, 11));
    EXPECT_EQ(machine.windows->walks, 3);

    for (uint32_t step : {4999u, 1u}) {
        machine.advance(step);
        sampler.updateData();
    }
    EXPECT_EQ(machine.windows->walks, 4);
    *machine.tick = 0xFFFFF000u;
    sampler.updateData();
    machine.advance(5000);  // wraps past zero
    sampler.updateData();
    EXPECT_EQ(machine.windows->walks, 6);
}

TEST_F(SysInfoCycle, WindowsMarkerAndChildrenDecideWhichProcessesAreMonitored) {
    machine.addWindowed(10, 100);                    // editor
    machine.windows->add(101, 11).visible = false;
    machine.windows->add(102, 12).onMonitor = false;
    machine.windows->add(103, 0);                    // owner unreadable
    machine.addWindowed(20, 104);                    // marked below
    machine.windows->add(105, 20).title = platform::utf8ToUtf16(SysInfo::kIgnoreMarkerTitle);
    machine.addWindowed(30, 106);
    machine.processes->add(30, 1, u"EXPLORER.EXE");  // the shell
    machine.processes->add(31, 30);                  // started by the shell, no window
    machine.processes->add(40, 41);                  // grandchild, listed before its parent
    machine.processes->add(41, 10, u"cmd.exe");      // command shell started from the editor
    machine.processes->add(20, 10);                  // marked, though started by the editor
    machine.processes->add(21, 20);                  // reached only through the marked one
    sampler.updateData();
    EXPECT_THAT(monitoredIds(sampler), ElementsAre(10, 30, 40, 41));
    EXPECT_EQ(machine.processes->openCalls[10], 1);

    // Without a snapshot windowed processes are still refreshed and vanished ones dropped.
    machine.processes->snapshotFails = true;
    machine.windows->zOrder.erase(machine.windows->zOrder.begin());
    machine.addWindowed(12, 107);
    machine.advance(5000);
    sampler.updateData();
    EXPECT_THAT(monitoredIds(sampler), ElementsAre(12, 30));
    EXPECT_EQ(machine.processes->openCalls[30], 1);  // kept its handle
}

TEST_F(SysInfoCycle, PrinterCheckSkipsExcludedPrintersAndKeepsItsValueWhenSwitchedOff) {
    auto& spooler = *machine.spooler;
    spooler.printers = {{"paused", 0x1, {0x8, 0x8, 0x8}},
                        {"offline", 0x80, {0x8}},
                        {"empty", 0, {}},
                        {"busy", 0, {0x8}},
                        {"after", 0, {0x8}}};
    sampler.updateData();
    EXPECT_TRUE(sampler.isPrinting());
    EXPECT_THAT(spooler.opened, ElementsAre("busy"));
    machine.advance(1000);
    sampler.updateData();
    EXPECT_EQ(spooler.sizeRequests, 1);

    sampler.setCheckPrinting(false);
    spooler.printers.clear();
    machine.advance(10000);
    sampler.updateData();
    EXPECT_TRUE(sampler.isPrinting());
    EXPECT_EQ(spooler.sizeRequests, 1);

    // A failed check leaves "not printing".
    sampler.setCheckPrinting(true);
    spooler.printers = {{"busy", 0, {0x8}}};
    spooler.readFails = true;
    sampler.updateData();
    EXPECT_FALSE(sampler.isPrinting());
}

TEST(PrinterProbe, JobStatesDecideWhetherAPrinterIsBusy) {
    fakes::Spooler spooler;
    spooler.printers = {{"idle", 0, {0}}, {"spooling", 0, {0x1000, 0x8}}, {"unreachable", 0, {0x10}, false}};
    EXPECT_FALSE(SysInfo::hasActivePrintJob(spooler, "idle"));
    EXPECT_TRUE(SysInfo::hasActivePrintJob(spooler, "spooling"));
    EXPECT_FALSE(SysInfo::hasActivePrintJob(spooler, "unreachable"));
    spooler.jobError = 5;  // a job that cannot be asked about is not taken for printing
    EXPECT_FALSE(SysInfo::hasActivePrintJob(spooler, "spooling"));
    spooler.jobError = 122;
    for (uint32_t excluded : {0x1u, 0x2u, 0x4u, 0x20u, 0x40u, 0x80u, 0x100u, 0x200u, 0x400u, 0x1000u}) {
        spooler.printers = {{"p", 0, {excluded | 0x10}}};
        EXPECT_FALSE(SysInfo::hasActivePrintJob(spooler, "p")) << excluded;
    }
}

TEST(FullscreenProbe, OnlyATopLevelNonDesktopWindowCoveringTheScreenCounts) {
    fakes::Windows windows;
    windows.width = 1367;
    windows.height = 769;
    EXPECT_EQ(SysInfo::getFullscreenWindow(windows), 0u);  // nothing at the point
    EXPECT_EQ(windows.askedX, 683);
    EXPECT_EQ(windows.askedY, 384);

    struct Case {
        monitor::WindowRect rect;
        std::string cls;
        bool fullscreen;
    } cases[] = {{{-8, -8, 1375, 777}, "Game", true},
                 {{0, 0, 1367, 729}, "Game", false},  // maximised, the taskbar stays visible
                 {{0, 0, 1367, 769}, "pRoGmAn", false},
                 {{0, 0, 1367, 769}, "Progman-Player", true},  // read as "Progman-"
                 {{0, 0, 1367, 769}, "", false}};              // class name unreadable
    monitor::WindowId id = 20;
    for (const Case& c : cases) {
        fakes::Window& w = windows.add(++id, 7);
        w.rect = c.rect;
        w.className = c.cls;
        windows.atPoint = id;
        EXPECT_EQ(SysInfo::getFullscreenWindow(windows), c.fullscreen ? id : 0u) << c.cls;
    }
    fakes::Window& control = windows.add(40, 7);  // a control inside the "Progman-Player" window
    control.style = monitor::kWindowStyleChild;
    control.parent = 24;
    windows.atPoint = 40;
    EXPECT_EQ(SysInfo::getFullscreenWindow(windows), 24u);
    windows.atPoint = windows.desktop;
    EXPECT_EQ(SysInfo::getFullscreenWindow(windows), 0u);
}

TEST(BatteryProbe, FollowsThePowerTableRowByRow) {
    const struct {
        uint8_t ac, flag;
        bool onBattery;
    } rows[] = {{0, 128, true},    {0, 1, true},   {1, 4, false},   {1, 128, false}, {255, 255, false},
                {255, 128, false}, {255, 1, true}, {7, 128, false}, {7, 255, true}};
    fakes::Power power;
    for (const auto& row : rows) {
        power.status = {row.ac, row.flag};
        EXPECT_EQ(SysInfo::isOnBattery(power), row.onBattery) << int(row.ac) << "/" << int(row.flag);
    }
    power.works = false;  // unreadable: not on battery, whatever it said before
    EXPECT_FALSE(SysInfo::isOnBattery(power));
}

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
