// The change tracker's state file, resumed and then drained as the worker would.
#include "fuzz_support.h"
#include "volume/change_tracker.h"
#include "volume/volume_change_feed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    fuzz::writeInput("tracker_manual", data, size);
    try {
        // No feed: the watcher ends at once, as on a volume that cannot be watched.
        CVolumeChangeTracker tracker(u'C', fuzz::widePath(fuzz::scratchDirectory() + "/tracker"),
                                     [] { return std::unique_ptr<CVolumeChangeFeed>(); });
        CChangedFile file;
        if (tracker.resumeTracking())
            for (int i = 0; i < 4 && tracker.pollChanges() == 0; ++i) tracker.nextChangedFile(file);
    } catch (...) {  // a state file that cannot be written again is reported by an exception
    }
    return 0;
}
