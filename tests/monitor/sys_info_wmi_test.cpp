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
    WmiSampler() {
        state->addDisk(0, 0);
        total = state->addDisk(500, 1000);
    }
    auto make() { return std::make_unique<CSysInfoWMI>(std::make_unique<fakes::Wmi>(state), machine.platform()); }
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

}  // namespace
