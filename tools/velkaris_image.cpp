// velkaris-image: makes, checks and describes simulated volume images.
//
//   velkaris-image create IMAGE [--size 8G] [--cluster 4096] [--files 10000] [--seed 1]
//                               [--fullness 0.6] [--depth 8] [--width 12] [--churn 2] [--label NAME]
//                               [--solid-state]
//   velkaris-image check IMAGE
//   velkaris-image info IMAGE
//   velkaris-image dump IMAGE OUT.vdf          (the volume dump of the image, as the service writes it)
//   velkaris-image from-dump DUMP IMAGE_DIR   (one image per volume of the dump, named by its letter)
//
// Exit code 0 on success, 1 when the image is damaged or cannot be made, 2 on a usage error.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/dfrg_exception.h"
#include "platform/text.h"
#include "sim/image_dump.h"
#include "sim/image_from_dump.h"
#include "sim/image_synthesis.h"
#include "sim/volume_image.h"

namespace {

const char* const kUsage =
    "usage: velkaris-image create IMAGE [--size 8G] [--cluster 4096] [--files 10000] [--seed 1]\n"
    "                                   [--fullness 0.6] [--depth 8] [--width 12] [--churn 2]"
    " [--label NAME]\n"
    "                                   [--solid-state]\n"
    "       velkaris-image check IMAGE\n"
    "       velkaris-image info IMAGE\n"
    "       velkaris-image dump IMAGE OUT.vdf\n"
    "       velkaris-image from-dump DUMP IMAGE_DIR\n";

int usage() {
    std::fputs(kUsage, stderr);
    return 2;
}

bool parseBytes(const std::string& text, uint64_t& out) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || value < 0) return false;
    double scale = 1;
    switch (*end) {
    case 'k': case 'K': scale = 1024.0; ++end; break;
    case 'm': case 'M': scale = 1048576.0; ++end; break;
    case 'g': case 'G': scale = 1073741824.0; ++end; break;
    case 't': case 'T': scale = 1099511627776.0; ++end; break;
    default: break;
    }
    if (*end != 0) return false;
    out = static_cast<uint64_t>(value * scale);
    return true;
}

bool parseNumber(const std::string& text, double& out) {
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return end != text.c_str() && *end == 0;
}

int create(const std::filesystem::path& image, int argc, char** argv) {
    CImageParameters p;
    for (int i = 0; i < argc; i += 2) {
        if (std::string(argv[i]) == "--solid-state") {
            p.solidState = true;
            --i;
            continue;
        }
        if (i + 1 >= argc) return usage();
        const std::string option = argv[i], value = argv[i + 1];
        double number = 0;
        uint64_t bytes = 0;
        if (option == "--size" && parseBytes(value, bytes)) p.volumeBytes = bytes;
        else if (option == "--cluster" && parseBytes(value, bytes)) p.bytesPerCluster = static_cast<uint32_t>(bytes);
        else if (option == "--files" && parseNumber(value, number)) p.fileCount = static_cast<uint32_t>(number);
        else if (option == "--seed" && parseNumber(value, number)) p.seed = static_cast<uint64_t>(number);
        else if (option == "--fullness" && parseNumber(value, number)) p.fullness = number;
        else if (option == "--depth" && parseNumber(value, number)) p.directoryDepth = static_cast<uint32_t>(number);
        else if (option == "--width" && parseNumber(value, number)) p.directoryWidth = static_cast<uint32_t>(number);
        else if (option == "--churn" && parseNumber(value, number)) p.churn = number;
        else if (option == "--label") p.label = platform::utf8ToUtf16(value);
        else return usage();
    }
    std::string error;
    auto volume = synthesizeVolume(p, error);
    if (!volume || !CVolumeImage::create(image, *volume, error)) {
        std::fprintf(stderr, "velkaris-image: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

std::shared_ptr<CVolumeImage> openImage(const std::filesystem::path& image) {
    std::string error;
    auto opened = CVolumeImage::open(image, u'C', error);
    if (!opened) std::fprintf(stderr, "velkaris-image: %s\n", error.c_str());
    return opened;
}

int check(const std::filesystem::path& image) {
    auto opened = openImage(image);
    if (!opened) return 1;
    const auto problems = opened->volume()->checkIntegrity();
    for (const std::string& p : problems) std::printf("%s\n", p.c_str());
    std::printf(problems.empty() ? "sound\n" : "damaged\n");
    return problems.empty() ? 0 : 1;
}

int info(const std::filesystem::path& image) {
    auto opened = openImage(image);
    if (!opened) return 1;
    const auto g = opened->volume()->geometry();
    const auto s = opened->volume()->statistics();
    auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    std::printf("label: %s\n", platform::utf16ToUtf8(g.label).c_str());
    std::printf("file system: %s\n", platform::utf16ToUtf8(g.fileSystemName).c_str());
    std::printf("clusters: %llu of %u bytes\n", u(g.totalClusters), g.bytesPerCluster);
    std::printf("disk: %s\n", g.solidState ? "solid state" : "rotating");
    // Counted as the service's walk and a dump see the volume, so that velkaris-report gives the
    // same figures for a dump of it.
    std::printf("files: %llu\ndirectories: %llu (the root among them)\n", u(s.files), u(s.directories));
    std::printf("reparse points (not counted as files; the engine leaves them alone): %llu\n",
                u(s.reparsePoints));
    std::printf("fragmented files: %llu of %llu with clusters\n", u(s.fragmentedFiles), u(s.filesWithClusters));
    std::printf("fragments: %llu\n", u(s.fragments));
    std::printf("free clusters: %llu in %llu runs, largest %llu\n", u(s.freeClusters), u(s.freeRuns),
                u(s.largestFreeRun));
    if (g.totalClusters % 8)
        std::printf("free among the last %llu clusters, which a dump has no bitmap bit for: %llu\n",
                    u(g.totalClusters % 8), u(s.freeClustersWithoutDumpBit));
    std::printf("journal bytes: %llu\n", u(opened->journalBytes()));
    return 0;
}

int fromDump(const std::filesystem::path& dump, const std::filesystem::path& directory) {
    std::vector<CImageFromDump> made;
    std::string error;
    const bool ok = imagesFromDump(dump, directory, made, error);
    auto u = [](uint64_t v) { return static_cast<unsigned long long>(v); };
    for (const CImageFromDump& m : made) {
        const CImageFromDumpReport& r = m.report;
        std::printf("%s: %llu directories, %llu files", m.image.u8string().c_str(), u(r.directories), u(r.files));
        if (r.skippedEntries) std::printf(", %llu entries skipped", u(r.skippedEntries));
        if (r.hardLinks) std::printf(", %llu further names of files (hard links)", u(r.hardLinks));
        if (r.droppedClusters) std::printf(", %llu clusters of entries not in use in the bitmap", u(r.droppedClusters));
        if (r.sharedClusters)
            std::printf(", %llu clusters claimed by two entries (kept by the first)", u(r.sharedClusters));
        if (r.clustersWithoutBit)
            std::printf(", the last %llu clusters have no bitmap bit (%llu held by entries, the rest kept in use)",
                        u(r.clustersWithoutBit), u(r.claimedWithoutBit));
        if (r.reservedClusters)
            std::printf(", %llu unlisted clusters held by %llu hidden files", u(r.reservedClusters), u(r.reservedFiles));
        std::printf("\n");
    }
    if (!ok) {
        std::fprintf(stderr, "velkaris-image: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

int dump(const std::filesystem::path& image, const std::filesystem::path& out) {
    auto opened = openImage(image);
    if (!opened) return 1;
    std::ofstream file(out, std::ios::binary | std::ios::trunc);
    if (!file) {
        std::fprintf(stderr, "velkaris-image: cannot write %s\n", out.u8string().c_str());
        return 1;
    }
    try {
        volume_dump::CVolumeDumpWriter writer(file);
        writeImageDump(*opened->volume(), writer);
        file.flush();
        if (!file) throw CDfrgException(ErrorWriteFile, "cannot write " + out.u8string());
    } catch (const CDfrgException& e) {
        std::fprintf(stderr, "velkaris-image: %s\n", e.message().c_str());
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::string(argv[1]) == "-h" || std::string(argv[1]) == "--help")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc < 3) return usage();
    const std::string command = argv[1];
    const std::filesystem::path image = std::filesystem::u8path(argv[2]);
    if (command == "create") return create(image, argc - 3, argv + 3);
    if (command == "check" && argc == 3) return check(image);
    if (command == "info" && argc == 3) return info(image);
    if (command == "dump" && argc == 4) return dump(image, std::filesystem::u8path(argv[3]));
    if (command == "from-dump" && argc == 4) return fromDump(image, std::filesystem::u8path(argv[3]));
    return usage();
}
