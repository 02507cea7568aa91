// A trial of velkaris-ntfs on one generated image, for the figures of large volumes: makes an aged
// image and defragments it whole; with kills, then kills the tool at a random moment of a run on a
// fresh copy of the aged image each time (checking that no file changed and no cluster is owned
// twice), and lets a run finish the last killed one.
//
//   ntfs_trial --tool PATH --image FILE [--size 1G] [--fullness 0.6] [--seed 1] [--odd]
//              [--largest CLUSTERS] [--kills 20] [--make-only]
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "ntfs/ntfs_check.h"
#include "ntfs_test_image.h"

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kMoveStep = 1024;

struct Options {
    std::string tool;
    std::string image;
    NtfsImageRecipe recipe;
    bool odd = false;
    int kills = 0;
    bool makeOnly = false;
};

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

pid_t startTool(const Options& o, const std::string& log) {
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(log.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
        dup2(out, 1);
        dup2(out, 2);
        const std::string dir = o.image + ".report";
        execl(o.tool.c_str(), o.tool.c_str(), "defrag", "--passes", "20", "-o", dir.c_str(), o.image.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

std::string readAll(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Whether the volume is as it must be after any interruption: opens, no cluster owned twice,
// every file's content as before.
bool checkAgainst(const ntfsvol::VolumeCheck& before, const std::string& image, ntfsvol::VolumeCheck& now) {
    now = ntfsvol::checkVolume(image, true);
    if (!now.sound()) {
        std::cout << "  UNSOUND: " << now.error << ", owned twice " << now.doubleOwned << ", owned but free "
                  << now.ownedButFree << "\n";
        return false;
    }
    size_t changed = 0;
    for (const auto& h : before.hashes) {
        auto it = now.hashes.find(h.first);
        if (it == now.hashes.end() || it->second != h.second) ++changed;
    }
    if (changed || now.hashes.size() != before.hashes.size()) {
        std::cout << "  CONTENT CHANGED in " << changed << " files\n";
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    o.recipe.bytes = 1ull << 30;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string { return i + 1 < argc ? argv[++i] : std::string(); };
        if (a == "--tool") o.tool = next();
        else if (a == "--image") o.image = next();
        else if (a == "--size") o.recipe.bytes = static_cast<uint64_t>(std::strtod(next().c_str(), nullptr) * (1ull << 30));
        else if (a == "--fullness") o.recipe.fullness = std::strtod(next().c_str(), nullptr);
        else if (a == "--seed") o.recipe.seed = static_cast<uint32_t>(std::strtoul(next().c_str(), nullptr, 10));
        else if (a == "--largest") o.recipe.largestFile = static_cast<uint32_t>(std::strtoul(next().c_str(), nullptr, 10));
        else if (a == "--odd") o.odd = true;
        else if (a == "--kills") o.kills = std::atoi(next().c_str());
        else if (a == "--make-only") o.makeOnly = true;
        else {
            std::cerr << "ntfs_trial: unknown argument " << a << "\n";
            return 2;
        }
    }
    if (o.image.empty() || (o.tool.empty() && !o.makeOnly)) {
        std::cerr << "ntfs_trial: --tool and --image are needed\n";
        return 2;
    }
    if (o.odd) o.recipe.sectors = o.recipe.bytes / 512 - 8 * 101 - 3;

    auto t0 = std::chrono::steady_clock::now();
    std::string error;
    if (!makeAgedNtfsImage(o.image, o.recipe, error)) {
        std::cerr << "ntfs_trial: " << error << "\n";
        return 1;
    }
    const ntfsvol::VolumeCheck before = ntfsvol::checkVolume(o.image, true);
    std::cout << "image " << o.image << ": " << before.totalClusters << " clusters of " << before.clusterSize
              << " bytes, " << before.files << " files, " << (before.fileBytes >> 20) << " MiB of file data, "
              << before.fragmentedFiles << " fragmented (" << before.fragmentedRefused << " of kinds not moved), "
              << before.leaked << " leaked; made in " << seconds(t0) << " s\n";
    if (!before.sound()) return 1;
    if (o.makeOnly) return 0;

    // One whole run: its figures, and how long a run lasts, which is where the kills fall.
    auto wholeRun = [&](const char* label, const ntfsvol::VolumeCheck& start, ntfsvol::VolumeCheck& now,
                        double& runSeconds) {
        auto t1 = std::chrono::steady_clock::now();
        const std::string log = o.image + ".run.log";
        const pid_t pid = startTool(o, log);
        int status = 0;
        waitpid(pid, &status, 0);
        runSeconds = seconds(t1);
        std::cout << label << ": exit " << (WIFEXITED(status) ? WEXITSTATUS(status) : -1) << " in " << runSeconds
                  << " s\n";
        std::string line, copiedLine;
        for (std::istringstream lines(readAll(log)); std::getline(lines, line);) {
            if (line.find(" moves copied ") != std::string::npos) copiedLine = line;
            if (line.rfind("Clean", 0) == 0 || line.rfind("Pass limit", 0) == 0 || line.rfind("Allocation", 0) == 0 ||
                line.rfind("pass ", 0) == 0 || line.find("stay fragmented") != std::string::npos)
                std::cout << "  " << line << "\n";
        }
        bool good = checkAgainst(before, o.image, now);
        // Every fragmented file has to be copied once at least: the least a run can move.
        const size_t at = copiedLine.find(" moves copied ");
        const uint64_t copied = at == std::string::npos ? 0 : std::strtoull(copiedLine.c_str() + at + 14, nullptr, 10);
        std::cout << "  clusters copied " << copied << ", clusters of the fragmented files at the start "
                  << start.fragmentedClusters << "\n";
        std::cout << "  after: " << now.fragmentedFiles << " fragmented (" << now.fragmentedRefused
                  << " of kinds not moved), leaked " << now.leaked << ", contents " << (good ? "unchanged" : "CHANGED")
                  << std::endl;
        return good && now.fragmentedFiles == now.fragmentedRefused && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };

    const std::string pristine = o.image + ".pristine";
    if (o.kills) fs::copy_file(o.image, pristine, fs::copy_options::overwrite_existing);
    ntfsvol::VolumeCheck now;
    double runSeconds = 0;
    bool ok = wholeRun("whole run", before, now, runSeconds);

    // Each kill on a fresh copy of the aged image, at a random moment of a run.
    std::mt19937_64 rng(o.recipe.seed * 7919u + 1);
    for (int k = 1; k <= o.kills && ok; ++k) {
        fs::copy_file(pristine, o.image, fs::copy_options::overwrite_existing);
        const double wait = std::uniform_real_distribution<double>(0.2, runSeconds)(rng);
        const pid_t pid = startTool(o, o.image + ".kill.log");
        std::this_thread::sleep_for(std::chrono::duration<double>(wait));
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        const bool killed = WIFSIGNALED(status);
        ok = checkAgainst(before, o.image, now);
        // A kill interrupts one move, which the engine makes of at most 1024 clusters.
        if (now.leaked > before.leaked + kMoveStep) ok = false;
        std::cout << "kill " << k << " after " << wait << " s (" << (killed ? "killed" : "had ended") << "): "
                  << (ok ? "files intact, no cluster owned twice" : "FAILED") << ", clusters left in use without "
                  << "an owner " << now.leaked - before.leaked << ", fragmented " << now.fragmentedFiles << std::endl;
    }
    if (o.kills && ok) {
        const ntfsvol::VolumeCheck killed = now;
        ok = wholeRun("run after the last kill", killed, now, runSeconds) && now.leaked == killed.leaked;
    }
    fs::remove(pristine);
    return ok ? 0 : 1;
}
