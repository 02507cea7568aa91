// Writes the seed corpora with the system's own writers: fuzz_seeds <corpus folder> <logconfig.xml>.
// The seeds are small on purpose; the fuzzer grows its own corpus from them.
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine/resume_info.h"
#include "fuzz_support.h"
#include "platform/win32_types.h"
#include "sim/memory_volume.h"
#include "sim/volume_image.h"
#include "volume/change_tracker.h"
#include "volume/dfrg_context.h"
#include "volume/volume_change_feed.h"
#include "volume/volume_dump_format.h"

namespace fs = std::filesystem;

namespace {

fs::path g_root;

void put(const std::string& target, const std::string& name, const std::string& bytes) {
    fs::create_directories(g_root / target);
    std::ofstream(g_root / target / name, std::ios::binary | std::ios::trunc) << bytes;
}

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string le32(uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); }
std::string le64(uint64_t v) { return std::string(reinterpret_cast<const char*>(&v), 8); }

void logConfigSeeds(const fs::path& shipped) {
    put("log_config", "shipped.xml", slurp(shipped));
    put("log_config", "all.xml",
        "<log><appender name=\"FileAppender\"><settings><filename value=\"a.txt\"/><postfix value=\"_p\"/>"
        "<addTimeStampToFilename value=\"true\"/><multithreading value=\"1\"/></settings>"
        "<filter name=\"priority\"><settings><priority value=\"ERR+5\"/><complete value=\"true\"/>"
        "<mode value=\"deny\"/></settings><filter name=\"priority\"/></filter>"
        "<layout name=\"SimpleLayout\"><settings><includeTime value=\"true\"><timeformat value=\"%H:%M:%S\"/>"
        "</includeTime><includeThread value=\"1\"/><includePriorities value=\"1\"/>"
        "<includeProperties value=\"1\"/></settings></layout></appender>"
        "<appender name=\"StdAppender\"><layout name=\"SimpleLayout\"><settings><includeTime value=\"1\">"
        "<timeformat value=\"%ms\"/></includeTime></settings></layout></appender></log>");
}

void resumeInfoSeeds() {
    CPassState state;
    CContextList none;
    std::string path = fuzz::scratchDirectory() + "/seed-resume";
    writeResumeInfo(fuzz::widePath(path), state, none);
    put("resume_info", "empty", slurp(path));
    state.resumePath = u"C:\\dir\\file.txt";
    state.counters.processed = 42;
    state.counters.moved = 7;
    state.retryFiles = {u"C:\\a", u"C:\\b\\c.dat"};
    state.retryOverflow = true;
    writeResumeInfo(fuzz::widePath(path), state, none);
    put("resume_info", "interrupted", slurp(path));
}

void changeTrackerSeeds() {
    std::string base = fuzz::scratchDirectory() + "/seed-tracker";
    auto noFeed = [] { return std::unique_ptr<CVolumeChangeFeed>(); };
    {
        CVolumeChangeTracker tracker(u'C', fuzz::widePath(base), noFeed);
        tracker.startTracking();
    }
    put("change_tracker_state", "active", slurp(base + "_manual"));
    {
        CVolumeChangeTracker tracker(u'C', fuzz::widePath(base), noFeed);
        tracker.stopTracking();
    }
    put("change_tracker_state", "stopped", slurp(base + "_manual"));
}

std::shared_ptr<CMemoryVolume> smallVolume() {
    CMemoryVolume::Geometry g;
    g.totalClusters = 256;
    auto v = std::make_shared<CMemoryVolume>(g, u'C');
    v->placeFile(u"C:\\dir", FILE_ATTRIBUTE_DIRECTORY, 0, {});
    v->placeFile(u"C:\\dir\\a.txt", FILE_ATTRIBUTE_NORMAL, 3 * 4096, {{10, 1}, {20, 2}});
    v->placeFile(u"C:\\b.bin", FILE_ATTRIBUTE_NORMAL, 4096, {{40, 1}});
    return v;
}

void volumeDumpSeeds() {
    volume_dump::VolumeDumpVolume v;
    v.header.driveLetter = u'C';
    v.header.volumeName = u"Seed";
    v.header.totalClusters = 64;
    v.header.bytesPerCluster = 4096;
    v.header.fileSystemType = volume_dump::kFileSystemNtfs;
    v.bitmap.assign(8, 0);
    v.bitmap[1] = 0x0F;
    v.bitmap[3] = 0x01;
    v.addEntry(u"C:\\dir\\", {});
    v.addEntry(u"C:\\dir\\a.txt", {{8, 9}, {10, 11}});
    v.addEntry(u"C:\\b.bin", {{24, 24}});
    std::ostringstream out(std::ios::binary);
    {
        volume_dump::CVolumeDumpWriter writer(out);
        writer.writeVolume(v);
        v.header.driveLetter = u'D';
        writer.writeVolume(v);
    }
    put("volume_dump", "two_volumes", out.str());
}

void volumeImageSeeds() {
    std::string path = fuzz::scratchDirectory() + "/seed.vimg";
    std::string error;
    CVolumeImage::create(path, *smallVolume(), error);
    put("volume_image", "fresh", slurp(path));
    {
        // Changes after the open go to the journal behind the state.
        auto image = CVolumeImage::open(path, u'C', error);
        if (image) {
            auto& v = *image->volume();
            HANDLE f = v.createFile(u"C:\\dir\\new.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL);
            v.appendToFile(f, 2 * 4096);
            v.closeHandle(f);
            v.deleteFile(u"C:\\b.bin");
            put("volume_image", "journalled", slurp(path));
        }
    }
}

void valueSeeds() {
    // Records as the registry targets read them: a few bytes of value, then the choices.
    put("registry_values", "dword", le32(1) + std::string("\x04\x00\x01", 3));
    put("registry_values", "qword", le64(1234567) + std::string("\x0b\x10\x04", 3));
    put("registry_values", "text", std::string("C\0:\0\\\0\0\0", 8) + std::string("\x01\x05\x00", 3));
    put("volume_mode", "react", le32(1) + std::string("\x04\x00", 2));
    put("volume_mode", "time", le64(133000000000000000ull) + std::string("\x0b\x01", 2));
    put("pause_pipe", "hold", std::string("\x00\x02", 2));
    put("pause_pipe", "write", std::string("hello") + std::string("\x00\x01\x02", 3));
    std::string commands[] = {std::string("prog\0-install", 13), std::string("prog\0-control\0 220", 18),
                              std::string("prog\0-remove", 12), std::string("prog\0-WAIT", 10),
                              std::string("prog\0-ci", 8), std::string("prog\0-h", 7)};
    int i = 0;
    for (const auto& c : commands) put("command_line", "args" + std::to_string(i++), c);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    g_root = fs::absolute(argv[1]);
    logConfigSeeds(fs::absolute(argv[2]));
    resumeInfoSeeds();
    changeTrackerSeeds();
    volumeDumpSeeds();
    volumeImageSeeds();
    valueSeeds();
    return 0;
}
