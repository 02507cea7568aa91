#include "monitor/agent_reports.h"

#include <algorithm>

#include "platform/byte_order.h"

namespace agent {

namespace {

constexpr uint32_t kLastInputKnown = 1, kCursorKnown = 2, kFullscreen = 4, kScreenSaver = 8, kAllFlags = 15;


// Offsets of the fields in a message.
constexpr size_t kAtMagic = 0, kAtVersion = 4, kAtSize = 6, kAtSession = 8, kAtSequence = 12, kAtSent = 16,
                 kAtInput = 20, kAtFlags = 24, kAtX = 28, kAtY = 32, kAtFullscreenPid = 36, kAtCount = 40,
                 kAtProcesses = 44;

}  // namespace

std::vector<uint8_t> encode(const Report& r) {
    std::vector<uint8_t> out(kMessageSize, 0);
    platform::storeLE32(out.data() + kAtMagic, kMagic);
    platform::storeLE16(out.data() + kAtVersion, kVersion);
    platform::storeLE16(out.data() + kAtSize, static_cast<uint16_t>(kMessageSize));
    platform::storeLE32(out.data() + kAtSession, r.sessionId);
    platform::storeLE32(out.data() + kAtSequence, r.sequence);
    platform::storeLE32(out.data() + kAtSent, r.sentTick);
    platform::storeLE32(out.data() + kAtInput, r.lastInputTick);
    uint32_t flags = (r.lastInputKnown ? kLastInputKnown : 0) | (r.cursorKnown ? kCursorKnown : 0) |
                     (r.fullscreen ? kFullscreen : 0) | (r.screenSaver ? kScreenSaver : 0);
    platform::storeLE32(out.data() + kAtFlags, flags);
    platform::storeLE32(out.data() + kAtX, static_cast<uint32_t>(r.cursorX));
    platform::storeLE32(out.data() + kAtY, static_cast<uint32_t>(r.cursorY));
    platform::storeLE32(out.data() + kAtFullscreenPid, r.fullscreenProcessId);
    const uint32_t count = static_cast<uint32_t>(std::min<size_t>(r.windowedProcesses.size(), kMaxProcesses));
    platform::storeLE32(out.data() + kAtCount, count);
    for (uint32_t i = 0; i < count; ++i) platform::storeLE32(out.data() + kAtProcesses + 4 * i, r.windowedProcesses[i]);
    return out;
}

DecodeResult decode(const uint8_t* data, size_t size, Report& out) {
    if (size < kAtSize + 2 || platform::loadLE32(data + kAtMagic) != kMagic) return DecodeResult::Malformed;
    // The version goes first, so that a newer agent is told apart from a broken one.
    if (platform::loadLE16(data + kAtVersion) != kVersion) return DecodeResult::WrongVersion;
    if (size != kMessageSize || platform::loadLE16(data + kAtSize) != kMessageSize) return DecodeResult::Malformed;
    const uint32_t flags = platform::loadLE32(data + kAtFlags);
    const uint32_t count = platform::loadLE32(data + kAtCount);
    if ((flags & ~kAllFlags) || count > kMaxProcesses) return DecodeResult::Malformed;
    Report r;
    r.sessionId = platform::loadLE32(data + kAtSession);
    r.sequence = platform::loadLE32(data + kAtSequence);
    r.sentTick = platform::loadLE32(data + kAtSent);
    r.lastInputTick = platform::loadLE32(data + kAtInput);
    r.lastInputKnown = flags & kLastInputKnown;
    r.cursorKnown = flags & kCursorKnown;
    r.fullscreen = flags & kFullscreen;
    r.screenSaver = flags & kScreenSaver;
    r.cursorX = static_cast<int32_t>(platform::loadLE32(data + kAtX));
    r.cursorY = static_cast<int32_t>(platform::loadLE32(data + kAtY));
    r.fullscreenProcessId = platform::loadLE32(data + kAtFullscreenPid);
    for (uint32_t i = 0; i < count; ++i) r.windowedProcesses.push_back(platform::loadLE32(data + kAtProcesses + 4 * i));
    out = std::move(r);
    return DecodeResult::Ok;
}

void CAgentReports::update(uint64_t connection, const Report& report, uint32_t now) {
    std::lock_guard<std::mutex> guard(lock_);
    Entry& e = entries_[connection];
    e.report = report;
    e.arrived = now;
}

void CAgentReports::remove(uint64_t connection) {
    std::lock_guard<std::mutex> guard(lock_);
    entries_.erase(connection);
}

bool CAgentReports::takeSessionView(uint32_t now, SessionView& view) {
    std::lock_guard<std::mutex> guard(lock_);
    view = SessionView();
    bool any = false;
    for (auto& item : entries_) {
        Entry& e = item.second;
        if (!fresh(e, now)) continue;
        any = true;
        const Report& r = e.report;
        // A session's first report is its starting point, not a change.
        if (e.taken) {
            if (r.cursorKnown && (r.cursorX != e.takenX || r.cursorY != e.takenY)) view.mouseMoved = true;
            if (r.lastInputKnown && r.lastInputTick != e.takenInput) view.inputSeen = true;
        }
        e.taken = true;
        e.takenX = r.cursorX;
        e.takenY = r.cursorY;
        e.takenInput = r.lastInputTick;
        view.fullscreen = view.fullscreen || (r.fullscreen && !r.screenSaver);
        view.screenSaver = view.screenSaver || r.screenSaver;
    }
    return any;
}

bool CAgentReports::peekSessionView(uint32_t now, SessionView& view) const {
    std::lock_guard<std::mutex> guard(lock_);
    view = SessionView();
    bool any = false;
    for (const auto& item : entries_) {
        if (!fresh(item.second, now)) continue;
        any = true;
        const Report& r = item.second.report;
        view.fullscreen = view.fullscreen || (r.fullscreen && !r.screenSaver);
        view.screenSaver = view.screenSaver || r.screenSaver;
    }
    return any;
}

bool CAgentReports::windowedProcesses(uint32_t now, std::vector<uint32_t>& ids) const {
    std::lock_guard<std::mutex> guard(lock_);
    bool any = false;
    for (const auto& item : entries_) {
        if (!fresh(item.second, now)) continue;
        any = true;
        for (uint32_t id : item.second.report.windowedProcesses)
            if (std::find(ids.begin(), ids.end(), id) == ids.end()) ids.push_back(id);
    }
    return any;
}

uint32_t CAgentReports::fullscreenProcess(uint32_t now) const {
    std::lock_guard<std::mutex> guard(lock_);
    for (const auto& item : entries_)
        if (fresh(item.second, now) && item.second.report.fullscreen && item.second.report.fullscreenProcessId)
            return item.second.report.fullscreenProcessId;
    return 0;
}

size_t CAgentReports::connectionCount() const {
    std::lock_guard<std::mutex> guard(lock_);
    return entries_.size();
}

CAgentReports& CAgentReports::process() {
    static CAgentReports reports;
    return reports;
}

}  // namespace agent
