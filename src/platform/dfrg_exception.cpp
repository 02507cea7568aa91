#include "platform/dfrg_exception.h"

std::string dfrgErrorName(int32_t code) {
    switch (code) {
    case ErrorFileNotFound: return "ErrorFileNotFound";
    case ErrorAccessDenied: return "ErrorAccessDenied";
    case ErrorVolumeUnavailable: return "ErrorVolumeUnavailable";
    case ErrorStopRequested: return "ErrorStopRequested";
    case ErrorAssertion: return "ErrorAssertion";
    case ErrorNotAdmin: return "ErrorNotAdmin";
    case ErrorPerformanceObjectNotFound: return "ErrorPerformanceObjectNotFound";
    case ErrorPerformanceCounterNotFound: return "ErrorPerformanceCounterNotFound";
    case ErrorNameNotFound: return "ErrorNameNotFound";
    case ErrorEnumeratingInstances: return "ErrorEnumeratingInstances";
    case ErrorAddingPerformanceCounter: return "ErrorAddingPerformanceCounter";
    case ErrorQueringPerformanceCounter: return "ErrorQueringPerformanceCounter";
    case ErrorFindingPerformanceIndex: return "ErrorFindingPerformanceIndex";
    case ErrorInitialising: return "ErrorInitialising";
    case ErrorInvalidParameter: return "ErrorInvalidParameter";
    case ErrorOpenFile: return "ErrorOpenFile";
    case ErrorWriteFile: return "ErrorWriteFile";
    case ErrorReadFile: return "ErrorReadFile";
    case ErrorImpossible: return "ErrorImpossible";
    case ErrorInternal: return "ErrorInternal";
    case ErrorFailed: return "ErrorFailed";
    default: return std::to_string(code);
    }
}
