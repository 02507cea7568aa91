// The one exception type of the system: a signed code and a narrow message. It deliberately has
// no base class, so a handler for std::exception does not catch it.
#pragma once
#include <cstdint>
#include <string>

enum DfrgErrorCode : int32_t {
    ErrorFileNotFound = 2,
    ErrorAccessDenied = 5,
    ErrorVolumeUnavailable = -1,
    ErrorStopRequested = -2,
    ErrorAssertion = -3,
    ErrorNotAdmin = -4,
    ErrorPerformanceObjectNotFound = -5,
    ErrorPerformanceCounterNotFound = -6,
    ErrorNameNotFound = -7,
    ErrorEnumeratingInstances = -8,
    ErrorAddingPerformanceCounter = -9,
    ErrorQueringPerformanceCounter = -10,
    ErrorFindingPerformanceIndex = -11,
    ErrorInitialising = -13,
    ErrorInvalidParameter = 87,
    ErrorOpenFile = -15,
    ErrorWriteFile = -16,
    ErrorReadFile = -17,
    ErrorImpossible = -18,
    ErrorInternal = -19,
    ErrorFailed = -20,
};

class CDfrgException {
public:
    explicit CDfrgException(int32_t code) : code_(code) {}
    // A null text gives an empty message.
    CDfrgException(int32_t code, const char* message) : code_(code), message_(message ? message : "") {}
    CDfrgException(int32_t code, const std::string& message) : code_(code), message_(message) {}

    int32_t code() const { return code_; }
    const std::string& message() const { return message_; }

private:
    int32_t code_;
    std::string message_;
};

// The enumerator name of a code ("ErrorFileNotFound"), or the code in decimal when it has none.
std::string dfrgErrorName(int32_t code);
