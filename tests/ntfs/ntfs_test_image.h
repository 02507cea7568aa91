// Aged NTFS images for the tests and the trial runs: mkntfs makes the file system, files are
// written through libntfs-3g (no mount needed), and the layout is aged by filling, punching holes
// and writing files in interleaved small pieces so that they fragment. Besides ordinary files it
// holds resident, sparse, compressed, hard-linked, long- and non-ASCII-named ones.
#pragma once
#include <cstdint>
#include <string>

struct NtfsImageRecipe {
    uint64_t bytes = 48ull << 20;
    // Sectors of 512 bytes (then bytes is not used); not a multiple of 64 gives a cluster count
    // that is not a multiple of 8.
    uint64_t sectors = 0;
    double fullness = 0.6;       // share of clusters in use at the end
    uint32_t seed = 1;
    uint32_t largestFile = 512;  // in clusters
};

// Makes the image (replacing a file at path). False with a reason on failure.
bool makeAgedNtfsImage(const std::string& path, const NtfsImageRecipe& recipe, std::string& error);
// Sets the volume's dirty flag, as a volume not cleanly closed has it.
bool markNtfsDirty(const std::string& path);
// Damages the allocation on purpose: the first cluster of file `from` becomes the first cluster
// of file `to` too, so that one cluster is owned twice and the one `to` gave up has no owner.
bool shareNtfsCluster(const std::string& path, uint64_t from, uint64_t to);
