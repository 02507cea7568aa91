#include <gtest/gtest.h>

#include <stdexcept>
#include <type_traits>

#include "logging/exception_log.h"
#include "platform/dfrg_exception.h"
#include "support/capture_appender.h"

// No standard handler may catch it.
static_assert(!std::is_base_of<std::exception, CDfrgException>::value, "");

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
