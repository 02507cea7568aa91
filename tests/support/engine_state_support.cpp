#include "support/engine_state_support.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/defrag_smart.h"
#include "platform/clock.h"
#include "platform/last_error.h"
#include "platform/dfrg_exception.h"
#include "volume/change_tracker.h"
#include "volume/dfrg_context.h"
#include "sim/simulated_volume.h"

namespace smarttest {

// ---------------------------------------------------------------- status

namespace {

struct Recorder {
    std::mutex lock;
    std::vector<DfrgStatus> records;
    std::function<void(const WString&)> hook;
};

Recorder& recorder() {
    static Recorder r;
    return r;
}

}  // namespace

void StatusRecorder::callback(DfrgStatus status) {
    std::function<void(const WString&)> hook;
    {
        std::lock_guard<std::mutex> g(recorder().lock);
        recorder().records.push_back(status);
        if (status.status == 6 && status.detail == 3) hook = recorder().hook;
    }
    if (hook) hook(status.lastFile);
}

void StatusRecorder::reset() {
    std::lock_guard<std::mutex> g(recorder().lock);
    recorder().records.clear();
    recorder().hook = nullptr;
}

std::vector<DfrgStatus> StatusRecorder::records() {
    std::lock_guard<std::mutex> g(recorder().lock);
    return recorder().records;
}

std::vector<WString> StatusRecorder::startedFiles() {
    std::vector<WString> files;
    for (const DfrgStatus& s : records())
        if (s.status == 6 && s.detail == 3) files.push_back(s.lastFile);
    return files;
}

size_t StatusRecorder::startedCount() { return startedFiles().size(); }

void StatusRecorder::setHook(std::function<void(const WString&)> hook) {
    std::lock_guard<std::mutex> g(recorder().lock);
    recorder().hook = std::move(hook);
}

// ---------------------------------------------------------------- clocks

namespace {

std::atomic<uint32_t> g_contextNow{1000000};
std::atomic<bool> g_autoAdvance{false};
std::atomic<uint32_t> g_trackerNow{1000000};
std::atomic<uint32_t> g_sleeps{0};
std::atomic<uint64_t> g_slept{0};

uint32_t contextNow() { return g_autoAdvance ? g_contextNow += 1000 : g_contextNow.load(); }
uint32_t trackerNow() { return g_trackerNow.load(); }
void fakeSleep(uint32_t ms) {
    ++g_sleeps;
    g_slept += ms;
}

}  // namespace

FakeClocks::FakeClocks(bool autoAdvance) {
    g_autoAdvance = autoAdvance;
    g_sleeps = 0;
    g_slept = 0;
    setContextTickSource(contextNow);
    setChangeTrackerTickSource(trackerNow);
    setSmartSleepFunction(fakeSleep);
}

FakeClocks::~FakeClocks() {
    setSmartSleepFunction(nullptr);
    setChangeTrackerTickSource(nullptr);
    setContextTickSource(nullptr);
    g_autoAdvance = false;
}

void FakeClocks::advanceContext(uint32_t ms) { g_contextNow += ms; }
void FakeClocks::advanceTracker(uint32_t ms) { g_trackerNow += ms; }
uint32_t FakeClocks::sleeps() { return g_sleeps.load(); }
uint64_t FakeClocks::sleptMs() { return g_slept.load(); }

// ---------------------------------------------------------------- volumes

namespace {

using Run = CMemoryVolume::Run;

std::shared_ptr<CMemoryVolume> emptyVolume(char16_t letter, uint64_t clusters, const WString& label) {
    CMemoryVolume::Geometry g;
    g.totalClusters = clusters;
    g.label = label;
    return std::make_shared<CMemoryVolume>(g, letter);
}

void place(CMemoryVolume& v, char16_t letter, const WString& path, const std::vector<Run>& runs) {
    uint64_t clusters = 0;
    for (const Run& r : runs) clusters += r.length;
    const WString full = WString{letter, u':', u'\\'} + path;
    if (!v.placeFile(full, 0, clusters * v.geometry().bytesPerCluster, runs))
        throw CDfrgException(ErrorInternal, "cannot place " + platform::utf16ToUtf8(full) + " error " + std::to_string(platform::lastError()));
}

void directory(CMemoryVolume& v, char16_t letter, const WString& path) {
    const WString full = WString{letter, u':', u'\\'} + path;
    if (!v.placeFile(full, FILE_ATTRIBUTE_DIRECTORY, 0, {}))
        throw CDfrgException(ErrorInternal, "cannot place " + platform::utf16ToUtf8(full) + " error " + std::to_string(platform::lastError()));
}

WString number(int i) {
    std::string s = std::to_string(i);
    while (s.size() < 3) s = "0" + s;
    return platform::utf8ToUtf16(s);
}

}  // namespace

std::shared_ptr<CMemoryVolume> makeCleanVolume(char16_t letter) {
    auto v = emptyVolume(letter, 20000, u"Clean");
    directory(*v, letter, u"docs");
    directory(*v, letter, u"docs\\old");
    directory(*v, letter, u"media");
    uint64_t lcn = 0;
    for (int i = 0; i < 12; ++i) {
        const uint64_t size = 1 + i % 4;
        place(*v, letter, (i % 2 ? u"docs\\note" : u"docs\\old\\page") + number(i), {{lcn, size}});
        lcn += size + 3;
    }
    place(*v, letter, u"media\\movie", {{1000, 20}, {1100, 20}, {1200, 20}});
    place(*v, letter, u"media\\song", {{1300, 5}, {1400, 5}});
    place(*v, letter, u"docs\\report", {{1500, 8}, {1600, 8}, {1700, 8}});
    return v;
}

std::shared_ptr<CMemoryVolume> makeHopelessVolume(char16_t letter) {
    constexpr uint64_t kPiece = 100, kHole = 400, kPieces = 20;
    constexpr int kFolders = 10, kFilesPerFolder = 15;
    std::vector<std::pair<WString, uint64_t>> files;
    uint64_t packed = 0;
    for (int i = 0; i < kFolders * kFilesPerFolder; ++i) {
        files.emplace_back(u"a" + number(i / kFilesPerFolder) + u"\\f" + number(i), 1 + i % 3);
        packed += 1 + i % 3;
    }
    auto v = emptyVolume(letter, packed + kPieces * kPiece + (kPieces - 1) * kHole, u"Hopeless");
    for (int d = 0; d < kFolders; ++d) directory(*v, letter, u"a" + number(d));
    directory(*v, letter, u"big");
    // Packed from the first cluster on: no free cluster beside any of them.
    uint64_t lcn = 0;
    for (const auto& f : files) {
        place(*v, letter, f.first, {{lcn, f.second}});
        lcn += f.second;
    }
    // The pieces of the big file with holes between them; the volume ends with its last piece.
    std::vector<Run> runs;
    for (uint64_t i = 0; i < kPieces; ++i) {
        runs.push_back({lcn, kPiece});
        lcn += kPiece + kHole;
    }
    place(*v, letter, u"big\\blob", runs);
    return v;
}

std::shared_ptr<CMemoryVolume> makeTreeVolume(char16_t letter, int directories, int files) {
    auto v = emptyVolume(letter, static_cast<uint64_t>(directories + 1) * files * 8 + 20000, u"Tree");
    uint64_t lcn = 0;
    std::vector<WString> folders;
    for (int d = 0; d < directories; ++d) folders.push_back(u"d" + number(d));
    folders.push_back(u"d000\\sub");
    for (const WString& folder : folders) {
        directory(*v, letter, folder);
        for (int f = 0; f < files; ++f) {
            const WString path = folder + u"\\f" + number(f);
            if (f % 5 == 4) {
                place(*v, letter, path, {{lcn, 2}, {lcn + 3, 2}});
                lcn += 6;
            } else {
                place(*v, letter, path, {{lcn, 1 + static_cast<uint64_t>(f % 3)}});
                lcn += 1 + f % 3 + 1;
            }
        }
    }
    return v;
}

// ---------------------------------------------------------------- resume info

StoredResumeInfo readStoredResumeInfo(const std::string& path) {
    StoredResumeInfo info;
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    const std::string d((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t at = 0;
    auto bytes = [&](size_t n, uint64_t& v) {
        if (d.size() - at < n) return false;
        v = 0;
        for (size_t i = n; i-- > 0;) v = v << 8 | static_cast<uint8_t>(d[at + i]);
        at += n;
        return true;
    };
    auto text = [&](WString& s) {
        uint64_t n = 0, unit = 0;
        if (!bytes(4, n)) return false;
        for (s.clear(); n > 0; --n) {
            if (!bytes(2, unit)) return false;
            s.push_back(static_cast<char16_t>(unit));
        }
        return true;
    };
    uint64_t v = 0, count = 0;
    CPassCounters& c = info.counters;
    if (!bytes(4, v)) return info;
    info.version = static_cast<int32_t>(v);
    if (!text(info.resumePath)) return info;
    for (uint64_t* counter : {&c.defragged, &c.nonDefraggable, &c.nonDefraggablePureSpace, &c.errors, &c.moved,
                              &c.processed})
        if (!bytes(8, *counter)) return info;
    if (!bytes(1, v) || !bytes(4, count)) return info;
    info.overflow = v != 0;
    for (WString s; count > 0 && text(s); --count) info.retryFiles.push_back(s);
    if (count > 0 || !bytes(4, count)) return info;
    for (; count > 0; --count) {
        uint64_t letter, pass, panic;
        if (!bytes(4, letter) || !bytes(4, pass) || !bytes(4, panic)) return info;
        info.volumes.push_back({static_cast<uint32_t>(letter), static_cast<int32_t>(pass), static_cast<int32_t>(panic)});
    }
    info.whole = at == d.size();
    return info;
}

bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 6000; ++i) {
        if (condition()) return true;
        platform::sleepMs(10);
    }
    return condition();
}

}  // namespace smarttest
