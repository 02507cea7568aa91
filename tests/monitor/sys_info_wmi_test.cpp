// The WMI sampler's bands and implausible values, on fake counter objects.
#include <gmock/gmock.h>

#include <cmath>

#include "monitor/sys_info_wmi.h"
#include "platform/dfrg_exception.h"
#include "support/capture_appender.h"
#include "support/monitor_fakes.h"

namespace {

class WmiSampler : public testing::Test {
protected:
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
    fakes::Wmi* wmi = new fakes::Wmi;  // owned by the sampler
    std::shared_ptr<fakes::WmiObject> disk = wmi->addDisk(0, 0), total = wmi->addDisk(500, 1000);
    CaptureAppender& log = *CaptureAppender::install();
    CSysInfoWMI sampler{std::unique_ptr<fakes::Wmi>(wmi), machine.platform()};
};

TEST(WmiBands, NearlyPlausiblePercentagesAreClampedAndTheRestRejected) {
    // -1: rejected
    const std::pair<double, double> cases[] = {{-5, 0}, {42.5, 42.5}, {105, 100}, {-5.01, -1},
                                               {105.01, -1}, {std::nan(""), -1}, {HUGE_VAL, -1}};
    for (auto [in, out] : cases) {
        double v = -1;
        EXPECT_EQ(monitor::bandPercent(in, v), out >= 0) << in;
        EXPECT_EQ(v, out) << in;
    }
}

TEST_F(WmiSampler, DiskIdleTimeBecomesIoLoadAndImplausibleReadingsCountAsFullyBusy) {
    sampler.updateData();
    EXPECT_DOUBLE_EQ(sampler.getIOLoad(0), 50.0 / 30.0);
    EXPECT_EQ(sampler.getPageLoad(0) + sampler.getPageLoad(1), 0.0);

    total->values = {{u"PercentIdleTime", 604}, {u"PercentIdleTime_Base", 1100}};  // 104 %
    sampler.updateData();
    EXPECT_EQ(sampler.diskIdlePercent(), 100.0);
    EXPECT_EQ(log.count("Received invalid HD idle time."), 0u);

    total->values = {{u"PercentIdleTime", 710}, {u"PercentIdleTime_Base", 1200}};  // 106 %
    sampler.updateData();
    EXPECT_DOUBLE_EQ(sampler.getIOLoad(0), 101.0 / 30.0);
    EXPECT_DOUBLE_EQ(sampler.getIOLoad(1), 101.0 / 40.0);
    EXPECT_DOUBLE_EQ(std::stod(log.withText("Received invalid HD idle time.").at(0).prop("Time")), 106.0);

    total->failing.insert(u"PercentIdleTime_Base");
    EXPECT_THAT(raised([&] { sampler.updateData(); }, ErrorQueringPerformanceCounter),
                testing::StartsWith("Disk PerfCounter Base Query returned: "));
    wmi->refreshResult = static_cast<monitor::HResult>(0x80041001u);
    EXPECT_EQ(raised([&] { sampler.updateData(); }, ErrorQueringPerformanceCounter),
              "Couldn't refresh Performance Counters: 0x80041001");
}

}  // namespace
