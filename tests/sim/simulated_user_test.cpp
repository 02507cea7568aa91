#include <gtest/gtest.h>

#include "sim/simulated_user.h"

TEST(SimulatedUserTest, WritesFragmentedFilesGrowsAnOlderOneAndWritesLessOnAFullVolume) {
    CMemoryVolume::Geometry geometry;
    geometry.totalClusters = 4096;
    auto volume = std::make_shared<CMemoryVolume>(geometry, u'D');
    CSimulatedUser user(volume, 0);  // no writer thread: rounds by hand
    EXPECT_EQ(user.writeRound(), 2u);
    CMemoryVolume::FileInfo a, b;
    ASSERT_TRUE(volume->fileInfo(u"D:\\Simulated user\\document 1a.dat", a));
    ASSERT_TRUE(volume->fileInfo(u"D:\\Simulated user\\document 1b.dat", b));
    EXPECT_EQ(a.size, 96u * geometry.bytesPerCluster);
    EXPECT_GT(a.runs.size(), 1u);  // grown side by side: both fragmented
    EXPECT_GT(b.runs.size(), 1u);
    EXPECT_EQ(user.writeRound(), 3u);
    ASSERT_TRUE(volume->fileInfo(u"D:\\Simulated user\\document 1a.dat", a));
    EXPECT_EQ(a.size, 112u * geometry.bytesPerCluster);
    EXPECT_TRUE(volume->checkIntegrity().empty());

    geometry.totalClusters = 64;
    auto full = std::make_shared<CMemoryVolume>(geometry);
    CSimulatedUser squeezed(full, 0);
    for (int i = 0; i < 5; ++i) squeezed.writeRound();
    EXPECT_TRUE(full->checkIntegrity().empty());
}
