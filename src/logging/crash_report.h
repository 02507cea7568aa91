// The crash report: when an exception escapes every handler, the exception record and the
// failing thread's registers are written to the log as nested properties, and the process
// ends without the system's error dialog.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "logging/log.h"

// The exception record in portable form (the fields of EXCEPTION_RECORD).
struct CrashRecord {
    uint32_t code = 0;
    uint32_t flags = 0;
    uint64_t address = 0;
    std::vector<uint64_t> parameters;
    std::shared_ptr<CrashRecord> chained;
};

namespace CrashCode {
constexpr uint32_t AccessViolation = 0xC0000005u;
constexpr uint32_t InPageError = 0xC0000006u;
constexpr uint32_t IllegalInstruction = 0xC000001Du;
constexpr uint32_t FltDivideByZero = 0xC000008Eu;
constexpr uint32_t FltInexactResult = 0xC000008Fu;
constexpr uint32_t FltInvalidOperation = 0xC0000090u;
constexpr uint32_t FltOverflow = 0xC0000091u;
constexpr uint32_t FltUnderflow = 0xC0000093u;
constexpr uint32_t IntDivideByZero = 0xC0000094u;
constexpr uint32_t IntOverflow = 0xC0000095u;
constexpr uint32_t PrivInstruction = 0xC0000096u;
constexpr uint32_t StackOverflow = 0xC00000FDu;
constexpr uint32_t DatatypeMisalignment = 0x80000002u;
}  // namespace CrashCode

// "EXCEPTION_ACCESS_VIOLATION", ..., or "Unknown".
std::string crashExceptionTypeName(uint32_t code);
// The "ExceptionRecord" property list, chained records nested.
LogPropertyList crashRecordProperties(const CrashRecord& record);
// Writes the report (does nothing before logging has started).
void writeCrashReport(const CrashRecord& record, LogPropertyList context);

// Installs the top-level handler (Windows: unhandled-exception filter; elsewhere: handlers for
// SIGSEGV, SIGBUS, SIGFPE and SIGILL). Call first thing in the process.
void installCrashReport();
