// Windows only.
#include "logging/crash_report.h"
#include "logging/log.h"
#include "platform/win32_types.h"

namespace {

constexpr int kMaxChain = 8;
// Reserved beforehand: the filter may not allocate.
CrashRecord g_records[kMaxChain + 1];
CrashContext g_context;

const CrashRecord* convert(const EXCEPTION_RECORD* r) {
    int depth = 0;
    CrashRecord* previous = nullptr;
    for (; r && depth <= kMaxChain; r = r->ExceptionRecord, ++depth) {
        CrashRecord& out = g_records[depth];
        out = CrashRecord();
        out.code = r->ExceptionCode;
        out.flags = r->ExceptionFlags;
        out.address = reinterpret_cast<uint64_t>(r->ExceptionAddress);
        DWORD n = r->NumberParameters > EXCEPTION_MAXIMUM_PARAMETERS ? EXCEPTION_MAXIMUM_PARAMETERS : r->NumberParameters;
        if (n > CrashRecord::kMaxParameters) n = CrashRecord::kMaxParameters;
        out.parameterCount = n;
        for (DWORD i = 0; i < n; ++i) out.parameters[i] = r->ExceptionInformation[i];
        if (previous) previous->chained = &out;
        previous = &out;
    }
    return &g_records[0];
}

// The x64 context under the register names of the published record; each 32-bit name carries
// its 64-bit counterpart (Eip holds Rip).
void contextLines(CrashContext& c, const CONTEXT* x) {
    c.count = 0;
    DWORD f = x->ContextFlags;
    if ((f & CONTEXT_CONTROL) == CONTEXT_CONTROL) {
        c.add("Ebp", x->Rbp);
        c.add("Eip", x->Rip);
        c.add("SegCs", x->SegCs);
        c.add("EFlags", x->EFlags);
        c.add("Esp", x->Rsp);
        c.add("SegSs", x->SegSs);
    }
    if ((f & CONTEXT_INTEGER) == CONTEXT_INTEGER) {
        c.add("Edi", x->Rdi);
        c.add("Esi", x->Rsi);
        c.add("Ebx", x->Rbx);
        c.add("Edx", x->Rdx);
        c.add("Ecx", x->Rcx);
        c.add("Eax", x->Rax);
    }
    if ((f & CONTEXT_SEGMENTS) == CONTEXT_SEGMENTS) {
        c.add("SegDs", x->SegDs);
        c.add("SegEs", x->SegEs);
        c.add("SegFs", x->SegFs);
        c.add("SegGs", x->SegGs);
    }
    if ((f & CONTEXT_FLOATING_POINT) == CONTEXT_FLOATING_POINT) {
        const XMM_SAVE_AREA32& s = x->FltSave;
        c.addGroup("FloatingSaveArea");
        c.add("ControlWord", s.ControlWord, 1);
        c.add("StatusWord", s.StatusWord, 1);
        c.add("TagWord", s.TagWord, 1);
        c.add("ErrorOffset", s.ErrorOffset, 1);
        c.add("ErrorSelector", s.ErrorSelector, 1);
        c.add("DataOffset", s.DataOffset, 1);
        c.add("DataSelector", s.DataSelector, 1);
        c.addBytes("RegisterArea", s.FloatRegisters, sizeof s.FloatRegisters, 1);
        c.add("Cr0NpxState", s.MxCsr, 1);
    }
    if ((f & CONTEXT_DEBUG_REGISTERS) == CONTEXT_DEBUG_REGISTERS) {
        c.add("Dr0", x->Dr0);
        c.add("Dr1", x->Dr1);
        c.add("Dr2", x->Dr2);
        c.add("Dr3", x->Dr3);
        c.add("Dr6", x->Dr6);
        c.add("Dr7", x->Dr7);
    }
}

LONG WINAPI unhandledFilter(EXCEPTION_POINTERS* info) {
    static volatile LONG inside = 0;
    // A fault inside the report itself (or a second thread's) ends the process at once.
    if (InterlockedExchange(&inside, 1) != 0) TerminateProcess(GetCurrentProcess(), 5);
    if (!loggingStarted() || !info || !info->ExceptionRecord) return EXCEPTION_EXECUTE_HANDLER;
    if (info->ContextRecord) contextLines(g_context, info->ContextRecord);
    else g_context.count = 0;
    writeCrashReport(*convert(info->ExceptionRecord), g_context);
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void crashWriteRaw(intptr_t handle, const char* data, size_t size) {
    HANDLE h = reinterpret_cast<HANDLE>(handle);
    while (size > 0) {
        DWORD written = 0;
        DWORD chunk = size > 0x10000 ? 0x10000 : static_cast<DWORD>(size);
        if (!WriteFile(h, data, chunk, &written, nullptr) || written == 0) return;
        data += written;
        size -= written;
    }
}

void crashLocalTime(int& hour, int& minute, int& second, int& millisecond) {
    SYSTEMTIME t;
    GetLocalTime(&t);
    hour = t.wHour;
    minute = t.wMinute;
    second = t.wSecond;
    millisecond = t.wMilliseconds;
}

intptr_t crashStandardOutput() {
    HANDLE h = GetStdHandle(STD_OUTPUT_HANDLE);
    return h == nullptr || h == INVALID_HANDLE_VALUE ? -1 : reinterpret_cast<intptr_t>(h);
}

void installCrashReport() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(unhandledFilter);
}
