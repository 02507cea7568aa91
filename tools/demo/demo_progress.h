// What the demo shows of the service's log while it works: passes, mode changes, pauses.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace demo {

// Follows a growing log file and picks out the lines worth showing.
class LogFollower {
public:
    explicit LogFollower(std::string path) : path_(std::move(path)) {}
    // New events since the last call, one line each.
    std::vector<std::string> poll();
    int pass() const { return pass_; }
    const std::string& pauseReason() const { return pauseReason_; }
    uint64_t simulatedUserFiles() const { return simulatedUserFiles_; }
    // The files the simulated user wrote, each once.
    const std::vector<std::string>& simulatedUserNames() const { return simulatedUserNames_; }
    uint64_t errors() const { return errors_; }
    // Clusters the engine moved, summed over the passes it finished.
    uint64_t clustersMoved() const { return clustersMoved_; }

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
    std::vector<std::string> simulatedUserNames_;
    uint64_t errors_ = 0;
    uint64_t clustersMoved_ = 0;
    uint64_t passClusters_ = 0;
};

}  // namespace demo
