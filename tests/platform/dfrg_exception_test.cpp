#include <gtest/gtest.h>

#include <stdexcept>

#include "logging/exception_log.h"
#include "platform/dfrg_exception.h"
#include "support/capture_appender.h"

TEST(DfrgExceptionTest, MessagesNamesAndNoStandardHandler) {
    EXPECT_EQ(CDfrgException(5, static_cast<const char*>(nullptr)).message(), "");
    EXPECT_EQ(CDfrgException(2, std::string("a\0b", 3)).message().size(), 3u);
    CDfrgException copy(CDfrgException(ErrorInitialising, "set-up failed"));
    EXPECT_EQ(copy.code(), -13);
    EXPECT_EQ(copy.message(), "set-up failed");
    EXPECT_EQ(dfrgErrorName(-20), "ErrorFailed");
    EXPECT_EQ(dfrgErrorName(-12), "-12");  // codes without a name show as numbers

    bool caughtOwn = false;
    try {
        try {
            throw CDfrgException(ErrorFailed, "x");
        } catch (const std::exception&) {
            FAIL() << "a standard handler must not catch it";
        }
    } catch (const CDfrgException& e) {
        caughtOwn = e.code() == ErrorFailed;
    }
    EXPECT_TRUE(caughtOwn);
}

TEST(DfrgExceptionTest, LoggedWithCodeAndMessageProperties) {
    CaptureAppender* log = CaptureAppender::install();
    {
        LogScope scope("init");
        logDfrgException(scope, "DfrgException occured", CDfrgException(-1, static_cast<const char*>(nullptr)));
    }
    auto e = log->entries();
    ASSERT_EQ(e.size(), 1u);
    EXPECT_EQ(e[0].priority, 700);
    EXPECT_EQ(e[0].text, "DfrgException occured");
    ASSERT_EQ(e[0].properties.size(), 2u);
    EXPECT_EQ(e[0].properties[0].name + "=" + e[0].properties[0].value, "ErrorCode=-1");
    EXPECT_EQ(e[0].properties[1].name + "=" + e[0].properties[1].value, "ErrorMessage=");
    LogManager::shutdown();
}
