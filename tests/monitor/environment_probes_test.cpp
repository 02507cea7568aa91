// Full-screen, power and printer probes on fake platform services.
#include <gmock/gmock.h>

#include "monitor/sys_info_kernel.h"
#include "support/monitor_fakes.h"

namespace {

using monitor::WindowId;

class FullscreenProbe : public testing::Test {
protected:
    FullscreenProbe() {
        windows.width = 1367;
        windows.height = 769;
    }
    fakes::Window& windowAtCentre(WindowId id, monitor::WindowRect rect, const std::string& cls) {
        fakes::Window& w = windows.add(id, 7);
        w.rect = rect;
        w.className = cls;
        windows.atPoint = id;
        return w;
    }
    fakes::Windows windows;
};

TEST_F(FullscreenProbe, OnlyATopLevelWindowCoveringTheWholeScreenCounts) {
    EXPECT_EQ(SysInfo::getFullscreenWindow(windows), 0u);  // nothing at the point
    EXPECT_EQ(windows.askedX, 683);
    EXPECT_EQ(windows.askedY, 384);

    windowAtCentre(20, {-8, -8, 1375, 777}, "Game");
    EXPECT_EQ(SysInfo::getFullscreenWindow(windows), 20u);

    windows.zOrder.clear();
    windowAtCentre(21, {0, 0, 1367, 729}, "Game");  // maximised, the taskbar stays visible
    EXPECT_EQ(SysInfo::getFullscreenWindow(windows), 0u);

    windows.zOrder.clear();
    windowAtCentre(22, {0, 0, 1367, 769}, "Game");
    fakes::Window& child = windows.add(23, 7);
    child.style = monitor::kWindowStyleChild;
    child.parent = 22;
    windows.atPoint = 23;  // a control inside the window
    EXPECT_EQ(SysInfo::getFullscreenWindow(windows), 22u);

    windows.atPoint = windows.desktop;
    EXPECT_EQ(SysInfo::getFullscreenWindow(windows), 0u);
}

TEST_F(FullscreenProbe, TheDesktopClassNeverCountsButALongerNameDoes) {
    windowAtCentre(30, {0, 0, 1367, 769}, "pRoGmAn");
    EXPECT_EQ(SysInfo::getFullscreenWindow(windows), 0u);
    windows.zOrder.clear();
    windowAtCentre(31, {0, 0, 1367, 769}, "Progman-Player");  // read as "Progman-"
    EXPECT_EQ(SysInfo::getFullscreenWindow(windows), 31u);
    windows.zOrder.clear();
    windowAtCentre(32, {0, 0, 1367, 769}, "");  // class name unreadable
    EXPECT_EQ(SysInfo::getFullscreenWindow(windows), 0u);
}

TEST(FullscreenProcess, ReportsTheCpuUsageOfTheMonitoredOwnerOnly) {
    fakes::Machine machine;
    machine.addWindowed(10, 100);
    machine.windows->zOrder[0].rect = {0, 0, 1920, 1080};
    CSysInfoKernel sampler(machine.platform());
    EXPECT_EQ(sampler.getFullscreenProcessCPUUsage(), -1.0);  // no full-screen window
    machine.windows->atPoint = 100;
    EXPECT_EQ(sampler.getFullscreenProcessCPUUsage(), -1.0);  // owner not monitored yet

    machine.processes->table[10].times.user = 0;
    sampler.updateData();
    machine.processes->table[10].times.user = 2500000;  // 0.25 s in 0.5 s
    machine.processes->now += 5000000;
    sampler.updateData();
    EXPECT_DOUBLE_EQ(sampler.getFullscreenProcessCPUUsage(), 50.0);
}

TEST(ScreenSaverProbe, AFailedQueryReadsAsNotRunning) {
    fakes::Windows windows;
    windows.saverRunning = true;
    EXPECT_TRUE(SysInfo::isScreenSaverRunning(windows));
    windows.saverQueryWorks = false;
    EXPECT_FALSE(SysInfo::isScreenSaverRunning(windows));
}

TEST(BatteryProbe, FollowsThePowerTableRowByRow) {
    struct Row {
        uint8_t ac, flag;
        bool onBattery;
    } rows[] = {
        {0, 128, true},  {0, 1, true},    {1, 4, false},    {1, 128, false}, {255, 255, false},
        {255, 128, false}, {255, 1, true}, {255, 8, true},  {7, 128, false}, {7, 255, true},
    };
    fakes::Power power;
    for (const Row& row : rows) {
        power.status = {row.ac, row.flag};
        EXPECT_EQ(SysInfo::isOnBattery(power), row.onBattery) << int(row.ac) << "/" << int(row.flag);
    }
    power.status = {0, 1};
    power.works = false;
    EXPECT_FALSE(SysInfo::isOnBattery(power));
}

TEST(PrinterProbe, JobStatesDecideWhetherAPrinterIsBusy) {
    fakes::Spooler spooler;
    spooler.printers = {{"idle", 0, {0}, true},
                        {"spooling", 0, {0x1000, 0x8}, true},
                        {"printing", 0, {0x10}, true},
                        {"unreachable", 0, {0x10}, false}};
    EXPECT_FALSE(SysInfo::hasActivePrintJob(spooler, "idle"));
    EXPECT_TRUE(SysInfo::hasActivePrintJob(spooler, "spooling"));
    EXPECT_TRUE(SysInfo::hasActivePrintJob(spooler, "printing"));
    EXPECT_FALSE(SysInfo::hasActivePrintJob(spooler, "unreachable"));
    for (uint32_t excluded : {0x1u, 0x2u, 0x4u, 0x20u, 0x40u, 0x80u, 0x100u, 0x200u, 0x400u, 0x1000u}) {
        spooler.printers = {{"p", 0, {excluded | 0x10}, true}};
        EXPECT_FALSE(SysInfo::hasActivePrintJob(spooler, "p")) << excluded;
    }
}

TEST(PrinterProbe, ExcludedPrintersAreNotOpenedAndFailedEnumerationsAreRetried) {
    fakes::Machine machine;
    CSysInfoKernel sampler(machine.platform());
    auto& spooler = *machine.spooler;
    spooler.printers = {{"paused", 0x1, {0x8, 0x8, 0x8}, true},
                        {"offline", 0x80, {0x8}, true},
                        {"empty", 0, {}, true},
                        {"busy", 0, {0x8}, true},
                        {"after", 0, {0x8}, true}};
    sampler.updateData();
    EXPECT_TRUE(sampler.isPrinting());
    EXPECT_EQ(spooler.opened, std::vector<std::string>{"busy"});

    spooler.readFails = true;
    machine.advance(5000);
    sampler.updateData();
    EXPECT_FALSE(sampler.isPrinting());
    machine.advance(750);
    sampler.updateData();
    EXPECT_EQ(spooler.sizeRequests, 3);

    spooler.readFails = false;
    spooler.listError = 5;  // any error but "buffer too small" ends the check
    machine.advance(750);
    sampler.updateData();
    EXPECT_FALSE(sampler.isPrinting());
}

}  // namespace
