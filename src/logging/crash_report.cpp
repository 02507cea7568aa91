#include "logging/crash_report.h"

#include <atomic>

#include "logging/log.h"

namespace {

constexpr size_t kMaxSinks = 8;
std::atomic<intptr_t> g_sinkHandles[kMaxSinks];
CrashSink g_sinks[kMaxSinks];
std::atomic<size_t> g_sinkCount{0};
std::atomic<void (*)()> g_faultHook{nullptr};

// Text built in memory reserved at load time; one report at a time (a second fault while one is
// written ends the process instead).
class CrashText {
public:
    void clear() { size_ = 0; }
    void put(const char* text) {
        while (text && *text) putChar(*text++);
    }
    void putChar(char c) {
        if (size_ < sizeof buffer_) buffer_[size_++] = c;
    }
    void putNumber(uint64_t value) {
        char digits[20];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + value % 10);
            value /= 10;
        } while (value);
        while (n) putChar(digits[--n]);
    }
    void putTwoDigits(int value) {
        putChar(static_cast<char>('0' + value / 10 % 10));
        putChar(static_cast<char>('0' + value % 10));
    }
    void putHex(const uint8_t* bytes, uint32_t count) {
        static const char kHex[] = "0123456789ABCDEF";
        for (uint32_t i = 0; i < count; ++i) {
            putChar(kHex[bytes[i] >> 4]);
            putChar(kHex[bytes[i] & 15]);
        }
    }
    void indent(int depth) {
        for (int i = 0; i < depth; ++i) putChar(' ');
    }
    // "name: value" lines as the layout writes properties.
    void property(int depth, const char* name, const char* value) {
        indent(depth);
        put(name);
        put(": ");
        put(value);
        putChar('\n');
    }
    void property(int depth, const char* name, uint64_t value) {
        indent(depth);
        put(name);
        put(": ");
        putNumber(value);
        putChar('\n');
    }
    const char* data() const { return buffer_; }
    size_t size() const { return size_; }

private:
    char buffer_[32 * 1024];
    size_t size_ = 0;
};

CrashText g_text;

void putRecord(CrashText& t, const CrashRecord& r, int depth, int chainLeft) {
    t.property(depth, "Address", r.address);
    t.property(depth, "Code", r.code);
    t.property(depth, "ExceptionType", crashExceptionTypeName(r.code));
    t.property(depth, "ExceptionFlag", r.flags == 1 ? "NonContinuable" : r.flags == 0 ? "Continuable" : "Unknown");
    uint32_t n = r.parameterCount > CrashRecord::kMaxParameters ? CrashRecord::kMaxParameters : r.parameterCount;
    t.property(depth, "NumberParameters", n);
    t.property(depth, "ExceptionInformation", "");
    if (r.code == CrashCode::AccessViolation && n > 0) {
        uint64_t action = r.parameters[0];
        t.property(depth + 1, "Action", action == 0 ? "Read" : action == 1 ? "Write" : "Unknown");
        if (n > 1) t.property(depth + 1, "Address", r.parameters[1]);
    } else {
        for (uint32_t i = 0; i < n; ++i) {
            t.indent(depth + 1);
            t.put("Information ");
            t.putNumber(i);
            t.put(": ");
            t.putNumber(r.parameters[i]);
            t.putChar('\n');
        }
    }
    // A damaged chain must not loop.
    if (r.chained && chainLeft > 0) {
        t.property(depth, "ExceptionRecord", "");
        putRecord(t, *r.chained, depth + 1, chainLeft - 1);
    }
}

void putContext(CrashText& t, const CrashContext& c) {
    for (size_t i = 0; i < c.count && i < CrashContext::kMaxLines; ++i) {
        const CrashContext::Line& l = c.lines[i];
        t.indent(1 + l.depth);
        t.put(l.name);
        t.put(": ");
        if (l.bytes) t.putHex(l.bytes, l.byteCount);
        else if (!l.group) t.putNumber(l.value);
        t.putChar('\n');
    }
}

// The prefix the sink's layout puts before the scope path.
void putPrefix(CrashText& t, const CrashSink& s, const char* priority) {
    if (s.includeTime) {
        int h = 0, m = 0, sec = 0, ms = 0;
        crashLocalTime(h, m, sec, ms);
        t.putChar('(');
        t.putTwoDigits(h);
        t.putChar(':');
        t.putTwoDigits(m);
        t.putChar(':');
        t.putTwoDigits(sec);
        t.putChar('.');
        t.putNumber(static_cast<uint64_t>(ms));
        t.putChar(')');
    }
    if (s.includeThread) {
        const char* name = logThreadNameText();
        if (name && *name) {
            t.putChar('(');
            t.put(name);
            t.putChar(')');
        }
    }
    if (s.includePriorities) {
        t.putChar('(');
        t.put(priority);
        t.put(") ");
    }
    t.put("Unhandled Exception Occured: -> ");
}

void emit(const CrashSink& s, intptr_t handle) {
    g_text.put(s.crlf ? "\r\n" : "\n");
    crashWriteRaw(handle, g_text.data(), g_text.size());
}

}  // namespace

const char* crashExceptionTypeName(uint32_t code) {
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

bool addCrashSink(const CrashSink& sink) {
    size_t slot = g_sinkCount.load();
    if (slot >= kMaxSinks || sink.handle < 0) return false;
    g_sinks[slot] = sink;
    g_sinkHandles[slot].store(sink.handle);
    g_sinkCount.store(slot + 1);
    return true;
}

void clearCrashSinks() {
    size_t n = g_sinkCount.exchange(0);
    for (size_t i = 0; i < n && i < kMaxSinks; ++i) g_sinkHandles[i].store(-1);
}

void setCrashReportFaultHook(void (*hook)()) { g_faultHook.store(hook); }

void writeCrashReport(const CrashRecord& record, const CrashContext& context) {
    if (!loggingStarted()) return;
    size_t n = g_sinkCount.load();
    for (size_t i = 0; i < n && i < kMaxSinks; ++i) {
        const CrashSink& s = g_sinks[i];
        intptr_t handle = g_sinkHandles[i].load();
        if (handle < 0) continue;
        if (s.acceptsError) {
            g_text.clear();
            putPrefix(g_text, s, "Error");
            g_text.put("Unhandled Exception Occured");
            emit(s, handle);
        }
        if (void (*hook)() = g_faultHook.load()) hook();
        if (s.acceptsAlert) {
            g_text.clear();
            putPrefix(g_text, s, "Alert");
            g_text.put("An unhandled Exception occured");
            if (s.includeProperties) {
                g_text.putChar('\n');
                g_text.property(0, "ExceptionRecord", "");
                putRecord(g_text, record, 1, 8);
                g_text.property(0, "Context", "");
                putContext(g_text, context);
            }
            emit(s, handle);
        }
    }
}

void writeUnknownExceptionReport() {
    CrashRecord record;
    record.code = CrashCode::CppException;
    record.flags = 1;
    static CrashContext none;
    writeCrashReport(record, none);
}
