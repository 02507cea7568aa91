#include "demo_progress.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>


namespace demo {

std::vector<std::string> LogFollower::poll() {
    std::vector<std::string> events;
    std::ifstream in(path_, std::ios::binary);
    if (!in) return events;
    in.seekg(0, std::ios::end);
    auto size = static_cast<uint64_t>(in.tellg());
    if (size < offset_) offset_ = 0;  // a new log
    in.seekg(static_cast<std::streamoff>(offset_));
    std::string chunk(size - offset_, '\0');
    in.read(&chunk[0], static_cast<std::streamsize>(chunk.size()));
    offset_ = size;
    partial_ += chunk;
    size_t start = 0, end;
    while ((end = partial_.find('\n', start)) != std::string::npos) {
        std::string line = partial_.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        take(line, events);
        start = end + 1;
    }
    partial_.erase(0, start);
    return events;
}

namespace {
std::string textOf(const std::string& line) {
    size_t arrow = line.find(": -> ");
    return arrow == std::string::npos ? std::string() : line.substr(arrow + 5);
}
std::string propertyValue(const std::string& line, const std::string& name) {
    return line.rfind(name + ": ", 0) == 0 ? line.substr(name.size() + 2) : std::string();
}
}  // namespace

void LogFollower::take(const std::string& line, std::vector<std::string>& events) {
    // Properties follow their message on lines of their own.
    if (!pending_.empty()) {
        std::string volume = propertyValue(line, "Volume");
        if (!volume.empty()) pendingVolume_ = volume;
        std::string pass = propertyValue(line, "Pass");
        if (!pass.empty() && pending_ == "Finished Scan pass") pass_ = std::atoi(pass.c_str());
        std::string clusters = propertyValue(line, "Clusters moved");
        if (!clusters.empty() && pending_ == "Finished Scan pass") {
            passClusters_ = std::strtoull(clusters.c_str(), nullptr, 10);
            clustersMoved_ += passClusters_;
        }
        std::string reason = propertyValue(line, "New Reason");
        std::string file = propertyValue(line, "FileName");
        if (!file.empty() && pending_ == "Simulated user wrote a file" &&
            std::find(simulatedUserNames_.begin(), simulatedUserNames_.end(), file) == simulatedUserNames_.end())
            simulatedUserNames_.push_back(file);
        if (!reason.empty()) pauseReason_ = reason;
        if (line.empty() || line.find(": -> ") != std::string::npos) {
            if (pending_ == "Simulated user wrote a file")
                ;  // counted, not shown
            else if (pending_ == "Finished Scan pass")
                events.push_back("pass " + std::to_string(pass_) + " finished on " + pendingVolume_ + ", " +
                                 std::to_string(passClusters_) + " clusters moved");
            else if (pending_ != "New Pause Reason")
                events.push_back(pending_ + (pendingVolume_.empty() ? "" : " (" + pendingVolume_ + ")"));
            pending_.clear();
            pendingVolume_.clear();
        }
        if (line.find(": -> ") == std::string::npos) return;
    }
    std::string text = textOf(line);
    if (text.empty()) return;
    if (line.find("(Error") != std::string::npos) ++errors_;
    if (text == "Simulated user wrote a file") {
        ++simulatedUserFiles_;
        pending_ = text;
        return;
    }
    static const char* const interesting[] = {
        "Finished Scan pass", "Volume is clean. Switching to react mode",
        "Unable to defragment all files in standard mode. Activating panic mode.",
        "Unable to defragment all files in panic mode. Giving up for now...",
        "Resetting volume mode to scan mode because of react mode age.",
        "Change tracking invalidated. Switching to scan mode.", "Could not open volume.", "New Pause Reason"};
    for (const char* t : interesting) {
        if (text == t) {
            pending_ = text;
            passClusters_ = 0;
            return;
        }
    }
}

}  // namespace demo
