// What the user-session agent reports to the service, and the service's store of the freshest
// reports. A service runs in a session of its own and cannot see the user's input, cursor or
// windows; an agent in each interactive session sees them and sends a report every 750 ms.
//
// Wire format: one fixed-size message per report, little-endian, versioned. A message of another
// size, magic, version or with a count out of range is malformed; the service drops the client.
#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace agent {

constexpr const char* kAgentPipeName = "\\\\.\\pipe\\VelkarisDefragServiceAgentPipe";
constexpr uint32_t kMagic = 0x52414456;  // "VDAR"
constexpr uint16_t kVersion = 1;
constexpr uint32_t kMaxProcesses = 64;
constexpr size_t kMessageSize = 44 + 4 * kMaxProcesses;
constexpr uint32_t kReportPeriodMs = 750;
// A report older than this no longer speaks for its session.
constexpr uint32_t kFreshMs = 2000;

struct Report {
    uint32_t sessionId = 0;
    uint32_t sequence = 0;
    uint32_t sentTick = 0;  // the agent's tick when it sent the report
    bool lastInputKnown = false;
    uint32_t lastInputTick = 0;  // GetLastInputInfo in the agent's session
    bool cursorKnown = false;
    int32_t cursorX = 0, cursorY = 0;
    bool fullscreen = false;  // a full-screen window is in front
    bool screenSaver = false;
    uint32_t fullscreenProcessId = 0;  // owner of the full-screen window, 0 when none
    // Processes that own a visible top-level window, without those that carry the ignore marker.
    std::vector<uint32_t> windowedProcesses;
};

enum class DecodeResult { Ok, Malformed, WrongVersion };

// Exactly kMessageSize bytes; the process list is cut to kMaxProcesses.
std::vector<uint8_t> encode(const Report& report);
DecodeResult decode(const uint8_t* data, size_t size, Report& out);

// What the agents' latest reports say together. Any session speaks: input in any session counts.
struct SessionView {
    bool mouseMoved = false;
    bool inputSeen = false;
    bool fullscreen = false;
    bool screenSaver = false;
};

// The freshest report of every connected agent. Thread safe: the agent pipe's client threads
// update it, the monitoring thread reads it.
class CAgentReports {
public:
    // A new report of a connection; `now` is the service's tick at arrival.
    void update(uint64_t connection, const Report& report, uint32_t now);
    void remove(uint64_t connection);

    // False when no report is at most kFreshMs old (the service then asks its own probes). The
    // input flags say whether a cursor or last-input time changed since the previous call, so
    // one caller (the monitoring thread) takes them.
    bool takeSessionView(uint32_t now, SessionView& view);
    // The same without taking the input changes; false without a fresh report.
    bool peekSessionView(uint32_t now, SessionView& view) const;
    // The union of the fresh reports' windowed processes; false without a fresh report.
    bool windowedProcesses(uint32_t now, std::vector<uint32_t>& ids) const;
    // The owner of a full-screen window in a fresh report, or 0.
    uint32_t fullscreenProcess(uint32_t now) const;
    size_t connectionCount() const;

    // The service's store.
    static CAgentReports& process();

private:
    struct Entry {
        Report report;
        uint32_t arrived = 0;
        // The values the last take saw, to tell a change.
        bool taken = false;
        uint32_t takenInput = 0;
        int32_t takenX = 0, takenY = 0;
    };
    static bool fresh(const Entry& e, uint32_t now) { return now - e.arrived <= kFreshMs; }

    mutable std::mutex lock_;
    std::map<uint64_t, Entry> entries_;
};

}  // namespace agent
