// The crash report: when an exception escapes every handler, the exception record and the
// failing thread's registers are written to the log as nested properties, and the process
// ends without the system's error dialog.
//
// The report runs in a damaged process, possibly on a thread that faulted while it held the
// heap's lock or an appender's lock. It therefore takes no lock and allocates nothing: every
// appender that writes to a file (or to standard output) registers its raw handle and what its
// layout and filters show when it is added to the logging manager, and the report is formatted
// into memory reserved beforehand and written straight to those handles.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// The exception record in portable form (the fields of EXCEPTION_RECORD).
struct CrashRecord {
    static constexpr uint32_t kMaxParameters = 15;
    uint32_t code = 0;
    uint32_t flags = 0;
    uint64_t address = 0;
    uint32_t parameterCount = 0;
    uint64_t parameters[kMaxParameters] = {};
    const CrashRecord* chained = nullptr;
};

// The registers of the failing thread as the report lists them: a flat list of lines, each at
// its nesting depth; a group line has no value and its members follow one level deeper.
struct CrashContext {
    static constexpr size_t kMaxLines = 64;
    struct Line {
        const char* name;
        uint64_t value;
        const uint8_t* bytes;  // written as hex instead of value when set
        uint32_t byteCount;
        uint8_t depth;
        bool group;
    };
    Line lines[kMaxLines];
    size_t count = 0;

    void add(const char* name, uint64_t value, uint8_t depth = 0) { push({name, value, nullptr, 0, depth, false}); }
    void addBytes(const char* name, const void* data, uint32_t size, uint8_t depth) {
        push({name, 0, static_cast<const uint8_t*>(data), size, depth, false});
    }
    void addGroup(const char* name, uint8_t depth = 0) { push({name, 0, nullptr, 0, depth, true}); }

private:
    void push(const Line& line) {
        if (count < kMaxLines) lines[count++] = line;
    }
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
// A C++ exception that no handler caught (the code compilers give it on Windows).
constexpr uint32_t CppException = 0xE06D7363u;
}  // namespace CrashCode

// "EXCEPTION_ACCESS_VIOLATION", ..., or "Unknown".
const char* crashExceptionTypeName(uint32_t code);

// One log output the report writes to.
struct CrashSink {
    intptr_t handle = -1;  // POSIX descriptor or Windows HANDLE
    bool crlf = true;      // line end after each message: "\r\n" (files) or "\n"
    bool includeTime = false;
    bool includeThread = false;
    bool includePriorities = false;
    bool includeProperties = false;
    bool acceptsError = false;  // the filters pass priority 700
    bool acceptsAlert = false;  // the filters pass priority 500
};
// Registers an output (false when every slot is taken). Called by the logging manager.
bool addCrashSink(const CrashSink& sink);
// Forgets every output (before the appenders close their files).
void clearCrashSinks();

// Formats the report into reserved memory and writes it to every registered output; does
// nothing before logging has started. Async-signal-safe: no lock, no allocation.
void writeCrashReport(const CrashRecord& record, const CrashContext& context);
// The report for a C++ exception that escaped the service's work (no registers to show).
void writeUnknownExceptionReport();
// Test hook: called while the report is being written (a probe injects a fault here).
void setCrashReportFaultHook(void (*hook)());

// Installs the top-level handler (Windows: unhandled-exception filter; elsewhere: handlers for
// SIGSEGV, SIGBUS, SIGFPE and SIGILL). Call first thing in the process.
void installCrashReport();

// Per platform: writes all bytes to a raw handle, and reads the local time of day without a
// lock (hour, minute, second, millisecond).
void crashWriteRaw(intptr_t handle, const char* data, size_t size);
void crashLocalTime(int& hour, int& minute, int& second, int& millisecond);
// The process's standard output as a raw handle, -1 when it has none.
intptr_t crashStandardOutput();
