// POSIX only. Faults arrive as signals; they are described with the exception codes and
// records of the Windows build so that both logs read alike.
#include "logging/crash_report.h"

#include <csignal>
#include <cstdlib>
#include <ucontext.h>
#include <unistd.h>

namespace {

const int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL};

CrashRecord recordFor(int sig, const siginfo_t* si, const ucontext_t* uc) {
    CrashRecord r;
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
        r.parameters = {action, faultAddress};
        break;
    }
    case SIGBUS:
        r.code = CrashCode::InPageError;
        r.parameters = {0, faultAddress, 0};
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
    return r;
}

LogPropertyList contextFor(const ucontext_t* uc) {
    LogPropertyList list;
#if defined(__x86_64__)
    if (!uc) return list;
    const greg_t* g = uc->uc_mcontext.gregs;
    auto u = [](greg_t v) { return static_cast<uint64_t>(v); };
    uint64_t csgsfs = u(g[REG_CSGSFS]);
    list.add("Ebp", u(g[REG_RBP])).add("Eip", u(g[REG_RIP])).add("SegCs", csgsfs & 0xFFFF).add("EFlags", u(g[REG_EFL]));
    list.add("Esp", u(g[REG_RSP])).add("SegSs", (csgsfs >> 48) & 0xFFFF);
    list.add("Edi", u(g[REG_RDI])).add("Esi", u(g[REG_RSI])).add("Ebx", u(g[REG_RBX])).add("Edx", u(g[REG_RDX]));
    list.add("Ecx", u(g[REG_RCX])).add("Eax", u(g[REG_RAX]));
    list.add("SegDs", 0).add("SegEs", 0).add("SegFs", (csgsfs >> 32) & 0xFFFF).add("SegGs", (csgsfs >> 16) & 0xFFFF);
#else
    (void)uc;
#endif
    return list;
}

void onFault(int sig, siginfo_t* si, void* raw) {
    static volatile sig_atomic_t inside = 0;
    if (!inside) {
        inside = 1;
        const auto* uc = static_cast<const ucontext_t*>(raw);
        if (loggingStarted()) writeCrashReport(recordFor(sig, si, uc), contextFor(uc));
    }
    // End as the fault would have ended the process, without running more of its code.
    signal(sig, SIG_DFL);
    raise(sig);
    _exit(128 + sig);
}

}  // namespace

void installCrashReport() {
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
