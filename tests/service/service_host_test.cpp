#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "service/service.h"
#include "service_fakes.h"
#include "support/capture_appender.h"

namespace {

class TestService : public CService {
public:
    explicit TestService(ServiceControlApi& api) : CService(api) {}
    std::string serviceName() const override { return "TestService"; }
    std::string description() const override { return "A test service."; }
    bool init() override { return ++inits, initResult; }
    void serviceWork(int argc, char** argv) override {
        ++works;
        if (argc > 0) workArgs.assign(argv, argv + argc);
        if (onWork) onWork();
    }
    void cleanup() override { ++cleanups; }

    int inits = 0, works = 0, cleanups = 0;
    bool initResult = true;
    std::vector<std::string> workArgs;
    std::function<void()> onWork;
};

std::vector<char*> argvOf(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    return argv;
}

int32_t run(CService& service, std::vector<std::string> args) {
    auto argv = argvOf(args);
    return service.dispatch(static_cast<int>(argv.size()), argv.data());
}

}  // namespace

TEST(ServiceHostTest, CommandLineFormsExitCodesAndTheForegroundRun) {
    FakeServiceControl scm;
    scm.closeLeavesError = 997;  // pending I/O that a close leaves behind is no failure either
    TestService service(scm);
    const struct {
        std::vector<std::string> args;
        int32_t code;
    } steps[] = {
        {{"-i", "-s"}, 0},  // only the first is acted on
        {{"-install"}, 1073}, {{"-checkinstall"}, 0}, {{"-s"}, 0}, {{"-start"}, 1056}, {{"-control", "abc"}, 0},
        {{"-c", "  +220xyz"}, 0}, {{"-w"}, 0}, {{"-stop"}, 0}, {{"-stop"}, 1062}, {{"-u"}, 0}, {{"-start"}, 1060},
        {{"-ci"}, -1},
    };
    for (const auto& step : steps) {
        std::vector<std::string> args{"prog"};
        args.insert(args.end(), step.args.begin(), step.args.end());
        platform::setLastError(126);  // whatever the runtime's start-up left behind is no failure
        EXPECT_EQ(run(service, args), step.code) << step.args[0];
        EXPECT_TRUE(step.args[0] != "-i" || scm.description == "A test service.");
        EXPECT_TRUE(step.args[0] != "-c" || scm.controls == std::vector<uint32_t>({0, 220}));
    }
    EXPECT_EQ(scm.handlesOpen, 0);
    EXPECT_EQ(service.works, 0);
    // One service object per process; its foreground run gets the words after the option and
    // reports nothing to the manager.
    EXPECT_THROW(TestService second(scm), int);
    EXPECT_EQ(CService::instance(), &service);
    EXPECT_EQ(run(service, {"prog", "-EXEC", "-b", "x"}), 0);
    EXPECT_EQ(service.workArgs, (std::vector<std::string>{"-b", "x"}));
    EXPECT_TRUE(scm.reported.empty());
}

// The states reported to the manager: the restart is invisible to it (no stop between the
// rounds); interrogate repeats the current state; an unknown control is refused with 120.
TEST(ServiceHostTest, ServiceMainReportsTheStatesOfEachRun) {
    CaptureAppender* log = CaptureAppender::install();
    enum How { Restart, Throw, FailInit, Controls };
    const struct {
        How how;
        int rounds;
        std::vector<uint32_t> reported;
    } cases[] = {{Restart, 2, {2, 4, 4, 3, 1}}, {Throw, 1, {2, 4, 1}}, {FailInit, 1, {2, 1}},
                 {Controls, 1, {2, 4, 4, 3, 3, 1}}};
    for (const auto& c : cases) {
        FakeServiceControl scm;
        TestService service(scm);
        service.initResult = c.how != FailInit;
        service.onWork = [&] {
            if (c.how == Throw) throw 42;
            if (c.how == Restart && service.works == 1) service.setRestart(true);  // as control code 220 does
            if (c.how != Controls) return;
            EXPECT_EQ(scm.deliver(4), 0u);
            EXPECT_EQ(scm.deliver(200), 120u);
            EXPECT_EQ(scm.deliver(1), 0u);
            EXPECT_TRUE(service.stopEvent().wait(0));
        };
        EXPECT_EQ(run(service, {"prog"}), 0);
        EXPECT_EQ(service.inits, c.rounds);
        EXPECT_EQ(service.works, c.how == FailInit ? 0 : c.rounds);
        EXPECT_EQ(service.cleanups, c.how == Throw || c.how == FailInit ? service.cleanups : c.rounds);
        EXPECT_EQ(scm.reported, c.reported) << c.how;
    }
    EXPECT_TRUE(log->contains("serviceMain exiting."));
    LogManager::shutdown();
}
