// velkaris-ntfs as a user runs it: its command line, and a defragmentation of the default aged
// image stopped with Ctrl+C and then finished by a second run.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "ntfs/ntfs_check.h"
#include "ntfs_test_image.h"
#include "support/temp_dir.h"

namespace {

struct ToolRun {
    pid_t pid = -1;
    std::string out;
    std::string err;
};

ToolRun start(const std::vector<std::string>& args, const TempDir& dir) {
    ToolRun r;
    r.out = dir.file("stdout.txt");
    r.err = dir.file("stderr.txt");
    r.pid = fork();
    if (r.pid == 0) {
        dup2(open(r.out.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644), 1);
        dup2(open(r.err.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644), 2);
        std::vector<char*> argv{const_cast<char*>(VDS_NTFS_TOOL)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(VDS_NTFS_TOOL, argv.data());
        _exit(127);
    }
    return r;
}

int finish(const ToolRun& r) {
    int status = 0;
    waitpid(r.pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(VelkarisNtfs, CommandLine) {
    TempDir dir("ntfs-tool");
    struct Case {
        std::vector<std::string> args;
        int exit;
        const char* stream;  // "out" or "err": where the text shows
        const char* text;
    };
    const std::vector<Case> cases = {
        {{"--help"}, 0, "out", "usage: velkaris-ntfs analyze"},
        {{}, 2, "err", "usage:"},
        {{"defrag"}, 2, "err", "a command and a device"},
        {{"shrink", "x"}, 2, "err", "unknown command shrink"},
        {{"defrag", "--passes", "0", "x"}, 2, "err", "--passes needs"},
        {{"analyze", "--colour", "x"}, 2, "err", "unknown option --colour"},
        {{"analyze", "a", "b"}, 2, "err", "one device"},
        {{"analyze", "-o", dir.file("r"), dir.file("missing.img")}, 1, "err", "Cannot use"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0]);
        ToolRun r = start(c.args, dir);
        EXPECT_EQ(finish(r), c.exit);
        const std::string text = readWholeFile(std::string(c.stream) == "out" ? r.out : r.err);
        EXPECT_NE(text.find(c.text), std::string::npos) << text;
    }
}

TEST(VelkarisNtfs, CtrlCStopsBetweenMovesAndTheNextRunFinishes) {
    TempDir dir("ntfs-tool");
    const std::string image = dir.file("aged.img");
    std::string error;
    ASSERT_TRUE(copyOfAgedNtfsImage(image, error)) << error;
    const ntfsvol::VolumeCheck before = ntfsvol::checkVolume(image, true);

    ToolRun r = start({"defrag", "-o", dir.file("report"), image}, dir);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (readWholeFile(r.out).find("Defragmenting") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(r.pid, SIGINT);
    const int stopped = finish(r);
    EXPECT_TRUE(stopped == 130 || stopped == 0) << stopped;
    if (stopped == 130) {
        EXPECT_NE(readWholeFile(r.out).find("the volume is consistent"), std::string::npos);
    }
    ntfsvol::VolumeCheck now = ntfsvol::checkVolume(image, true);
    ASSERT_TRUE(now.sound()) << now.error;
    EXPECT_EQ(now.hashes, before.hashes);

    r = start({"defrag", "--passes", "3", "-o", dir.file("report"), image}, dir);
    EXPECT_EQ(finish(r), 0) << readWholeFile(r.err);
    const std::string out = readWholeFile(r.out);
    EXPECT_NE(out.find("Allocation check: sound (0 clusters"), std::string::npos) << out;
    EXPECT_TRUE(std::filesystem::exists(dir.file("report/report.html")));
    now = ntfsvol::checkVolume(image, true);
    EXPECT_TRUE(now.sound() && now.leaked == 0) << now.error << " leaked " << now.leaked;
    EXPECT_EQ(now.hashes, before.hashes);
    EXPECT_EQ(now.fragmentedFiles, now.fragmentedRefused);
    EXPECT_EQ(std::system(("ntfsfix -n " + image + " >/dev/null 2>&1").c_str()), 0);

    r = start({"analyze", "-o", dir.file("analysis"), image}, dir);
    EXPECT_EQ(finish(r), 0) << readWholeFile(r.err);
    EXPECT_NE(readWholeFile(r.out).find("4095 clusters"), std::string::npos);
}

}  // namespace
