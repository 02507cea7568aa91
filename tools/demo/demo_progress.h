// What the demo shows while the service works: the statistics and volume modes from the
// registry, and the events of the service's log (passes, mode changes, pauses).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace demo {

struct ServiceProgress {
    bool known = false;
    uint64_t processed = 0, defragged = 0, moved = 0;  // this pass
    uint64_t totalProcessed = 0, totalDefragged = 0, totalMoved = 0;
    int32_t status = 0;  // 1 paused, 3 working, 4 every volume in react mode
    std::string lastFile;
    std::vector<std::pair<char, int32_t>> modes;  // per volume: 0 scan, 1 react
};

// Reads the statistics and the modes of the given volumes.
ServiceProgress readProgress(const std::string& volumes);
std::string statusName(int32_t status);

// Follows a growing log file and picks out the lines worth showing.
class LogFollower {
public:
    explicit LogFollower(std::string path) : path_(std::move(path)) {}
    // New events since the last call, one line each.
    std::vector<std::string> poll();
    int pass() const { return pass_; }
    const std::string& pauseReason() const { return pauseReason_; }
    uint64_t simulatedUserFiles() const { return simulatedUserFiles_; }
    uint64_t errors() const { return errors_; }

private:
    void take(const std::string& line, std::vector<std::string>& events);

    std::string path_;
    uint64_t offset_ = 0;
    std::string partial_;
    std::string pending_;       // a message whose properties are still coming
    std::string pendingVolume_;
    int pass_ = -1;
    std::string pauseReason_;
    uint64_t simulatedUserFiles_ = 0;
    uint64_t errors_ = 0;
};

}  // namespace demo
