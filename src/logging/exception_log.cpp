#include "logging/exception_log.h"

#include "logging/log.h"

void logDfrgException(const LogScope& scope, const char* text, const CDfrgException& e) {
    LogMessage(scope, LogPriority::Error).text(text).prop("ErrorCode", e.code()).prop("ErrorMessage", e.message());
}
