// The sampling cycle, the monitored-process refresh and the factory, on fake platform services.
#include <gmock/gmock.h>

#include <algorithm>

#include "monitor/sys_info_kernel.h"
#include "service/dfrg_exception.h"
#include "support/monitor_fakes.h"
#include "support/monitor_log_capture.h"

namespace {

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

TEST_F(SysInfoCycle, RefreshesMonitoredProcessesAtMostEveryFiveSecondsAcrossTheTickWrap) {
    machine.addWindowed(10, 100);
    sampler.updateData();
    EXPECT_EQ(machine.windows->walks, 1);
    machine.advance(4999);
    sampler.updateData();
    EXPECT_EQ(machine.windows->walks, 1);
    machine.advance(1);
    sampler.updateData();
    EXPECT_EQ(machine.windows->walks, 2);

    *machine.tick = 0xFFFFF000u;
    sampler.updateData();
    EXPECT_EQ(machine.windows->walks, 3);
    machine.advance(5000);  // wraps past zero
    sampler.updateData();
    EXPECT_EQ(machine.windows->walks, 4);
}

TEST_F(SysInfoCycle, IsNewProcessRefreshesOnlyWhenTheCycleHasNotDecided) {
    machine.addWindowed(10, 100);
    sampler.updateData();
    EXPECT_TRUE(sampler.isNewProcess());  // the first refresh finds everything new
    EXPECT_EQ(machine.windows->walks, 1);

    machine.advance(750);
    sampler.updateData();  // no refresh in this cycle
    EXPECT_FALSE(sampler.isNewProcess());
    EXPECT_EQ(machine.windows->walks, 2);
    EXPECT_FALSE(sampler.isNewProcess());
    EXPECT_EQ(machine.windows->walks, 2);

    machine.advance(750);
    sampler.updateData();
    machine.addWindowed(11, 101);
    EXPECT_TRUE(sampler.isNewProcess());
    machine.windows->zOrder.pop_back();  // gone again: the cycle's answer stays
    EXPECT_TRUE(sampler.isNewProcess());
    EXPECT_EQ(monitoredIds(sampler), (std::vector<uint32_t>{10, 11}));
}

TEST_F(SysInfoCycle, PrinterCheckRunsEveryFiveSecondsAndKeepsItsLastValueWhenSwitchedOff) {
    machine.spooler->printers.push_back({"Laser", 0, {0x10}, true});
    sampler.updateData();
    EXPECT_TRUE(sampler.isPrinting());
    machine.advance(1000);
    sampler.updateData();
    EXPECT_EQ(machine.spooler->sizeRequests, 1);

    sampler.setCheckPrinting(false);
    machine.spooler->printers.clear();
    machine.advance(10000);
    sampler.updateData();
    EXPECT_TRUE(sampler.isPrinting());
    EXPECT_EQ(machine.spooler->sizeRequests, 1);

    sampler.setCheckPrinting(true);
    sampler.updateData();
    EXPECT_FALSE(sampler.isPrinting());
    machine.advance(750);
    sampler.updateData();  // no printer: the check did not complete and runs again
    EXPECT_EQ(machine.spooler->sizeRequests, 3);
}

TEST_F(SysInfoCycle, WindowsMarkerAndChildrenDecideWhichProcessesAreMonitored) {
    machine.addWindowed(10, 100);                           // editor
    machine.windows->add(101, 11).visible = false;          // hidden window
    machine.windows->add(102, 12).onMonitor = false;        // off every monitor
    machine.windows->add(103, 0);                           // owner unreadable
    machine.addWindowed(20, 104);                           // marked below
    machine.windows->add(105, 20).title = platform::utf8ToUtf16(SysInfo::kIgnoreMarkerTitle);
    machine.addWindowed(30, 106);                           // the shell
    machine.processes->add(30, 1, u"EXPLORER.EXE");
    machine.processes->add(31, 30);                         // started by the shell, no window
    machine.processes->add(40, 41);                         // grandchild listed before its parent
    machine.processes->add(41, 10, u"cmd.exe");             // command shell from the editor
    machine.processes->add(20, 10);                         // marked, though started by the editor
    machine.processes->add(21, 20);                         // reached only through the marked one
    machine.processes->add(50, 0);                          // unrelated

    sampler.updateData();
    EXPECT_EQ(monitoredIds(sampler), (std::vector<uint32_t>{10, 30, 40, 41}));
}

TEST_F(SysInfoCycle, VanishedProcessesAreDroppedAndNewOnesOpenedEvenWithoutASnapshot) {
    machine.addWindowed(10, 100);
    machine.addWindowed(11, 101);
    sampler.updateData();
    EXPECT_EQ(machine.processes->openCalls[10], 1);

    machine.processes->snapshotFails = true;
    machine.windows->zOrder.erase(machine.windows->zOrder.begin());
    machine.addWindowed(12, 102);
    machine.advance(5000);
    sampler.updateData();
    EXPECT_EQ(monitoredIds(sampler), (std::vector<uint32_t>{11, 12}));
    EXPECT_EQ(machine.processes->openCalls[11], 1);  // kept its handle
    EXPECT_EQ(machine.processes->openCalls[12], 1);
}

TEST(SysInfoFactory, FallsBackToTheWmiVariantOnlyWhenTheKernelVariantRaises) {
    fakes::Machine machine;
    MonitorLogCapture log;
    auto wmiBuilt = [&] { return std::unique_ptr<SysInfo>(new CSysInfoKernel(machine.platform())); };
    auto kernelFails = []() -> std::unique_ptr<SysInfo> { throw CDfrgException(ErrorFailed, "no accounting"); };
    EXPECT_NE(SysInfo::createInstance(kernelFails, wmiBuilt), nullptr);
    auto fallback = log.withText("Couldn't create CSysInfoKernel object. trying CSysInfoWMI");
    ASSERT_EQ(fallback.size(), 1u);
    EXPECT_EQ(fallback[0].priority, 500);
    EXPECT_EQ(fallback[0].prop("Error Message"), "no accounting");
    EXPECT_EQ(fallback[0].prop("Error Code"), "-20");

    auto wmiFails = []() -> std::unique_ptr<SysInfo> { throw CDfrgException(ErrorInitialising, "no wmi"); };
    try {
        SysInfo::createInstance(kernelFails, wmiFails);
        FAIL() << "expected the WMI error";
    } catch (const CDfrgException& e) {
        EXPECT_EQ(e.code(), ErrorInitialising);
    }

    std::unique_ptr<SysInfo> real = SysInfo::createInstance();
    ASSERT_NE(real, nullptr);
    EXPECT_FALSE(real->isWMI());
}

}  // namespace
