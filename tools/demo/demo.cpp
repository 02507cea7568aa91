// velkaris-demo: shows the service at work without Windows. It makes a realistic aged disk (a
// simulated volume image), runs the service's foreground work on it until every volume is clean
// and only followed for changes, stops it in order, and writes a report with before and after
// figures and cluster maps.
//
//   velkaris-demo [--out DIR] [--size 64G] [--files 100000] [--seed 1] [--fullness 0.8]
//                 [--simulated-user] [--timeout SECONDS]
//
// The service is the one installed next to this program; it runs in a copy of the installation
// under DIR/install, with the image in DIR/install/volumes. The report goes to DIR/report.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/dfrg_config.h"
#include "config/registry_store.h"
#include "demo_progress.h"
#include "status/status_view.h"
#include "engine/volume_dump.h"
#include "platform/process_paths.h"
#include "report/dump_figures.h"
#include "report/report_command.h"
#include "platform/dfrg_exception.h"
#include "volume/dfrg_context.h"
#include "sim/image_synthesis.h"
#include "sim/simulated_volume.h"
#include "sim/simulation_provider.h"
#include "sim/volume_image.h"
#include "volume/volume_provider.h"

namespace fs = std::filesystem;

namespace {

struct Options {
    fs::path out = "out/demo";
    CImageParameters image;
    bool simulatedUser = false;
    int timeoutSeconds = 1200;
};

bool parseSize(const std::string& text, uint64_t& bytes) {
    char* end = nullptr;
    double value = std::strtod(text.c_str(), &end);
    if (!end || end == text.c_str() || value <= 0) return false;
    uint64_t unit = 1;
    switch (*end) {
    case 'K': case 'k': unit = 1ull << 10; ++end; break;
    case 'M': case 'm': unit = 1ull << 20; ++end; break;
    case 'G': case 'g': unit = 1ull << 30; ++end; break;
    case 'T': case 't': unit = 1ull << 40; ++end; break;
    default: break;
    }
    if (*end) return false;
    bytes = static_cast<uint64_t>(value * static_cast<double>(unit));
    return true;
}

const char kUsage[] =
    "usage: velkaris-demo [--out DIR] [--size 64G] [--files 100000] [--seed 1] [--fullness 0.8]\n"
    "                     [--simulated-user] [--timeout SECONDS]\n";

int usage() {
    std::cerr << kUsage;
    return 2;
}

// On a terminal the progress line is redrawn in place; elsewhere (a log, CI) it is printed as a
// line of its own every few seconds.
const bool g_terminal = isatty(1) != 0;

void say(const std::string& text) {
    if (g_terminal) std::cout << "\r\033[K";
    std::cout << text << std::endl;
}

void showProgress(const std::string& line, int seconds) {
    if (g_terminal) std::cout << "\r\033[K" << line << std::flush;
    else if (seconds % 5 == 0) std::cout << line << std::endl;
}

// Writes a dump of every image in `volumes` (a directory) to `dumpFile`, the way the service's
// dump mode does, and checks each image's integrity. False with a message on failure.
bool dumpImages(const fs::path& volumes, const fs::path& dumpFile, std::vector<std::string>& problems) {
    std::FILE* out = std::fopen(dumpFile.c_str(), "wb");
    if (!out) {
        problems.push_back("cannot write " + dumpFile.string());
        return false;
    }
    bool ok = true;
    std::vector<fs::path> images;
    for (const auto& e : fs::directory_iterator(volumes))
        if (e.path().extension() == ".vimg") images.push_back(e.path());
    std::sort(images.begin(), images.end());
    CDfrgConfig config;
    char16_t letter = u'C';
    for (const fs::path& path : images) {
        std::string error;
        std::shared_ptr<CVolumeImage> image = CVolumeImage::open(path, letter, error);
        if (!image) {
            problems.push_back(path.string() + ": " + error);
            ok = false;
            continue;
        }
        for (const std::string& p : image->volume()->checkIntegrity()) problems.push_back(path.filename().string() + ": " + p);
        try {
            CDfrgContext context(std::make_unique<CSimulatedVolume>(image->volume(), image), 0, CDfrgVolumeSettings());
            writeVolumeDump(context, config, out);
        } catch (const CDfrgException& e) {
            problems.push_back(path.filename().string() + ": " + e.message());
            ok = false;
        }
        ++letter;
    }
    ok = std::fclose(out) == 0 && ok;
    return ok && problems.empty();
}

// The clusters of the files in more than one fragment: what a defragmenter has to move at least.
uint64_t fragmentedClusters(const fs::path& dump) {
    std::ifstream in(dump, std::ios::binary);
    uint64_t clusters = 0;
    try {
        for (const auto& volume : volume_dump::readVolumeDump(in)) {
            for (const auto& entry : volume.entries) {
                const volume_dump::VolumeDumpExtent* e = volume.extentsOf(entry);
                if (report::fragmentCount(e, entry.extentCount) < 2) continue;
                for (size_t i = 0; i < entry.extentCount; ++i) clusters += e[i].end - e[i].start + 1;
            }
        }
    } catch (const CDfrgException&) {
        return 0;  // the report has already said what is wrong with the dump
    }
    return clusters;
}

pid_t startService(const fs::path& exe, bool simulatedUser) {
    pid_t pid = fork();
    if (pid == 0) {
        if (simulatedUser) setenv("VELKARIS_SIMULATED_USER", "1", 1);
        int null = open("/dev/null", O_RDWR);
        if (null >= 0) {
            dup2(null, 0);
            dup2(null, 1);
            dup2(null, 2);
        }
        execl(exe.c_str(), exe.c_str(), "-exec", static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

std::string progressLine(const statusview::ServiceProgress& p, const demo::LogFollower& log, int seconds) {
    std::ostringstream line;
    line << "[" << seconds << " s] pass " << (log.pass() < 0 ? 0 : log.pass() + 1) << ": " << p.processed
         << " processed, " << p.defragged << " defragmented, " << p.moved << " moved; " << statusview::statusName(p.status);
    if (p.status == 1 && !log.pauseReason().empty()) line << " (" << log.pauseReason() << ")";
    line << "; modes";
    for (const auto& m : p.modes) line << " " << m.first << ":" << (m.second == 1 ? "react" : "scan");
    std::string file = p.lastFile;
    if (file.size() > 50) file = "..." + file.substr(file.size() - 47);
    if (!file.empty()) line << "; " << file;
    return line.str();
}

}  // namespace

int main(int argc, char** argv) {
    useSimulationImages();
    Options o;
    o.image.volumeBytes = 64ull << 30;
    o.image.fileCount = 100000;
    o.image.fullness = 0.8;
    o.image.label = u"Demo";
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
        if (a == "-h" || a == "--help") {
            std::cout << kUsage;
            return 0;
        }
        if (a == "--out") o.out = next();
        else if (a == "--size") {
            if (!parseSize(next(), o.image.volumeBytes)) return usage();
        } else if (a == "--files") o.image.fileCount = static_cast<uint32_t>(std::strtoul(next().c_str(), nullptr, 10));
        else if (a == "--seed") o.image.seed = std::strtoull(next().c_str(), nullptr, 10);
        else if (a == "--fullness") o.image.fullness = std::strtod(next().c_str(), nullptr);
        else if (a == "--simulated-user") o.simulatedUser = true;
        else if (a == "--timeout") o.timeoutSeconds = std::atoi(next().c_str());
        else return usage();
    }

    const fs::path bin = fs::path(platform::executablePath()).parent_path();
    const fs::path out = fs::absolute(o.out);
    const fs::path install = out / "install";
    const fs::path reportDir = out / "report";
    std::error_code ec;
    fs::remove_all(out, ec);
    fs::create_directories(install / "bin");
    fs::create_directories(install / "log");
    fs::create_directories(install / "state");
    fs::create_directories(install / "volumes");
    fs::create_directories(reportDir);
    fs::copy(bin.parent_path() / "config", install / "config", fs::copy_options::recursive, ec);
    fs::copy_file(bin / "velkaris-defrag-service", install / "bin" / "velkaris-defrag-service", ec);
    if (ec) {
        std::cerr << "velkaris-demo: cannot set up " << install << ": " << ec.message() << "\n";
        return 1;
    }
    // Everything below works on the copy, as the service will: its directory is current and
    // its registry is the copy's.
    platform::setCurrentDirectory((install / "bin").string());
    setRegistryStorePath((install / "state" / "registry.sqlite3").string());

    auto started = std::chrono::steady_clock::now();
    auto elapsed = [&] {
        return static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count());
    };

    say("Making an aged disk: " + std::to_string(o.image.volumeBytes >> 30) + " GiB, " + std::to_string(o.image.fileCount) +
        " files, seed " + std::to_string(o.image.seed) + " ...");
    std::string error;
    std::shared_ptr<CMemoryVolume> volume = synthesizeVolume(o.image, error);
    if (!volume || !CVolumeImage::create(install / "volumes" / "C.vimg", *volume, error)) {
        std::cerr << "velkaris-demo: cannot make the disk: " << error << "\n";
        return 1;
    }
    volume.reset();

    std::vector<std::string> problems;
    if (!dumpImages(install / "volumes", reportDir / "before.vdf", problems)) {
        for (const auto& p : problems) std::cerr << "velkaris-demo: " << p << "\n";
        return 1;
    }
    say("Disk ready (" + std::to_string(elapsed()) + " s). Starting the service in the foreground ...");

    pid_t service = startService(install / "bin" / "velkaris-defrag-service", o.simulatedUser);
    if (service < 0) {
        std::cerr << "velkaris-demo: cannot start the service\n";
        return 1;
    }
    demo::LogFollower log((install / "log" / "log.txt").string());
    bool clean = false, exited = false;
    int cleanSince = -1;
    const int userWait = 75;  // a changed file is taken a minute after its last change
    while (elapsed() < o.timeoutSeconds) {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        for (const std::string& event : log.poll()) say("  " + event);
        statusview::ServiceProgress p = statusview::readProgress("C");
        bool allReact = !p.modes.empty();
        for (const auto& m : p.modes) allReact = allReact && m.second == 1;
        showProgress(progressLine(p, log, elapsed()), elapsed());
        int status = 0;
        if (waitpid(service, &status, WNOHANG) == service) {
            exited = true;
            say("The service ended by itself.");
            break;
        }
        if (allReact && cleanSince < 0) cleanSince = elapsed();
        if (allReact && (!o.simulatedUser || elapsed() - cleanSince >= userWait)) {
            clean = true;
            break;
        }
    }
    say(clean ? "Every volume is clean. Stopping the service ..." : "Stopping the service ...");
    if (!exited) {
        kill(service, SIGTERM);
        int status = 0;
        waitpid(service, &status, 0);
    }
    for (const std::string& event : log.poll()) say("  " + event);
    statusview::ServiceProgress final = statusview::readProgress("C");

    problems.clear();
    bool dumped = dumpImages(install / "volumes", reportDir / "after.vdf", problems);
    for (const auto& p : problems) std::cerr << "velkaris-demo: " << p << "\n";
    say(std::string("Integrity check of the disk: ") + (problems.empty() ? "passed" : "FAILED"));

    std::ostringstream text, complaints;
    int rc = report::runReport({"compare", "-o", reportDir.string(), (reportDir / "before.vdf").string(),
                                (reportDir / "after.vdf").string()},
                               text, complaints);
    std::cout << text.str();
    if (rc != 0) std::cerr << complaints.str();
    std::cout << "\nIn all: " << final.totalProcessed << " files processed, " << final.totalDefragged << " defragmented, "
              << final.totalMoved << " moved, " << log.errors() << " errors logged, in " << elapsed() << " s.\n";
    const uint64_t fragmented = fragmentedClusters(reportDir / "before.vdf");
    std::cout << "Clusters moved: " << log.clustersMoved() << ", against " << fragmented
              << " clusters of the files that were fragmented";
    if (fragmented) std::cout << " (" << std::fixed << std::setprecision(2)
                              << static_cast<double>(log.clustersMoved()) / static_cast<double>(fragmented) << " times)";
    std::cout << ".\n";
    if (o.simulatedUser) {
        // Which of the user's files react mode has taken: those contiguous in the after dump.
        std::ifstream in(reportDir / "after.vdf", std::ios::binary);
        size_t contiguous = 0, found = 0;
        try {
            for (const auto& volume : volume_dump::readVolumeDump(in)) {
                for (const auto& entry : volume.entries) {
                    std::string path = platform::utf16ToUtf8(entry.path);
                    const auto& names = log.simulatedUserNames();
                    if (std::find(names.begin(), names.end(), path) == names.end()) continue;
                    ++found;
                    const volume_dump::VolumeDumpExtent* e = volume.extentsOf(entry);
                    size_t pieces = 0;
                    for (size_t i = 0; i < entry.extentCount; ++i)
                        if (i == 0 || e[i].start != e[i - 1].end + 1) ++pieces;
                    if (pieces <= 1) ++contiguous;
                }
            }
        } catch (const CDfrgException& e) {
            std::cerr << "velkaris-demo: " << e.message() << "\n";
        }
        std::cout << "The simulated user wrote " << log.simulatedUserFiles() << " times to " << found
                  << " files while the service ran; " << contiguous << " of them are contiguous now (a file is taken "
                  << "a minute after its last change, so the latest may still wait).\n";
    }
    std::cout << "Report: " << (reportDir / "report.html").string() << "\n";
    std::cout << "Service log: " << (install / "log" / "log.txt").string() << "\n";
    return clean && dumped && rc == 0 ? 0 : 1;
}
