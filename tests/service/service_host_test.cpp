#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "fake_service_control.h"
#include "service/service.h"
#include "support/capture_appender.h"

namespace {

class TestService : public CService {
public:
    explicit TestService(ServiceControlApi& api) : CService(api) {}
    std::string serviceName() const override { return "TestService"; }
    std::string description() const override { return "A test service."; }
    bool init() override {
        ++inits;
        return initResult;
    }
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

int32_t run(CService& service, std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    return service.dispatch(static_cast<int>(argv.size()), argv.data());
}

}  // namespace

TEST(ServiceHostTest, OnlyOneServiceObjectPerProcess) {
    FakeServiceControl scm;
    TestService first(scm);
    EXPECT_THROW(TestService second(scm), int);
    EXPECT_EQ(CService::instance(), &first);
}

TEST(ServiceHostTest, CommandLineFormsAndExitCodes) {
    FakeServiceControl scm;
    TestService service(scm);
    EXPECT_EQ(run(service, {"prog", "-h"}), 0);
    EXPECT_EQ(run(service, {"prog", "/?"}), 0);
    EXPECT_EQ(run(service, {"prog", "-HELP"}), 0);
    EXPECT_EQ(run(service, {"prog", "-ci"}), -1);
    EXPECT_EQ(run(service, {"prog", "-START"}), 1060);
    EXPECT_EQ(run(service, {"prog", "-Stop"}), 1060);
    EXPECT_EQ(run(service, {"prog", "-control"}), -1);  // nothing follows: the service is not touched
    EXPECT_TRUE(scm.controls.empty());

    // -i followed by -s: only the first is acted on.
    EXPECT_EQ(run(service, {"prog", "-i", "-s"}), 0);
    EXPECT_TRUE(scm.installed);
    EXPECT_EQ(scm.state, 1u);
    EXPECT_EQ(run(service, {"prog", "-install"}), 1073);
    EXPECT_EQ(run(service, {"prog", "-checkinstall"}), 0);
    EXPECT_EQ(run(service, {"prog", "-s"}), 0);
    EXPECT_EQ(run(service, {"prog", "-start"}), 1056);
    EXPECT_EQ(run(service, {"prog", "-control", "abc"}), 0);
    EXPECT_EQ(run(service, {"prog", "-c", "  +220xyz"}), 0);
    EXPECT_EQ(scm.controls, (std::vector<uint32_t>{0, 220}));
    EXPECT_EQ(run(service, {"prog", "-w"}), 0);
    EXPECT_EQ(run(service, {"prog", "-stop"}), 0);
    EXPECT_EQ(run(service, {"prog", "-stop"}), 1062);
    EXPECT_EQ(run(service, {"prog", "-u"}), 0);
    EXPECT_EQ(run(service, {"prog", "-start"}), 1060);
    EXPECT_EQ(scm.handlesOpen, 0);

    // "-st", "stop" and other words match nothing: the process runs as the service.
    EXPECT_EQ(run(service, {"prog", "-st", "stop", "install"}), 0);
    EXPECT_EQ(service.works, 1);
}

TEST(ServiceHostTest, SuccessNeverExitsWithAStaleErrorCode) {
    FakeServiceControl scm;
    TestService service(scm);
    platform::setLastError(126);  // whatever the runtime's start-up left behind
    EXPECT_EQ(run(service, {"prog", "-install"}), 0);
    platform::setLastError(126);
    EXPECT_EQ(run(service, {"prog", "-control", "220"}), 0);
}

TEST(ServiceHostTest, ThousandArgumentsAreScannedWithoutHarm) {
    FakeServiceControl scm;
    TestService service(scm);
    std::vector<std::string> args{"prog"};
    for (int i = 0; i < 1000; ++i) args.push_back("arg" + std::to_string(i));
    args.push_back("-help");
    EXPECT_EQ(run(service, args), 0);
}

TEST(ServiceHostTest, CommandInvocationsAreToldFromTheServiceWork) {
    auto isCommand = [](std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(&a[0]);
        return CService::isCommandInvocation(static_cast<int>(argv.size()), argv.data());
    };
    EXPECT_TRUE(isCommand({"prog", "-START"}));
    EXPECT_TRUE(isCommand({"prog", "word", "/?"}));
    EXPECT_FALSE(isCommand({"prog"}));
    EXPECT_FALSE(isCommand({"prog", "-st", "stop"}));
    EXPECT_FALSE(isCommand({"prog", "-exec", "-s"}));  // the first match decides
}

TEST(ServiceHostTest, ControlCodeParsing) {
    EXPECT_EQ(CService::parseControlCode("220"), 220);
    EXPECT_EQ(CService::parseControlCode("  -12abc"), -12);
    EXPECT_EQ(CService::parseControlCode("word"), 0);
    EXPECT_EQ(CService::parseControlCode(""), 0);
    EXPECT_EQ(CService::parseControlCode("99999999999999999999"), INT32_MAX);
    EXPECT_EQ(CService::parseControlCode("-99999999999999999999"), INT32_MIN);
}

TEST(ServiceHostTest, InstallQuotesThePathAndSetsTheDescription) {
    FakeServiceControl scm;
    TestService service(scm);
    ASSERT_TRUE(service.install());
    ASSERT_GE(scm.binaryPath.size(), 3u);
    EXPECT_EQ(scm.binaryPath.front(), '"');
    EXPECT_EQ(scm.binaryPath.back(), '"');
    EXPECT_EQ(scm.description, "A test service.");
    EXPECT_EQ(scm.displayName, "TestService");
}

TEST(ServiceHostTest, PendingIoLeftByACloseIsNotReportedAsAnError) {
    FakeServiceControl scm;
    scm.closeLeavesError = 997;
    TestService service(scm);
    EXPECT_EQ(run(service, {"prog", "-i"}), 0);
    EXPECT_EQ(run(service, {"prog", "-i"}), 1073);  // the failure's own code survives the close
}

TEST(ServiceHostTest, RemoveStopsARunningServiceThenWaitsForItToGo) {
    FakeServiceControl scm;
    scm.installed = true;
    scm.state = 4;
    scm.stopsAfterInterrogates = 3;
    scm.opensUntilGone = 2;
    TestService service(scm);
    EXPECT_TRUE(service.remove());
    EXPECT_EQ(scm.controls, (std::vector<uint32_t>{1, 4, 4, 4}));
    EXPECT_FALSE(scm.installed);
    EXPECT_EQ(scm.slept, 3 * 500u + 2 * 500u);

    // A service that never stops: at most 20 interrogations, about ten seconds.
    FakeServiceControl stuck;
    stuck.installed = true;
    stuck.state = 4;
    stuck.stopsAfterInterrogates = 1000;
    stuck.opensUntilGone = 1000;
}

TEST(ServiceHostTest, RemoveGivesUpWaitingAfterTwentyRounds) {
    FakeServiceControl stuck;
    stuck.installed = true;
    stuck.state = 4;
    stuck.stopsAfterInterrogates = 1000;
    stuck.opensUntilGone = 1000;
    TestService service(stuck);
    EXPECT_TRUE(service.remove());
    EXPECT_EQ(stuck.controls.size(), 21u);
    EXPECT_EQ(stuck.slept, 20 * 500u + 20 * 500u);
    EXPECT_EQ(stuck.handlesOpen, 0);
    EXPECT_FALSE(service.remove());  // already marked for deletion
}

TEST(ServiceHostTest, WaitGivesUpAfterSixSecondsOfPending) {
    FakeServiceControl scm;
    scm.installed = true;
    scm.stateScript = {2};
    TestService service(scm);
    EXPECT_FALSE(service.wait());
    EXPECT_GT(scm.slept, 6000u);
    EXPECT_LE(scm.slept, 6500u);

    scm.slept = 0;
    scm.stateScript = {2, 2, 4};
    scm.waitHint = 0xFFFFFFFF;
    EXPECT_TRUE(service.wait());
    EXPECT_EQ(scm.slept, 1000u);
}

TEST(ServiceHostTest, ServiceMainReportsStatesAndRunsTheRestartLoop) {
    CaptureAppender* log = CaptureAppender::install();
    FakeServiceControl scm;
    TestService service(scm);
    int rounds = 0;
    service.onWork = [&] {
        if (++rounds == 1) service.setRestart(true);  // as control code 220 does
    };
    EXPECT_EQ(run(service, {"prog"}), 0);
    EXPECT_EQ(service.inits, 2);
    EXPECT_EQ(service.cleanups, 2);
    // The restart is invisible to the manager: no stop between the two rounds.
    EXPECT_EQ(scm.reported, (std::vector<uint32_t>{2, 4, 4, 3, 1}));
    EXPECT_TRUE(log->contains("serviceMain exiting."));
    LogManager::shutdown();
}

TEST(ServiceHostTest, AnUnknownExceptionFromTheWorkEndsInStopped) {
    FakeServiceControl scm;
    TestService service(scm);
    service.onWork = [] { throw 42; };
    EXPECT_EQ(run(service, {"prog"}), 0);
    EXPECT_EQ(scm.reported, (std::vector<uint32_t>{2, 4, 1}));
}

TEST(ServiceHostTest, FailedInitReportsStopped) {
    FakeServiceControl scm;
    TestService service(scm);
    service.initResult = false;
    EXPECT_EQ(run(service, {"prog"}), 0);
    EXPECT_EQ(service.works, 0);
    EXPECT_EQ(scm.reported, (std::vector<uint32_t>{2, 1}));
}

TEST(ServiceHostTest, ControlHandler) {
    FakeServiceControl scm;
    TestService service(scm);
    service.onWork = [&] {
        EXPECT_EQ(scm.deliver(4), 0u);  // interrogate repeats the current state
        EXPECT_EQ(scm.deliver(200), 120u);
        EXPECT_EQ(scm.deliver(1), 0u);
        EXPECT_TRUE(service.stopEvent().wait(0));
    };
    run(service, {"prog"});
    EXPECT_EQ(scm.reported, (std::vector<uint32_t>{2, 4, 4, 3, 3, 1}));
    // A stop after the service has stopped reports stopped again and signals nothing new.
    service.stopEvent().reset();
    EXPECT_EQ(scm.deliver(5), 0u);
    EXPECT_EQ(scm.reported.back(), 1u);
    EXPECT_FALSE(service.stopEvent().wait(0));
}

TEST(ServiceHostTest, ForegroundRunPassesTheFollowingArguments) {
    FakeServiceControl scm;
    TestService service(scm);
    EXPECT_EQ(run(service, {"prog", "-EXEC", "-b", "x"}), 0);
    EXPECT_EQ(service.workArgs, (std::vector<std::string>{"-b", "x"}));
    EXPECT_TRUE(scm.reported.empty());
}

TEST(ServiceHostTest, WaitForStopWithAnExtraEvent) {
    FakeServiceControl scm;
    TestService service(scm);
    platform::Event extra(platform::Event::Reset::Auto);
    extra.set();
    EXPECT_FALSE(service.waitForStop(platform::kInfinite, &extra));
    EXPECT_TRUE(service.waitForStop(10, &extra));  // time-out
    service.requestStop();
    extra.set();
    EXPECT_TRUE(service.waitForStop(platform::kInfinite, &extra));  // the stop event wins
}
