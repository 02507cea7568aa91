#include "support/engine_state_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>

#include "config/product_key.h"
#include "config/registry.h"
#include "engine/defrag_smart.h"
#include "engine/resume_info.h"
#include "platform/clock.h"
#include "volume/provider_selection.h"
#include "volume/change_tracker.h"

namespace enginetest {

namespace {

std::mutex g_statusLock;
std::vector<DfrgStatus> g_status;
std::function<void(const WString&)> g_hook;

bool started(const DfrgStatus& s) { return s.status == 6 && s.detail == 3; }

}  // namespace

void recordStatus(DfrgStatus status) {
    std::function<void(const WString&)> hook;
    {
        std::lock_guard<std::mutex> g(g_statusLock);
        g_status.push_back(status);
        if (started(status)) hook = g_hook;
    }
    if (hook) hook(status.lastFile);
}

std::vector<DfrgStatus> statusRecords() {
    std::lock_guard<std::mutex> g(g_statusLock);
    return g_status;
}

std::vector<WString> startedFiles() {
    std::vector<WString> files;
    for (const DfrgStatus& s : statusRecords())
        if (started(s)) files.push_back(s.lastFile);
    return files;
}

void clearStatus() {
    std::lock_guard<std::mutex> g(g_statusLock);
    g_status.clear();
}

void setStartHook(std::function<void(const WString&)> hook) {
    std::lock_guard<std::mutex> g(g_statusLock);
    g_hook = std::move(hook);
}

EngineEnv::EngineEnv() : log(CaptureAppender::install()) {
    clearStatus();
    overrideVolumeProvider(provider);
}

EngineEnv::~EngineEnv() {
    clearStatus();
    setStartHook(nullptr);
    statistics.reset();
    LogManager::shutdown();
}

void EngineEnv::setSetting(const std::string& name, uint32_t value) {
    CRegistry root;
    CRegistryKey settings;
    ASSERT_TRUE(root.openKey(productKeyPath() + "\\settings", kRegKeyAllAccess, nullptr, true, settings));
    settings.setDword(name, value);
}

void EngineEnv::setSetting(const std::string& name, const WString& value) {
    CRegistry root;
    CRegistryKey settings;
    ASSERT_TRUE(root.openKey(productKeyPath() + "\\settings", kRegKeyAllAccess, nullptr, true, settings));
    settings.setString(platform::utf8ToUtf16(name), value);
}

std::vector<std::string> EngineEnv::values(const std::string& text, const std::string& property,
                                           const std::string& volume) const {
    std::vector<std::string> out;
    for (const auto& e : log->withText(text))
        if (volume.empty() || e.prop("Volume") == volume) out.push_back(e.prop(property));
    return out;
}

int EngineEnv::count(const std::string& text, const std::string& volume) const {
    return static_cast<int>(values(text, "Volume", volume).size());
}

EngineFixture::EngineFixture(std::shared_ptr<CMemoryVolume> volume, EngineOptions options) : memory_(volume) {
    setSetting("DoMoveBetterPlace", options.moveBetterPlace ? 1 : 0);
    setSetting("MaxClusterMoveCount", options.maxClusterMoveCount);
    config = std::make_unique<CDfrgConfig>();
    CDfrgVolumeSettings settings;
    settings.maxClusterMoveCount = config->maxClusterMoveCount();
    settings.maxExtentListSize = config->maxExtentListSize();
    settings.stateDirectory = config->stateDirectory();
    moves_ = voltest::watchControl<MOVE_FILE_DATA>(*memory_, FSCTL_MOVE_FILE);
    context_ = std::make_unique<CDfrgContext>(std::make_unique<CSimulatedVolume>(std::move(volume)), 0, settings);
    state.config = config.get();
    state.statusCallback = recordStatus;
}

EngineFixture::~EngineFixture() {
    context_.reset();
    memory_->answerControl(FSCTL_MOVE_FILE, nullptr);
}

std::vector<uint64_t> EngineFixture::takeMoveTargets() {
    std::vector<uint64_t> targets;
    for (const MOVE_FILE_DATA& m : *moves_) targets.push_back(static_cast<uint64_t>(m.StartingLcn.QuadPart));
    moves_->clear();
    return targets;
}

namespace {

// The free runs of the volume outside `keep`, from its bitmap.
Runs freeRunsOutside(CMemoryVolume& volume, const Runs& keep) {
    const std::vector<uint8_t> bits = volume.bitmapBytes();
    Runs runs;
    for (uint64_t c = 0; c < volume.geometry().totalClusters; ++c) {
        bool skip = (bits[c / 8] >> (c % 8)) & 1u;
        for (const auto& k : keep) skip = skip || (c >= k.lcn && c < k.lcn + k.length);
        if (skip) continue;
        if (!runs.empty() && runs.back().lcn + runs.back().length == c) ++runs.back().length;
        else runs.push_back({c, 1});
    }
    return runs;
}


std::shared_ptr<CMemoryVolume> emptyVolume(char16_t letter, uint64_t clusters, bool solidState = false) {
    CMemoryVolume::Geometry g;
    g.totalClusters = clusters;
    g.label = u"Engine";
    g.solidState = solidState;
    return std::make_shared<CMemoryVolume>(g, letter);
}

// Places a file (no runs: a directory) below the volume's root.
void place(CMemoryVolume& v, const WString& path, const Runs& runs = {}, bool directory = false) {
    voltest::placeFile(v, WString{v.driveLetter(), u':', u'\\'} + path, runs,
                       directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
}

WString number(int i) {
    std::string s = std::to_string(i);
    return platform::utf8ToUtf16(std::string(3 - std::min<size_t>(3, s.size()), '0') + s);
}

}  // namespace

std::shared_ptr<CMemoryVolume> makeCleanVolume(char16_t letter, bool solidState) {
    auto v = emptyVolume(letter, 20000, solidState);
    for (const char16_t* dir : {u"docs", u"docs\\old", u"media"}) place(*v, dir, {}, true);
    uint64_t lcn = 0;
    for (int i = 0; i < 12; ++i) {
        const uint64_t size = 1 + i % 4;
        place(*v, (i % 2 ? u"docs\\note" : u"docs\\old\\page") + number(i), {{lcn, size}});
        lcn += size + 3;
    }
    place(*v, u"media\\movie", {{1000, 20}, {1100, 20}, {1200, 20}});
    place(*v, u"media\\song", {{1300, 5}, {1400, 5}});
    place(*v, u"docs\\report", {{1500, 8}, {1600, 8}, {1700, 8}});
    return v;
}

std::shared_ptr<CMemoryVolume> makeHopelessVolume(char16_t letter) {
    constexpr uint64_t kPiece = 100, kHole = 400, kPieces = 20, kPacked = 50 * (1 + 2 + 3);
    auto v = emptyVolume(letter, kPacked + kPieces * kPiece + (kPieces - 1) * kHole);
    // 150 files in 10 folders, packed from the first cluster on: no free cluster beside any.
    uint64_t lcn = 0;
    for (int i = 0; i < 150; ++i) {
        if (i % 15 == 0) place(*v, u"a" + number(i / 15), {}, true);
        place(*v, u"a" + number(i / 15) + u"\\f" + number(i), {{lcn, 1u + i % 3}});
        lcn += 1 + i % 3;
    }
    // The big file's pieces with holes between them; the volume ends with its last piece.
    Runs runs;
    for (uint64_t i = 0; i < kPieces; ++i, lcn += kPiece + kHole) runs.push_back({lcn, kPiece});
    place(*v, u"big", {}, true);
    place(*v, u"big\\blob", runs);
    return v;
}

std::shared_ptr<CMemoryVolume> makeTreeVolume(char16_t letter, int directories, int files) {
    auto v = emptyVolume(letter, static_cast<uint64_t>(directories + 1) * files * 8 + 20000);
    std::vector<WString> folders;
    for (int d = 0; d < directories; ++d) folders.push_back(u"d" + number(d));
    folders.push_back(u"d000\\sub");
    uint64_t lcn = 0;
    for (const WString& folder : folders) {
        place(*v, folder, {}, true);
        for (int f = 0; f < files; ++f) {
            const uint64_t size = f % 5 == 4 ? 2 : 1 + f % 3;
            place(*v, folder + u"\\f" + number(f), f % 5 == 4 ? Runs{{lcn, 2}, {lcn + 3, 2}} : Runs{{lcn, size}});
            lcn += f % 5 == 4 ? 6 : size + 1;
        }
    }
    return v;
}

bool storedResume(const std::string& path, CPassState& state) {
    return readResumeInfo(platform::utf8ToUtf16(path), state, CContextList());
}

std::vector<TreeEntry> listTree(CMemoryVolume& volume) {
    std::vector<TreeEntry> out;
    const WString root{volume.driveLetter(), u':', u'\\'};  // the volume is locked during the visits
    volume.forEachWalkedEntry([&](const WString& path, bool directory, const Runs& runs) {
        if (path.empty()) return;
        TreeEntry e{root + path, directory, 0, voltest::piecesOf(runs)};
        for (const auto& r : runs)
            if (r.lcn != CMemoryVolume::kVirtualLcn) e.clusters += r.length;
        out.push_back(e);
    });
    return out;
}

uint64_t piecesOf(CMemoryVolume& volume, const WString& path) {
    CMemoryVolume::FileInfo info;
    return volume.fileInfo(path, info) ? voltest::piecesOf(info.runs) : 0;
}

Runs freeRuns(CMemoryVolume& volume) { return freeRunsOutside(volume, {}); }

void fillExcept(CMemoryVolume& volume, const Runs& keepFree) {
    const Runs fill = freeRunsOutside(volume, keepFree);
    if (!fill.empty()) voltest::placeFile(volume, u"C:\\$filler", fill, FILE_ATTRIBUTE_REPARSE_POINT);
}

void placeFragmentedFile(CMemoryVolume& volume, const WString& path, uint64_t clusters) {
    Runs runs;
    uint64_t have = 0;
    for (const CMemoryVolume::Run& r : freeRuns(volume)) {
        if (have == clusters) break;
        runs.push_back({r.lcn, std::min(r.length, clusters - have)});
        have += runs.back().length;
    }
    ASSERT_EQ(have, clusters);
    voltest::placeFile(volume, path, runs);
}

}  // namespace enginetest
