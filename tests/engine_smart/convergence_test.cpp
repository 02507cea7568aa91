// Nearly full disks, their free space only in holes smaller than the fragmented file: the state
// machine reaches react mode in a few passes, and a file is moved only when that gains something
// that no later move takes back.
#include "config/dfrg_config.h"
#include "fixtures.h"
#include "support/full_disk.h"

namespace {

class Convergence : public EngineTestBase {};

TEST_F(Convergence, NearlyFullDisksReachReactModeWithoutMovingFilesBackAndForth) {
    CDfrgConfig config;
    for (double fullness : {0.95, 0.98, 0.995}) {
        for (uint32_t seed : {1u, 2u}) {
            SCOPED_TRACE(testing::Message() << fullness << " full, seed " << seed);
            fulldisk::Parameters p;
            p.clusters = 131072;
            p.fileClusters = 32;
            p.fullness = fullness;
            p.seed = seed;
            auto volume = fulldisk::makeNearlyFullDisk(p);
            log->clear();
            const fulldisk::RunResult r = fulldisk::runUntilReact(volume, config, 10);
            EXPECT_TRUE(r.reachedReact);
            EXPECT_LE(r.mostMovesInAPass, 1u);
            EXPECT_LE(r.mostMovesInTheRun, 2u);
            EXPECT_TRUE(volume->checkIntegrity().empty());
            // The file left in pieces was named.
            bool named = false;
            for (const auto& e : log->entries()) named = named || e.prop("FileName") == "C:\\big\\frag0";
            EXPECT_TRUE(r.fragmentedAfter == 0 || named);
        }
    }
}

}  // namespace
