#include <gtest/gtest.h>

#include <png.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "report/cluster_map.h"
#include "report/dump_figures.h"
#include "report/html_page.h"
#include "report/png_file.h"
#include "report/report_command.h"
#include "support/dump_samples.h"
#include "support/temp_dir.h"

using namespace report;
using volume_dump::VolumeDumpVolume;

namespace {

// Decodes a PNG with libpng itself, not through the tool.
bool decodePng(const std::string& path, RgbImage& image) {
    png_image png;
    std::memset(&png, 0, sizeof png);
    png.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_file(&png, path.c_str())) return false;
    png.format = PNG_FORMAT_RGB;
    image.pixels.assign(PNG_IMAGE_SIZE(png), 0);
    image.width = png.width;
    image.height = png.height;
    if (!png_image_finish_read(&png, nullptr, image.pixels.data(), 0, nullptr)) {
        png_image_free(&png);
        return false;
    }
    return true;
}

int run(const std::vector<std::string>& args, std::string& out, std::string& err) {
    std::ostringstream o, e;
    int rc = runReport(args, o, e);
    out = o.str();
    err = e.str();
    return rc;
}

}  // namespace

TEST(DumpFiguresTest, FiguresOfAKnownVolumeAndTheirText) {
    VolumeFigures f = computeFigures(sampleVolume());
    EXPECT_EQ(f.files, 7u);
    EXPECT_EQ(f.directories, 2u);
    EXPECT_EQ(f.filesWithData, 6u);
    EXPECT_EQ(f.fragmentedFiles, 1u);  // adjacent.bin's two runs continue each other
    EXPECT_EQ(f.fragments, 7u);
    EXPECT_DOUBLE_EQ(f.fragmentsPerFile(), 7.0 / 6.0);
    EXPECT_DOUBLE_EQ(f.fragmentationPercent(), 100.0 / 6.0);
    // Free: 10-11, 14-19, 26-29, 35; the three clusters without a bit are not counted free.
    EXPECT_EQ(f.freeClusters, 13u);
    EXPECT_EQ(f.freeRuns, 4u);
    EXPECT_EQ(f.largestFreeRun, 6u);

    VolumeFigures none = computeFigures(emptyVolume(u'E', 0));
    EXPECT_EQ(none.freeRuns, 0u);
    EXPECT_EQ(none.fragmentsPerFile(), 0.0);
    EXPECT_EQ(none.fragmentationPercent(), 0.0);

    std::vector<FigureRow> rows = figureRows(f);
    EXPECT_EQ(formatValue(rows[5]), "16.7 %");
    EXPECT_EQ(formatValue(rows[6]), "13 clusters (52.0 KiB)");
    std::vector<FigureRow> noRows = figureRows(none);
    EXPECT_EQ(formatChange(rows[0], noRows[0]), "-7");
    EXPECT_EQ(formatChange(noRows[5], rows[5]), "+16.7 %");
    EXPECT_EQ(formatChange(rows[4], rows[4]), "0");
    EXPECT_EQ(formatChange(rows[8], noRows[8]), "-6 clusters (-24.0 KiB)");
}

TEST(ClusterMapTest, ACellShowsItsWorstClusterAndMovesShowOnBothSides) {
    MapLayout layout;
    layout.width = 8;
    layout.cellPixels = 2;  // 4 columns
    layout.maxRows = 3;     // 12 cells for 43 clusters: 4 clusters a cell
    const VolumeDumpVolume after = sampleVolume(), before = sampleVolumeBefore();
    std::vector<bool> moved = movedEntries(after, before);
    EXPECT_EQ(std::count(moved.begin(), moved.end(), true), 1);
    EXPECT_TRUE(moved[5]);  // C:\dir\moved.bin

    ClusterMap map = buildClusterMap(after, layout, moved);
    using K = ClusterKind;
    EXPECT_EQ(map.clustersPerCell, 4u);
    EXPECT_EQ(map.usedCells, 11u);
    EXPECT_EQ(map.rows, 3u);
    EXPECT_EQ(map.cells, (std::vector<K>{K::System, K::Contiguous, K::Directory, K::Fragmented, K::Free, K::Fragmented,
                                         K::Contiguous, K::Moved, K::System, K::System, K::NoBit}));
    EXPECT_TRUE(renderClusterMap(map, layout).at(7, 5) == outsideColour());  // the twelfth cell is past the end

    ClusterMap old = buildClusterMap(before, layout, movedEntries(before, after));
    EXPECT_EQ(old.cells[6], K::Moved);  // 24-27: where the file was
    EXPECT_EQ(old.cells[7], K::Free);   // 28-31: free then
}

TEST(ReportCommandTest, CompareWritesBothPicturesAndOneSelfContainedPage) {
    TempDir dir;
    VolumeDumpVolume other = emptyVolume(u'D', 64, u"<b>&\"x\"");
    writeWholeFile(dir.file("before.vdf"), dumpToString({sampleVolumeBefore(), other}));
    writeWholeFile(dir.file("after.vdf"), dumpToString({sampleVolume()}));
    std::string out, err;
    ASSERT_EQ(run({"compare", "-o", dir.file("out"), "-w", "128", dir.file("before.vdf"), dir.file("after.vdf")}, out, err), 0)
        << err;

    for (const char* line : {"fragmentation", "share of fragmented files among the files with data", "moved files"})
        EXPECT_NE(out.find(line), std::string::npos) << line;
    for (const char* name : {"before_1_C.png", "after_1_C.png", "before_2_D.png", "report.html"})
        EXPECT_TRUE(std::filesystem::exists(dir.file("out/") + name)) << name;
    EXPECT_FALSE(std::filesystem::exists(dir.file("out/after_2_D.png")));  // D: is not in the later dump

    RgbImage img;
    ASSERT_TRUE(decodePng(dir.file("out/after_1_C.png"), img));
    EXPECT_EQ(img.width, 128u);
    EXPECT_TRUE(img.at(30 % 32 * 4, 30 / 32 * 4) == kindColour(ClusterKind::Moved));  // 32 columns of 4 px

    const std::string html = readWholeFile(dir.file("out/report.html"));
    for (const char* part : {"<img src=\"before_1_C.png\"", "<img src=\"after_1_C.png\"",
                             "<td>fragmentation</td><td>16.7 %</td><td>16.7 %</td><td>0</td>",
                             "<td>moved files</td><td></td><td>1</td>", "&lt;b&gt;&amp;&quot;x&quot;"})
        EXPECT_NE(html.find(part), std::string::npos) << part;
    // The label is text, not markup, and the page is self-contained.
    for (const char* part : {"<b>", "<script", "http", "<link"}) EXPECT_EQ(html.find(part), std::string::npos) << part;
}

TEST(ReportCommandTest, SingleDumpReportAndItsFailures) {
    TempDir dir;
    writeWholeFile(dir.file("now.vdf"), dumpToString({sampleVolume()}));
    writeWholeFile(dir.file("then.vdf"), dumpToString({sampleVolumeBefore()}));
    std::string out, err;
    ASSERT_EQ(run({dir.file("now.vdf"), "--out", dir.file("pics"), "--before", dir.file("then.vdf")}, out, err), 0) << err;
    EXPECT_NE(out.find("C: \"System\" (NTFS), 43 clusters of 4096 bytes"), std::string::npos) << out;
    EXPECT_NE(out.find("moved files"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(dir.file("pics/volume_1_C.png")));

    // A damaged dump: exit 1 and the reader's reason, nothing drawn.
    std::string damaged = dumpToString({sampleVolume()});
    damaged.resize(damaged.size() - 3);
    writeWholeFile(dir.file("bad.vdf"), damaged);
    EXPECT_EQ(run({dir.file("bad.vdf"), "-o", dir.file("bad")}, out, err), 1);
    EXPECT_NE(err.find("Damaged volume dump at offset"), std::string::npos) << err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("bad/volume_1_C.png")));

    EXPECT_EQ(run({dir.file("missing.vdf")}, out, err), 1);
    EXPECT_NE(err.find("cannot open"), std::string::npos);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"compare", dir.file("now.vdf")},
                                                 {dir.file("now.vdf"), "-w", "9"}, {}})
        EXPECT_EQ(run(args, out, err), 2);
    EXPECT_NE(err.find("usage:"), std::string::npos);
}
