// Aged NTFS images for the tests and the trial runs: mkntfs makes the file system, files are
// written through libntfs-3g (no mount needed), and the layout is aged by filling, punching holes
// and writing files in interleaved small pieces so that they fragment.
#pragma once
#include <cstdint>
#include <string>

struct NtfsImageRecipe {
    uint64_t bytes = 48ull << 20;
    uint32_t clusterSize = 4096;
    // Sectors of 512 bytes of the image (then bytes is not used); 0 for bytes. A number of sectors
    // that is not a multiple of 64 gives a cluster count that is not a multiple of 8.
    uint64_t sectors = 0;
    double fullness = 0.6;  // share of clusters in use at the end
    uint32_t seed = 1;
    // Compressed, sparse, resident, hard-linked, long- and non-ASCII-named files besides the
    // ordinary ones.
    bool specials = true;
    // The largest ordinary file, in clusters.
    uint32_t largestFile = 512;
};

// Makes the image (replacing a file at path). False with a reason on failure.
bool makeAgedNtfsImage(const std::string& path, const NtfsImageRecipe& recipe, std::string& error);
// A copy of a small aged image (16 MiB, with the special files), which is made once per program.
bool copyOfAgedNtfsImage(const std::string& path, std::string& error);

// Sets or clears the volume's dirty flag; adds a hibernation file that says Windows is
// hibernated. For the refusal tests.
bool markNtfsDirty(const std::string& path);
bool addHibernationFile(const std::string& path);
