// Dump, image, defragmentation, dump: the image keeps what the bitmap says where the entries
// disagree with it, the tools invent no change, and no file loses its data.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>

#include "engine/file_processing.h"
#include "engine/volume_dump.h"
#include "report/dump_figures.h"
#include "sim/image_dump.h"
#include "sim/image_from_dump.h"
#include "support/dump_samples.h"
#include "support/engine_state_support.h"

using volume_dump::VolumeDumpVolume;

namespace {

std::string imageDumpBytes(const CMemoryVolume& volume) {
    std::stringstream bytes;
    volume_dump::CVolumeDumpWriter writer(bytes);
    writeImageDump(volume, writer);
    return bytes.str();
}

// Clusters per path.
std::map<WString, uint64_t> clustersByPath(const VolumeDumpVolume& v) {
    std::map<WString, uint64_t> out;
    for (const auto& e : v.entries)
        for (size_t k = 0; k < e.extentCount; ++k) out[e.path] += v.extentsOf(e)[k].end - v.extentsOf(e)[k].start + 1;
    return out;
}

}  // namespace

TEST(DumpRoundTrip, TheBitmapWinsHardLinksAndClustersWithoutABitKeepFreeSpaceAndData) {
    // Cluster 35 is claimed by an entry but free; 0-3, 32-34 and 36-39 are in use but listed by
    // nobody; 40-42 have no bit and only 41 is claimed. frag.bin gets a second name.
    VolumeDumpVolume dump = sampleVolume();
    dump.addEntry(u"C:\\same.bin", {{12, 13}, {20, 21}});
    CImageFromDumpReport made;
    std::string error;
    std::shared_ptr<CMemoryVolume> volume = volumeFromDump(dump, made, error);
    ASSERT_TRUE(volume) << error;
    EXPECT_EQ(made.directories, 1u);
    EXPECT_EQ(made.files, 7u);  // the second name is a link, not a file
    EXPECT_EQ(made.hardLinks, 1u);
    EXPECT_EQ(made.skippedEntries + made.sharedClusters, 0u);
    EXPECT_EQ(made.droppedClusters, 1u);
    EXPECT_EQ(made.reservedClusters, 13u);
    EXPECT_EQ(made.clustersWithoutBit, 3u);
    EXPECT_EQ(made.claimedWithoutBit, 1u);
    EXPECT_EQ(volume->checkIntegrity(), std::vector<std::string>());
    for (uint64_t c = 0; c < 40; ++c)
        EXPECT_EQ(volume->isClusterUsed(c), ((dump.bitmap[c / 8] >> (c % 8)) & 1u) != 0) << c;
    // The clusters without a bit that no entry claims stay in use: nothing may be put there.
    EXPECT_TRUE(volume->isClusterUsed(40) && volume->isClusterUsed(41) && volume->isClusterUsed(42));
    CMemoryVolume::FileInfo frag, same;
    ASSERT_TRUE(volume->fileInfo(u"C:\\same.bin", same));
    ASSERT_TRUE(volume->fileInfo(u"C:\\frag.bin", frag));
    EXPECT_EQ(same.id, frag.id);
    EXPECT_EQ(frag.runs, (enginetest::Runs{{12, 2}, {20, 2}}));
    ASSERT_TRUE(volume->fileInfo(u"C:\\adjacent.bin", frag));
    EXPECT_EQ(frag.runs, (enginetest::Runs{{22, 4}}));
    // The holders of unlisted clusters never show up in a walk.
    EXPECT_EQ(enginetest::listTree(*volume).size(), 9u);

    const uint64_t freeInImage = volume->freeClusters();
    const VolumeDumpVolume before = dumpFromString(imageDumpBytes(*volume))[0];
    const report::VolumeFigures figuresBefore = report::computeFigures(before);
    EXPECT_EQ(figuresBefore.freeClusters, report::computeFigures(dump).freeClusters);
    EXPECT_EQ(figuresBefore.clustersWithoutBit, 3u);
    EXPECT_EQ(figuresBefore.unclaimedWithoutBit, 2u);
    EXPECT_EQ(figuresBefore.fragmentedFiles, 2u);  // both names of the file

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

    const VolumeDumpVolume after = dumpFromString(engineDump)[0];
    const report::VolumeFigures figuresAfter = report::computeFigures(after);
    // The engine may take tail.bin out of the clusters without a bit: what the dump shows free
    // then shifts to the unknown ones, and no more.
    EXPECT_EQ(figuresAfter.freeClusters + figuresAfter.unclaimedWithoutBit,
              figuresBefore.freeClusters + figuresBefore.unclaimedWithoutBit);
    EXPECT_EQ(figuresAfter.fragmentedFiles, 0u);
    EXPECT_EQ(clustersByPath(after), clustersByPath(before));
}
