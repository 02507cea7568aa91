#include "logging/crash_report.h"

std::string crashExceptionTypeName(uint32_t code) {
    switch (code) {
    case 0xC0000005u: return "EXCEPTION_ACCESS_VIOLATION";
    case 0xC000008Cu: return "EXCEPTION_ARRAY_BOUNDS_EXCEEDED";
    case 0x80000003u: return "EXCEPTION_BREAKPOINT";
    case 0x80000002u: return "EXCEPTION_DATATYPE_MISALIGNMENT";
    case 0xC000008Du: return "EXCEPTION_FLT_DENORMAL_OPERAND";
    case 0xC000008Eu: return "EXCEPTION_FLT_DIVIDE_BY_ZERO";
    case 0xC000008Fu: return "EXCEPTION_FLT_INEXACT_RESULT";
    case 0xC0000090u: return "EXCEPTION_FLT_INVALID_OPERATION";
    case 0xC0000091u: return "EXCEPTION_FLT_OVERFLOW";
    case 0xC0000092u: return "EXCEPTION_FLT_STACK_CHECK";
    case 0xC0000093u: return "EXCEPTION_FLT_UNDERFLOW";
    case 0xC000001Du: return "EXCEPTION_ILLEGAL_INSTRUCTION";
    case 0xC0000006u: return "EXCEPTION_IN_PAGE_ERROR";
    case 0xC0000094u: return "EXCEPTION_INT_DIVIDE_BY_ZERO";
    case 0xC0000095u: return "EXCEPTION_INT_OVERFLOW";
    case 0xC0000026u: return "EXCEPTION_INVALID_DISPOSITION";
    case 0xC0000025u: return "EXCEPTION_NONCONTINUABLE_EXCEPT";
    case 0xC0000096u: return "EXCEPTION_PRIV_INSTRUCTION";
    case 0x80000004u: return "EXCEPTION_SINGLE_STEP";
    case 0xC00000FDu: return "EXCEPTION_STACK_OVERFLOW";
    default: return "Unknown";
    }
}

LogPropertyList crashRecordProperties(const CrashRecord& r) {
    LogPropertyList list;
    list.add("Address", r.address);
    list.add("Code", r.code);
    list.add("ExceptionType", crashExceptionTypeName(r.code));
    list.add("ExceptionFlag", r.flags == 1 ? "NonContinuable" : r.flags == 0 ? "Continuable" : "Unknown");
    list.add("NumberParameters", static_cast<uint64_t>(r.parameters.size()));
    LogPropertyList info;
    if (r.code == CrashCode::AccessViolation && !r.parameters.empty()) {
        uint64_t action = r.parameters[0];
        info.add("Action", action == 0 ? "Read" : action == 1 ? "Write" : "Unknown");
        if (r.parameters.size() > 1) info.add("Address", r.parameters[1]);
    } else {
        for (size_t i = 0; i < r.parameters.size(); ++i) info.add("Information " + std::to_string(i), r.parameters[i]);
    }
    list.add("ExceptionInformation", std::move(info));
    if (r.chained) list.add("ExceptionRecord", crashRecordProperties(*r.chained));
    return list;
}

void writeCrashReport(const CrashRecord& record, LogPropertyList context) {
    if (!loggingStarted()) return;
    LogScope scope("Unhandled Exception Occured");
    logText(scope, LogPriority::Error, "Unhandled Exception Occured");
    LogMessage(scope, LogPriority::Alert)
        .text("An unhandled Exception occured")
        .prop("ExceptionRecord", crashRecordProperties(record))
        .prop("Context", std::move(context));
}
