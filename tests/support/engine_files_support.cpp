#include "support/engine_files_support.h"
#include "volume/provider_selection.h"

#include <gtest/gtest.h>

#include <cstring>

#include "config/product_key.h"
#include "config/registry.h"
#include "support/fake_volume_provider.h"
#include "volume/dfrg_volume.h"

namespace enginetest {

namespace {

std::vector<DfrgStatus> g_status;
std::function<void(const DfrgStatus&)> g_hook;

void recordStatus(DfrgStatus status) {
    g_status.push_back(status);
    if (g_hook) g_hook(g_status.back());
}

void writeSettings(const EngineOptions& o) {
    CRegistry registry;
    CRegistryKey settings;
    ASSERT_TRUE(registry.openKey(productKeyPath() + "\\settings", kRegKeyAllAccess, nullptr, true, settings));
    settings.setDword("DoMoveBetterPlace", o.moveBetterPlace ? 1 : 0);
    settings.setDword("DoMoveLeft", o.moveLeft ? 1 : 0);
    settings.setDword("MaxClusterMoveCount", o.maxClusterMoveCount);
    settings.setDword("dumpType", o.dumpType);
}

}  // namespace

std::vector<DfrgStatus>& statusRecords() { return g_status; }
void clearStatus() { g_status.clear(); }
void setStatusHook(std::function<void(const DfrgStatus&)> hook) { g_hook = std::move(hook); }

BOOL EngineVolume::moveFile(const MOVE_FILE_DATA& move) {
    if (pretend && pretend(move)) {
        moves.push_back(move);
        return TRUE;
    }
    return CScriptedVolume::moveFile(move);
}

EngineFixture::EngineFixture(std::shared_ptr<CMemoryVolume> volume, EngineOptions options) : memory_(volume) {
    overrideVolumeProvider(std::make_shared<FakeVolumeProvider>());
    writeSettings(options);
    statistics_ = std::make_unique<CDfrgStatistics>();
    config_ = std::make_unique<CDfrgConfig>();
    log_ = CaptureAppender::install();
    CDfrgVolumeSettings settings;
    settings.maxClusterMoveCount = config_->maxClusterMoveCount();
    settings.maxExtentListSize = config_->maxExtentListSize();
    settings.stateDirectory = config_->stateDirectory();
    setContextTickSource(&voltest::ContextFixture::now);
    auto engineVolume = std::make_unique<EngineVolume>(std::move(volume));
    volume_ = engineVolume.get();
    context_ = std::make_unique<CDfrgContext>(std::move(engineVolume), 0, settings);
    state_.config = config_.get();
    state_.statusCallback = recordStatus;
    clearStatus();
}

EngineFixture::~EngineFixture() {
    setStatusHook(nullptr);
    clearStatus();
    context_.reset();
    setContextTickSource(nullptr);
    LogManager::shutdown();
    config_.reset();
    statistics_.reset();
}

std::vector<uint64_t> EngineFixture::takeMoveTargets() {
    std::vector<uint64_t> targets;
    for (const MOVE_FILE_DATA& m : volume_->moves) targets.push_back(static_cast<uint64_t>(m.StartingLcn.QuadPart));
    volume_->moves.clear();
    return targets;
}

std::vector<CaptureAppender::Entry> EngineFixture::logged(const std::string& text) const {
    std::vector<CaptureAppender::Entry> out;
    for (const auto& e : log_->entries())
        if (e.text == text) out.push_back(e);
    return out;
}

std::string EngineFixture::property(const CaptureAppender::Entry& entry, const std::string& name) {
    for (const LogProperty& p : entry.properties)
        if (p.name == name) return p.value;
    return std::string();
}

uint64_t piecesOf(const std::vector<CMemoryVolume::Run>& runs) {
    uint64_t pieces = 0, expected = CMemoryVolume::kVirtualLcn;
    for (const CMemoryVolume::Run& r : runs) {
        if (r.lcn == CMemoryVolume::kVirtualLcn) continue;
        if (r.lcn != expected) ++pieces;
        expected = r.lcn + r.length;
    }
    return pieces;
}

uint64_t piecesOf(CMemoryVolume& volume, const WString& path) {
    CMemoryVolume::FileInfo info;
    return volume.fileInfo(path, info) ? piecesOf(info.runs) : 0;
}

namespace {

void listInto(CMemoryVolume& volume, const WString& dir, std::vector<TreeEntry>& out) {
    WIN32_FIND_DATAW data;
    HANDLE find = volume.findFirstFile(dir + u"\\*", &data);
    if (find == INVALID_HANDLE_VALUE) return;
    std::vector<std::pair<WString, DWORD>> names;
    do {
        names.emplace_back(WString(asUtf16(data.cFileName)), data.dwFileAttributes);
    } while (volume.findNextFile(find, &data));
    volume.findClose(find);
    for (const auto& n : names) {
        if (n.first == u"." || n.first == u"..") continue;
        const bool directory = (n.second & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (!directory && (n.second & FILE_ATTRIBUTE_REPARSE_POINT)) continue;
        TreeEntry e;
        e.path = dir + u"\\" + n.first;
        e.directory = directory;
        CMemoryVolume::FileInfo info;
        if (volume.fileInfo(e.path, info)) {
            for (const auto& r : info.runs)
                if (r.lcn != CMemoryVolume::kVirtualLcn) e.clusters += r.length;
            e.pieces = piecesOf(info.runs);
        }
        out.push_back(e);
        if (directory) listInto(volume, e.path, out);
    }
}

}  // namespace

std::vector<TreeEntry> listTree(CMemoryVolume& volume) {
    std::vector<TreeEntry> out;
    listInto(volume, WString(1, volume.driveLetter()) + u":", out);
    return out;
}

namespace {

// Walks the free runs of the volume's bitmap in LCN order until `take` returns false. Reads
// grow from a few bytes, since most walks end early.
void walkFreeRuns(CMemoryVolume& volume, const std::function<bool(uint64_t lcn, uint64_t length)>& take) {
    HANDLE h = volume.createFile(u"\\\\.\\" + WString(1, volume.driveLetter()) + u":", GENERIC_READ, 7, OPEN_EXISTING, 0);
    if (h == INVALID_HANDLE_VALUE) return;
    const uint64_t total = volume.geometry().totalClusters;
    std::vector<uint64_t> storage(8192 + 2);
    auto* buffer = reinterpret_cast<VOLUME_BITMAP_BUFFER*>(storage.data());
    const uint8_t* bits = reinterpret_cast<const uint8_t*>(buffer->Buffer);
    uint64_t runStart = 0, runLength = 0;
    bool going = true;
    DWORD ask = 64;
    for (uint64_t lcn = 0; going && lcn < total;) {
        STARTING_LCN_INPUT_BUFFER in;
        in.StartingLcn.QuadPart = static_cast<LONGLONG>(lcn);
        DWORD returned = 0;
        volume.deviceIoControl(h, FSCTL_GET_VOLUME_BITMAP, &in, sizeof in, buffer, ask, &returned);
        ask = static_cast<DWORD>(std::min<size_t>(ask * 4, storage.size() * 8));
        const uint64_t start = static_cast<uint64_t>(buffer->StartingLcn.QuadPart);
        const uint64_t count = std::min<uint64_t>((returned - 16) * 8, total - start);
        for (uint64_t i = lcn - start; going && i < count; ++i) {
            if ((bits[i / 8] >> (i % 8)) & 1u) {
                if (runLength) going = take(runStart, runLength);
                runLength = 0;
            } else if (runLength++ == 0) {
                runStart = start + i;
            }
        }
        lcn = start + count;
    }
    if (going && runLength) take(runStart, runLength);
    volume.closeHandle(h);
}

}  // namespace

bool hasFreeRun(CMemoryVolume& volume, uint64_t n) {
    bool found = n == 0;
    walkFreeRuns(volume, [&](uint64_t, uint64_t length) { return !(found = length >= n); });
    return found;
}

std::vector<CMemoryVolume::Run> freeRuns(CMemoryVolume& volume) {
    std::vector<CMemoryVolume::Run> runs;
    walkFreeRuns(volume, [&](uint64_t lcn, uint64_t length) {
        runs.push_back({lcn, length});
        return true;
    });
    return runs;
}

void fillExcept(CMemoryVolume& volume, const std::vector<CMemoryVolume::Run>& keepFree) {
    const uint64_t total = volume.geometry().totalClusters;
    std::vector<bool> keep(total, false);
    for (const CMemoryVolume::Run& r : keepFree)
        for (uint64_t c = r.lcn; c < r.lcn + r.length && c < total; ++c) keep[c] = true;
    std::vector<CMemoryVolume::Run> runs;
    for (uint64_t c = 0; c < total; ++c) {
        if (keep[c] || volume.isClusterUsed(c)) continue;
        if (!runs.empty() && runs.back().lcn + runs.back().length == c) ++runs.back().length;
        else runs.push_back({c, 1});
    }
    if (!runs.empty()) voltest::placeFile(volume, u"C:\\$filler", runs, FILE_ATTRIBUTE_REPARSE_POINT);
}

void placeFragmentedFile(CMemoryVolume& volume, const WString& path, uint64_t clusters) {
    std::vector<CMemoryVolume::Run> runs;
    uint64_t have = 0;
    for (const CMemoryVolume::Run& r : freeRuns(volume)) {
        if (have == clusters) break;
        const uint64_t take = std::min(r.length, clusters - have);
        runs.push_back({r.lcn, take});
        have += take;
    }
    ASSERT_EQ(have, clusters);
    ASSERT_TRUE(volume.placeFile(path, FILE_ATTRIBUTE_ARCHIVE, clusters * volume.geometry().bytesPerCluster, runs));
}

}  // namespace enginetest
