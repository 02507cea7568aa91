// A dump goes through an image, a defragmentation run and a dump of the result: the tools invent
// no change, the image tool and the report agree, and no file loses its data.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>

#include "engine/file_processing.h"
#include "engine/volume_dump.h"
#include "report/dump_figures.h"
#include "sim/image_dump.h"
#include "sim/image_from_dump.h"
#include "support/engine_state_support.h"

using volume_dump::VolumeDumpExtent;
using volume_dump::VolumeDumpVolume;

namespace {

void setUsed(VolumeDumpVolume& v, uint64_t first, uint64_t last) {
    for (uint64_t c = first; c <= last && c < v.bitmap.size() * 8; ++c) v.bitmap[c / 8] |= uint8_t(1u << (c % 8));
}

std::string imageDumpBytes(const CMemoryVolume& volume) {
    std::stringstream bytes;
    volume_dump::CVolumeDumpWriter writer(bytes);
    writeImageDump(volume, writer);
    return bytes.str();
}

VolumeDumpVolume dumpOf(const CMemoryVolume& volume) {
    std::stringstream bytes(imageDumpBytes(volume));
    std::vector<VolumeDumpVolume> read = volume_dump::readVolumeDump(bytes);
    EXPECT_EQ(read.size(), 1u);
    return read.empty() ? VolumeDumpVolume() : read[0];
}

// Clusters per file path, from a dump's entries.
std::map<WString, uint64_t> clustersByPath(const VolumeDumpVolume& v) {
    std::map<WString, uint64_t> out;
    for (const auto& e : v.entries) {
        uint64_t n = 0;
        for (size_t k = 0; k < e.extentCount; ++k) n += v.extentsOf(e)[k].end - v.extentsOf(e)[k].start + 1;
        out[e.path] = n;
    }
    return out;
}

}  // namespace

TEST(DumpRoundTrip, OddClusterCountAndHardLinksKeepFreeSpaceAndData) {
    // 1,003 clusters: the last 3 have no bit. A fragmented file with a second name, a file on one
    // of the clusters without a bit, metadata no entry lists.
    VolumeDumpVolume dump;
    dump.header.driveLetter = u'C';
    dump.header.volumeName = u"Odd";
    dump.header.totalClusters = 1003;
    dump.header.bytesPerCluster = 4096;
    dump.header.fileSystemType = volume_dump::kFileSystemNtfs;
    dump.bitmap.assign(1003 / 8, 0);
    dump.addEntry(u"C:\\", {});
    dump.addEntry(u"C:\\a\\", {});
    dump.addEntry(u"C:\\a\\frag.bin", {{100, 109}, {300, 304}});
    dump.addEntry(u"C:\\a\\same.bin", {{100, 109}, {300, 304}});
    dump.addEntry(u"C:\\b.bin", {{500, 519}});
    dump.addEntry(u"C:\\tail.bin", {{1000, 1000}});
    setUsed(dump, 100, 109);
    setUsed(dump, 300, 304);
    setUsed(dump, 500, 519);
    setUsed(dump, 600, 609);

    CImageFromDumpReport made;
    std::string error;
    std::shared_ptr<CMemoryVolume> volume = volumeFromDump(dump, made, error);
    ASSERT_TRUE(volume) << error;
    EXPECT_EQ(made.hardLinks, 1u);
    EXPECT_EQ(made.droppedClusters + made.sharedClusters, 0u);
    EXPECT_EQ(made.clustersWithoutBit, 3u);
    EXPECT_EQ(made.claimedWithoutBit, 1u);
    CMemoryVolume::FileInfo frag, same;
    ASSERT_TRUE(volume->fileInfo(u"C:\\a\\same.bin", same));
    ASSERT_TRUE(volume->fileInfo(u"C:\\a\\frag.bin", frag));
    EXPECT_EQ(same.id, frag.id);
    // The clusters without a bit that no entry claims stay in use: nothing may be put there.
    EXPECT_TRUE(volume->isClusterUsed(1001) && volume->isClusterUsed(1002));

    const uint64_t freeInImage = volume->freeClusters();
    const VolumeDumpVolume before = dumpOf(*volume);
    const report::VolumeFigures figuresBefore = report::computeFigures(before);
    const report::VolumeFigures original = report::computeFigures(dump);
    EXPECT_EQ(figuresBefore.freeClusters, original.freeClusters);
    EXPECT_EQ(figuresBefore.files, original.files);
    EXPECT_EQ(figuresBefore.clustersWithoutBit, 3u);

    std::string engineDump;
    {
        enginetest::EngineFixture f(volume);
        f.state.scanActive = true;
        walkDirectory(f.state, f.context(), u"C:", WString(), false, false);
        // The service's own dump of the result, to hold the image tool's against.
        std::FILE* file = std::tmpfile();
        ASSERT_NE(file, nullptr);
        writeVolumeDump(f.context(), *f.config, file);
        engineDump.resize(static_cast<size_t>(std::ftell(file)));
        std::rewind(file);
        EXPECT_EQ(std::fread(&engineDump[0], 1, engineDump.size(), file), engineDump.size());
        std::fclose(file);
    }
    ASSERT_EQ(volume->checkIntegrity(), std::vector<std::string>());  // every cluster holds its data
    EXPECT_EQ(volume->freeClusters(), freeInImage);

    EXPECT_EQ(imageDumpBytes(*volume), engineDump);
    const VolumeDumpVolume after = dumpOf(*volume);
    const report::VolumeFigures figuresAfter = report::computeFigures(after);
    // The engine may take tail.bin out of the clusters without a bit: what the dump shows free
    // then shifts to the unknown ones, and no more.
    EXPECT_EQ(figuresAfter.freeClusters + figuresAfter.unclaimedWithoutBit,
              figuresBefore.freeClusters + figuresBefore.unclaimedWithoutBit);
    EXPECT_EQ(figuresBefore.unclaimedWithoutBit, 2u);
    EXPECT_EQ(figuresAfter.fragmentedFiles, 0u);
    EXPECT_EQ(figuresBefore.fragmentedFiles, 2u);  // both names of the file
    EXPECT_EQ(clustersByPath(after), clustersByPath(before));

    // The image tool's figures are the report's for a dump of the same disk.
    const CMemoryVolume::Statistics s = volume->statistics();
    EXPECT_EQ(s.files, figuresAfter.files);
    EXPECT_EQ(s.directories, figuresAfter.directories);
    EXPECT_EQ(s.filesWithClusters, figuresAfter.filesWithData);
    EXPECT_EQ(s.fragmentedFiles, figuresAfter.fragmentedFiles);
    EXPECT_EQ(s.fragments, figuresAfter.fragments);
    EXPECT_EQ(s.freeClusters - s.freeClustersWithoutDumpBit, figuresAfter.freeClusters);
    EXPECT_GT(s.reparsePoints, 0u);  // the holders of the unlisted clusters, which a dump leaves out
}
