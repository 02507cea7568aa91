#include <gtest/gtest.h>

#include <filesystem>

#include "logging/log.h"
#include "logging/log_components.h"
#include "logging/log_manager.h"
#include "platform/clock.h"
#include "platform/process_paths.h"
#include "support/temp_dir.h"

namespace {

class LogConfigTest : public ::testing::Test {
protected:
    void SetUp() override {
        previous_ = platform::currentDirectory();
        ASSERT_TRUE(platform::setCurrentDirectory(dir_.path()));
        LogManager::shutdown();
        LogManager::instance().registerFactory(createStandardLogComponent, deleteStandardLogComponent);
    }
    void TearDown() override {
        LogManager::shutdown();
        platform::setCurrentDirectory(previous_);
    }
    bool load(const std::string& xml) {
        writeWholeFile(dir_.file("logconfig.xml"), xml);
        return loadLogConfiguration("logconfig.xml");
    }
    std::string log(const std::string& name = "log.txt") {
        LogManager::shutdown();  // closes the files
        return readWholeFile(dir_.file(name));
    }

    TempDir dir_;
    std::string previous_;
};

}  // namespace

TEST_F(LogConfigTest, AppendersNestedAnywhereAreFoundUnknownNamesSkippedAndFileNamesComposed) {
    LogManager::instance().setFilePostfix("_p");
    writeWholeFile(dir_.file("log_p.txt"), "previous run\r\n");
    ASSERT_TRUE(load(R"(<root><appender name="FileAppender"/><wrap><deeper>
        <appender name="FileAppender"><settings><filename value="a.txt"/></settings><layout name="SimpleLayout">
          <settings><includePriorities value="true"/><includeProperties value="true"/><includeThread value="true"/>
        </settings></layout></appender>
      </deeper></wrap>
      <appender name="NoSuchAppender"><settings><filename value="b.txt"/></settings></appender>
      <appender name="FileAppender"><settings><filename value="c.txt"/></settings>
        <layout name="NoSuchLayout"/><filter name="NoSuchFilter"/></appender>
      <other><appender name="FileAppender"><settings><filename value="plain"/></settings></appender></other>
      <appender name="FileAppender"><settings><filename value="two.txt"/><postfix value="_own"/></settings></appender>
      <appender name="FileAppender"><settings><filename value="s.txt"/><addTimeStampToFilename value="1"/></settings>
      </appender></root>)"));
    EXPECT_EQ(LogManager::instance().appenderCount(), 6u);
    setLogThreadName("MainThread");
    {
        LogScope scope("op");
        LogMessage(scope, 700).text("failed").prop("ErrorCode", 2).prop("ErrorMessage", "gone");
    }
    setLogThreadName("");
    LogManager::shutdown();
    EXPECT_EQ(readWholeFile(dir_.file("a_p.txt")), "(MainThread)(Error) op: -> failed\nErrorCode: 2\nErrorMessage: gone\n\r\n");
    for (const char* name : {"c_p.txt", "plain", "two_own.txt", "log_p.txt"})  // log.txt without settings, replaced
        EXPECT_EQ(readWholeFile(dir_.file(name)), "failed\r\n") << name;
    // The stamp goes in front of the extension, the process-wide postfix after it.
    bool found = false;
    for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
        const std::string name = entry.path().filename().string();
        found = found || (name.rfind("s_20", 0) == 0 && name.size() == 23 && name.substr(17) == "_p.txt");
    }
    EXPECT_TRUE(found);
}

TEST_F(LogConfigTest, NestedFiltersFormAChain) {
    // Only Error-band messages, and of those not exactly 705.
    ASSERT_TRUE(load(R"(<appender name="FileAppender">
        <filter name="priority"><settings><priority value="ERR"/><complete value="true"/></settings>
          <filter name="priority"><settings><priority value="ERR+5"/><mode value="deny"/></settings></filter>
        </filter></appender>)"));
    LogScope scope("s");
    for (int p : {100, 200, 700, 705, 799, 800}) LogMessage(scope, p).text(p);
    EXPECT_EQ(log(), "700\r\n799\r\n");
}

TEST_F(LogConfigTest, TimeFormatsTheRuntimeDoesNotKnowFallBackToTheDefaultWithOneWarning) {
    for (const char* good : {"%X", "%ms", "%H:%M:%S", "%#d.%m.%Y", "100%%", "plain"})
        EXPECT_TRUE(CSimpleLayout::isSupportedTimeFormat(good)) << good;
    for (const std::string& bad : {std::string("%T"), std::string("%Q"), std::string("%H:%"), std::string("%#"),
                                   std::string("%Ec"), std::string("%e"), std::string(65, 'x')})
        EXPECT_FALSE(CSimpleLayout::isSupportedTimeFormat(bad)) << bad;

    ASSERT_TRUE(load(R"(<appender name="FileAppender"><layout name="SimpleLayout"><settings>
        <includeTime value="true"><timeformat value="%T"/></includeTime></settings></layout></appender>)"));
    std::string text = log();
    // The warning, written with the default format: "(" the locale's time ")" and the scope.
    EXPECT_EQ(text.find("Unsupported time format, the default is used"), text.rfind("Unsupported time format"));
    ASSERT_NE(text.find(")loadLogConfiguration: -> Unsupported time format, the default is used"), std::string::npos) << text;
    EXPECT_NE(text.substr(0, 2), "()");
}
