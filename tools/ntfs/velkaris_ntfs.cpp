// velkaris-ntfs: the engine on an unmounted NTFS partition, external drive or disk image, from
// Linux while Windows is not running.
//
//   velkaris-ntfs analyze [-o DIR] DEVICE|IMAGE   figures and cluster map, nothing written
//   velkaris-ntfs defrag [-o DIR] [--passes N] DEVICE|IMAGE
//                                                 the engine's passes until clean, with the
//                                                 before/after report
//
// Ctrl+C (or SIGTERM) stops a defragmentation between two moves; the volume stays consistent.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/dfrg_config.h"
#include "engine/volume_dump.h"
#include "logging/log_manager.h"
#include "ntfs/ntfs_check.h"
#include "ntfs/ntfs_volume.h"
#include "ntfs_defrag.h"
#include "platform/dfrg_exception.h"
#include "report/report_command.h"

namespace fs = std::filesystem;

namespace {

const char kUsage[] =
    "usage: velkaris-ntfs analyze [-o DIR] DEVICE|IMAGE\n"
    "         figures and a cluster map of an unmounted NTFS volume; nothing is written to it\n"
    "       velkaris-ntfs defrag [-o DIR] [--passes N] DEVICE|IMAGE\n"
    "         defragments it with the engine's passes until clean, then compares before and after\n"
    "options:\n"
    "  -o, --out DIR   where the dumps, pictures and report.html go (default: velkaris-ntfs-report)\n"
    "  --passes N      at most N passes (default 10); a pass that makes no file contiguous ends the run\n"
    "  -h, --help      this text\n"
    "It refuses a mounted volume, one marked dirty or hibernated (also Windows' fast start), one\n"
    "ntfs-3g cannot open, and for defrag a read-only device. Ctrl+C stops between two moves.\n";

struct Options {
    std::string command;
    std::string device;
    std::string out = "velkaris-ntfs-report";
    int passes = 10;
};

// 0 parsed, 1 help shown, 2 wrong usage (complaint written).
int parse(int argc, char** argv, Options& o) {
    std::vector<std::string> args(argv + 1, argv + argc);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-h" || a == "--help") {
            std::cout << kUsage;
            return 1;
        }
        auto value = [&](std::string& to) {
            if (i + 1 >= args.size()) return false;
            to = args[++i];
            return true;
        };
        if (a == "-o" || a == "--out") {
            if (!value(o.out)) {
                std::cerr << "velkaris-ntfs: " << a << " needs a directory\n" << kUsage;
                return 2;
            }
        } else if (a == "--passes") {
            std::string n;
            char* end = nullptr;
            long passes = value(n) ? std::strtol(n.c_str(), &end, 10) : 0;
            if (n.empty() || *end || passes < 1 || passes > 1000) {
                std::cerr << "velkaris-ntfs: --passes needs a number from 1 to 1000\n" << kUsage;
                return 2;
            }
            o.passes = static_cast<int>(passes);
        } else if (a.size() > 1 && a[0] == '-') {
            std::cerr << "velkaris-ntfs: unknown option " << a << "\n" << kUsage;
            return 2;
        } else if (o.command.empty()) {
            o.command = a;
        } else if (o.device.empty()) {
            o.device = a;
        } else {
            std::cerr << "velkaris-ntfs: one device or image only\n" << kUsage;
            return 2;
        }
    }
    if ((o.command != "analyze" && o.command != "defrag") || o.device.empty()) {
        std::cerr << (o.command.empty() || o.command == "analyze" || o.command == "defrag"
                          ? "velkaris-ntfs: a command and a device or image are needed\n"
                          : "velkaris-ntfs: unknown command " + o.command + "\n")
                  << kUsage;
        return 2;
    }
    return 0;
}

// What the engine and the volume report (refused moves, files given up) goes to DIR/velkaris-ntfs.log.
class FileLog : public LogAppender {
public:
    explicit FileLog(const fs::path& file) : out_(file, std::ios::app) {}
    void applySettings(const LogSettings&) override {}

protected:
    void write(const LogMessage& m, const std::string&) override {
        if (m.priority() < LogPriority::Emergency) return;  // informal and debug chatter
        std::lock_guard<std::mutex> g(lock_);
        out_ << priorityDisplayName(m.priority()) << " " << m.scopePath() << ": " << m.message();
        for (const LogProperty& p : m.properties()) out_ << " [" << p.name << "=" << p.value << "]";
        out_ << "\n";
        out_.flush();
    }

private:
    std::mutex lock_;
    std::ofstream out_;
};

void logTo(const fs::path& dir) { LogManager::instance().addAppender(new FileLog(dir / "velkaris-ntfs.log")); }

// Writes the dump of the context's volume; false with a complaint.
bool writeDump(CDfrgContext& context, CDfrgConfig& config, const fs::path& file) {
    std::FILE* out = std::fopen(file.c_str(), "wb");
    if (!out) {
        std::cerr << "velkaris-ntfs: cannot write " << file << "\n";
        return false;
    }
    try {
        writeVolumeDump(context, config, out);
    } catch (const CDfrgException& e) {
        std::fclose(out);
        std::cerr << "velkaris-ntfs: the dump failed: " << e.message() << "\n";
        return false;
    }
    return std::fclose(out) == 0;
}

// Ctrl+C and SIGTERM are taken by a thread of their own, which asks the engine to stop: the
// engine looks at the request between two moves.
class StopOnSignal {
public:
    StopOnSignal() {
        sigemptyset(&set_);
        sigaddset(&set_, SIGINT);
        sigaddset(&set_, SIGTERM);
        sigaddset(&set_, SIGUSR1);  // our own wake-up at the end
        pthread_sigmask(SIG_BLOCK, &set_, nullptr);
        thread_ = std::thread([this] {
            int sig = 0;
            while (sigwait(&set_, &sig) == 0) {
                if (sig == SIGUSR1) return;
                stopped_ = true;
                if (CDfrgContext* c = context_.load()) c->stopAll();
            }
        });
    }
    ~StopOnSignal() {
        pthread_kill(thread_.native_handle(), SIGUSR1);
        thread_.join();
    }
    void watch(CDfrgContext* context) {
        context_ = context;
        if (stopped_ && context) context->stopAll();
    }
    bool stopped() const { return stopped_; }

private:
    sigset_t set_;
    std::thread thread_;
    std::atomic<CDfrgContext*> context_{nullptr};
    std::atomic<bool> stopped_{false};
};

std::string fixed(double v, int decimals) {
    std::ostringstream s;
    s << std::fixed << std::setprecision(decimals) << v;
    return s.str();
}

const bool g_terminal = isatty(1) != 0;

void showProgress(const ntfstool::PassProgress& p, std::chrono::steady_clock::time_point& last) {
    const auto now = std::chrono::steady_clock::now();
    if (p.passDone) {
        if (g_terminal) std::cout << "\r\033[K";
        std::cout << "pass " << p.pass << ": " << p.counters.processed << " processed, " << p.counters.defragged
                  << " defragmented, " << p.counters.moved << " moved, " << p.counters.nonDefraggable
                  << " without room, " << p.counters.errors << " refused or failed" << std::endl;
        return;
    }
    if (now - last < std::chrono::milliseconds(g_terminal ? 200 : 5000)) return;
    last = now;
    std::string file = platform::utf16ToUtf8(p.lastFile);
    if (file.size() > 50) file = "..." + file.substr(file.size() - 47);
    std::ostringstream line;
    line << "pass " << p.pass << ": " << p.counters.processed << " processed, " << p.counters.defragged
         << " defragmented, " << p.counters.moved << " moved; " << file;
    if (g_terminal) std::cout << "\r\033[K" << line.str() << std::flush;
    else std::cout << line.str() << std::endl;
}

int analyze(const Options& o, StopOnSignal& signals) {
    const fs::path out = o.out;
    fs::create_directories(out);
    logTo(out);
    ntfstool::EngineSettings settings((out / ".settings").string());
    {
        CDfrgContext context(std::make_unique<CNtfsVolume>(o.device, CNtfsVolume::Access::ReadOnly), 0,
                             settings.volumeSettings());
        signals.watch(&context);
        const bool dumped = writeDump(context, settings.config(), out / "analysis.vdf");
        signals.watch(nullptr);
        if (!dumped) return 1;
    }
    return report::runReport({"-o", out.string(), (out / "analysis.vdf").string()}, std::cout, std::cerr);
}

int defrag(const Options& o, StopOnSignal& signals) {
    const fs::path out = o.out;
    fs::create_directories(out);
    logTo(out);
    ntfstool::EngineSettings settings((out / ".settings").string());
    ntfstool::DefragOutcome outcome;
    CNtfsVolume::MoveFigures figures;
    double seconds = 0;
    uint64_t clusterBytes = 0;
    {
        auto volume = std::make_unique<CNtfsVolume>(o.device, CNtfsVolume::Access::ReadWrite);
        CNtfsVolume& ntfs = *volume;
        clusterBytes = ntfs.bytesPerCluster();
        CDfrgContext context(std::move(volume), 0, settings.volumeSettings());
        signals.watch(&context);
        std::cout << "Analysing " << o.device << " ..." << std::endl;
        if (!writeDump(context, settings.config(), out / "before.vdf")) return 1;
        std::cout << "Defragmenting (Ctrl+C stops between two moves) ..." << std::endl;
        const auto started = std::chrono::steady_clock::now();
        auto last = started - std::chrono::hours(1);
        outcome = ntfstool::defragUntilClean(context, settings.config(), o.passes,
                                             [&last](const ntfstool::PassProgress& p) { showProgress(p, last); });
        seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        signals.watch(nullptr);
        if (g_terminal) std::cout << "\r\033[K";
        figures = ntfs.moveFigures();
        if (!outcome.stopped && !writeDump(context, settings.config(), out / "after.vdf")) return 1;
    }
    const double megabytes = static_cast<double>(figures.clustersMoved * clusterBytes) / (1024.0 * 1024.0);
    std::cout << (outcome.stopped ? "Stopped" : outcome.clean ? "Clean" : "Pass limit reached") << " after "
              << outcome.passes << " pass(es), " << fixed(seconds, 1) << " s: " << outcome.total.defragged
              << " files defragmented, " << outcome.total.moved << " moved; " << figures.moves << " moves copied "
              << figures.clustersMoved << " clusters (" << fixed(megabytes, 1) << " MiB)";
    if (figures.moveMicroseconds > 0)
        std::cout << " at " << fixed(megabytes / (static_cast<double>(figures.moveMicroseconds) / 1e6), 1) << " MiB/s";
    std::cout << ".\n";
    if (outcome.stopped) {
        std::cout << "Stopped on request; the volume is consistent and a later run goes on from here.\n";
        return 130;
    }

    // The file system's own view once the volume is closed: allocation sound, what stays fragmented.
    const ntfsvol::VolumeCheck check = ntfsvol::checkVolume(o.device, false);
    if (!check.sound()) {
        std::cerr << "velkaris-ntfs: the allocation check FAILED: " << check.doubleOwned << " clusters owned twice, "
                  << check.ownedButFree << " in use but free in the bitmap " << check.error << "\n";
        return 1;
    }
    std::cout << "Allocation check: sound (" << check.leaked << " clusters in use without an owner).\n";
    if (check.fragmentedFiles) {
        std::cout << check.fragmentedFiles << " files stay fragmented (" << check.fragmentedRefused
                  << " of kinds this tool does not move):\n";
        for (const std::string& path : check.fragmentedPaths) std::cout << "  " << path << "\n";
    }
    std::cout << "\n";
    return report::runReport({"compare", "-o", out.string(), (out / "before.vdf").string(),
                              (out / "after.vdf").string()},
                             std::cout, std::cerr);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    const int parsed = parse(argc, argv, o);
    if (parsed == 1) return 0;
    if (parsed != 0) return 2;
    StopOnSignal signals;
    try {
        return o.command == "analyze" ? analyze(o, signals) : defrag(o, signals);
    } catch (const CDfrgException& e) {
        std::cerr << "velkaris-ntfs: " << e.message() << "\n";
        return 1;
    }
}
