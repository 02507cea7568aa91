// POSIX only. Faults arrive as signals; they are described with the exception codes and
// records of the Windows build so that both logs read alike.
#include "logging/crash_report.h"
#include "logging/log.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <ucontext.h>
#include <unistd.h>

namespace {

const int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

// Filled in place: the handler may not allocate.
void recordFor(CrashRecord& r, int sig, const siginfo_t* si, const ucontext_t* uc) {
    r = CrashRecord();
    r.flags = 0;  // hardware faults are reported as continuable, as on Windows
    uint64_t faultAddress = reinterpret_cast<uint64_t>(si->si_addr);
    uint64_t pc = faultAddress;
#if defined(__x86_64__)
    if (uc) pc = static_cast<uint64_t>(uc->uc_mcontext.gregs[REG_RIP]);
#endif
    r.address = pc;
    switch (sig) {
    case SIGSEGV: {
        uint64_t action = 0;
#if defined(__x86_64__)
        // Page-fault error code: bit 1 set for a write.
        if (uc) action = (uc->uc_mcontext.gregs[REG_ERR] & 2) ? 1 : 0;
#endif
        r.code = CrashCode::AccessViolation;
        r.parameterCount = 2;
        r.parameters[0] = action;
        r.parameters[1] = faultAddress;
        break;
    }
    case SIGBUS:
        r.code = CrashCode::InPageError;
        r.parameterCount = 3;
        r.parameters[0] = 0;
        r.parameters[1] = faultAddress;
        r.parameters[2] = 0;
        break;
    case SIGFPE:
        switch (si->si_code) {
        case FPE_INTDIV: r.code = CrashCode::IntDivideByZero; break;
        case FPE_INTOVF: r.code = CrashCode::IntOverflow; break;
        case FPE_FLTDIV: r.code = CrashCode::FltDivideByZero; break;
        case FPE_FLTOVF: r.code = CrashCode::FltOverflow; break;
        case FPE_FLTUND: r.code = CrashCode::FltUnderflow; break;
        case FPE_FLTRES: r.code = CrashCode::FltInexactResult; break;
        default: r.code = CrashCode::FltInvalidOperation; break;
        }
        break;
    default:
        r.code = si->si_code == ILL_PRVOPC ? CrashCode::PrivInstruction : CrashCode::IllegalInstruction;
        break;
    }
}

void contextFor(CrashContext& c, const ucontext_t* uc) {
#if defined(__x86_64__)
    if (!uc) return;
    const greg_t* g = uc->uc_mcontext.gregs;
    auto u = [](greg_t v) { return static_cast<uint64_t>(v); };
    uint64_t csgsfs = u(g[REG_CSGSFS]);
    c.add("Ebp", u(g[REG_RBP]));
    c.add("Eip", u(g[REG_RIP]));
    c.add("SegCs", csgsfs & 0xFFFF);
    c.add("EFlags", u(g[REG_EFL]));
    c.add("Esp", u(g[REG_RSP]));
    c.add("SegSs", (csgsfs >> 48) & 0xFFFF);
    c.add("Edi", u(g[REG_RDI]));
    c.add("Esi", u(g[REG_RSI]));
    c.add("Ebx", u(g[REG_RBX]));
    c.add("Edx", u(g[REG_RDX]));
    c.add("Ecx", u(g[REG_RCX]));
    c.add("Eax", u(g[REG_RAX]));
    c.add("SegDs", 0);
    c.add("SegEs", 0);
    c.add("SegFs", (csgsfs >> 32) & 0xFFFF);
    c.add("SegGs", (csgsfs >> 16) & 0xFFFF);
#else
    (void)c;
    (void)uc;
#endif
}

// Local time without the time-zone lock of localtime_r: the offset is taken at installation.
long g_utcOffsetSeconds = 0;

void onFault(int sig, siginfo_t* si, void* raw) {
    static volatile sig_atomic_t inside = 0;
    if (!inside) {
        inside = 1;
        const auto* uc = static_cast<const ucontext_t*>(raw);
        static CrashRecord record;
        static CrashContext context;
        context.count = 0;
        recordFor(record, sig, si, uc);
        contextFor(context, uc);
        writeCrashReport(record, context);
    }
    // End as the fault would have ended the process, without running more of its code.
    signal(sig, SIG_DFL);
    raise(sig);
    _exit(128 + sig);
}

}  // namespace

void crashWriteRaw(intptr_t handle, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = ::write(static_cast<int>(handle), data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void crashLocalTime(int& hour, int& minute, int& second, int& millisecond) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    long long day = (static_cast<long long>(now.tv_sec) + g_utcOffsetSeconds) % 86400;
    if (day < 0) day += 86400;
    hour = static_cast<int>(day / 3600);
    minute = static_cast<int>(day / 60 % 60);
    second = static_cast<int>(day % 60);
    millisecond = static_cast<int>(now.tv_nsec / 1000000);
}

intptr_t crashStandardOutput() { return STDOUT_FILENO; }

void installCrashReport() {
    time_t now = time(nullptr);
    tm local{};
    if (localtime_r(&now, &local)) g_utcOffsetSeconds = local.tm_gmtoff;
    // An alternate stack so that a stack overflow can still be reported.
    static char altStack[64 * 1024];
    stack_t ss{};
    ss.ss_sp = altStack;
    ss.ss_size = sizeof altStack;
    sigaltstack(&ss, nullptr);
    struct sigaction sa{};
    sa.sa_sigaction = onFault;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (int sig : kSignals) sigaction(sig, &sa, nullptr);
}
