// Windows only.
#include "logging/crash_report.h"
#include "platform/win32_types.h"

#include <cstdio>

namespace {

CrashRecord convert(const EXCEPTION_RECORD* r, int depth) {
    CrashRecord out;
    out.code = r->ExceptionCode;
    out.flags = r->ExceptionFlags;
    out.address = reinterpret_cast<uint64_t>(r->ExceptionAddress);
    DWORD n = r->NumberParameters > EXCEPTION_MAXIMUM_PARAMETERS ? EXCEPTION_MAXIMUM_PARAMETERS : r->NumberParameters;
    for (DWORD i = 0; i < n; ++i) out.parameters.push_back(r->ExceptionInformation[i]);
    // A damaged chain must not loop.
    if (r->ExceptionRecord && depth < 8) out.chained = std::make_shared<CrashRecord>(convert(r->ExceptionRecord, depth + 1));
    return out;
}

std::string hexBytes(const void* data, size_t size) {
    std::string out;
    const auto* p = static_cast<const unsigned char*>(data);
    char b[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(b, sizeof b, "%02X", p[i]);
        out += b;
    }
    return out;
}

// The x64 context under the register names of the published record; each 32-bit name carries
// its 64-bit counterpart (Eip holds Rip).
LogPropertyList contextProperties(const CONTEXT* c) {
    LogPropertyList list;
    DWORD f = c->ContextFlags;
    if ((f & CONTEXT_CONTROL) == CONTEXT_CONTROL) {
        list.add("Ebp", c->Rbp).add("Eip", c->Rip).add("SegCs", c->SegCs).add("EFlags", c->EFlags);
        list.add("Esp", c->Rsp).add("SegSs", c->SegSs);
    }
    if ((f & CONTEXT_INTEGER) == CONTEXT_INTEGER) {
        list.add("Edi", c->Rdi).add("Esi", c->Rsi).add("Ebx", c->Rbx).add("Edx", c->Rdx).add("Ecx", c->Rcx).add("Eax", c->Rax);
    }
    if ((f & CONTEXT_SEGMENTS) == CONTEXT_SEGMENTS) {
        list.add("SegDs", c->SegDs).add("SegEs", c->SegEs).add("SegFs", c->SegFs).add("SegGs", c->SegGs);
    }
    if ((f & CONTEXT_FLOATING_POINT) == CONTEXT_FLOATING_POINT) {
        const XMM_SAVE_AREA32& s = c->FltSave;
        LogPropertyList fp;
        fp.add("ControlWord", s.ControlWord).add("StatusWord", s.StatusWord).add("TagWord", s.TagWord);
        fp.add("ErrorOffset", s.ErrorOffset).add("ErrorSelector", s.ErrorSelector);
        fp.add("DataOffset", s.DataOffset).add("DataSelector", s.DataSelector);
        fp.add("RegisterArea", hexBytes(s.FloatRegisters, sizeof s.FloatRegisters));
        fp.add("Cr0NpxState", s.MxCsr);
        list.add("FloatingSaveArea", std::move(fp));
    }
    if ((f & CONTEXT_DEBUG_REGISTERS) == CONTEXT_DEBUG_REGISTERS) {
        list.add("Dr0", c->Dr0).add("Dr1", c->Dr1).add("Dr2", c->Dr2).add("Dr3", c->Dr3).add("Dr6", c->Dr6).add("Dr7", c->Dr7);
    }
    return list;
}

LONG WINAPI unhandledFilter(EXCEPTION_POINTERS* info) {
    if (!loggingStarted() || !info || !info->ExceptionRecord) return EXCEPTION_EXECUTE_HANDLER;
    writeCrashReport(convert(info->ExceptionRecord, 0),
                     info->ContextRecord ? contextProperties(info->ContextRecord) : LogPropertyList());
    return EXCEPTION_EXECUTE_HANDLER;
}

}  // namespace

void installCrashReport() {
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(unhandledFilter);
}
