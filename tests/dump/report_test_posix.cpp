#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "report/report_command.h"
#include "support/dump_samples.h"
#include "support/temp_dir.h"

namespace {

int run(const std::vector<std::string>& args, std::string& out, std::string& err) {
    std::ostringstream o, e;
    int rc = report::runReport(args, o, e);
    out = o.str();
    err = e.str();
    return rc;
}

}  // namespace

TEST(ReportCommandTest, SingleDumpReportAndItsFailures) {
    TempDir dir;
    writeWholeFile(dir.file("now.vdf"), dumpToString({sampleVolume()}));
    std::string out, err;
    ASSERT_EQ(run({dir.file("now.vdf"), "--out", dir.file("pics")}, out, err), 0) << err;
    EXPECT_NE(out.find("C: \"System\" (NTFS), 43 clusters of 4096 bytes"), std::string::npos) << out;
    EXPECT_NE(out.find("fragmentation"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(dir.file("pics/volume_1_C.png")));

    EXPECT_EQ(run({dir.file("missing.vdf")}, out, err), 1);
    EXPECT_NE(err.find("cannot open"), std::string::npos);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"compare", dir.file("now.vdf")},
                                                 {dir.file("now.vdf"), "-w", "9"}, {}})
        EXPECT_EQ(run(args, out, err), 2);
    EXPECT_NE(err.find("usage:"), std::string::npos);
}
