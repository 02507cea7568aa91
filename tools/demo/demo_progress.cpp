#include "demo_progress.h"

#include <fstream>

#include "config/product_key.h"
#include "config/registry.h"

namespace demo {

std::string statusName(int32_t status) {
    switch (status) {
    case 1: return "paused";
    case 3: return "working";
    case 4: return "all volumes clean, following changes";
    case 5: return "no work";
    default: return "starting";
    }
}

ServiceProgress readProgress(const std::string& volumes) {
    ServiceProgress p;
    CRegistry registry;
    CRegistryKey product;
    if (!registry.openKey(productKeyPath(), kRegKeyRead, nullptr, false, product)) return p;
    CRegistryKey statistics, complete;
    if (product.openSubKey("statistics", kRegKeyRead, false, statistics)) {
        p.known = true;
        statistics.queryQword(std::string("Processed Files"), p.processed, 0);
        statistics.queryQword(std::string("Defragged Files"), p.defragged, 0);
        statistics.queryQword(std::string("Moved Files"), p.moved, 0);
        uint32_t status = 0;
        statistics.queryDword(std::string("Status"), status, 0);
        p.status = static_cast<int32_t>(status);
        WString last;
        if (statistics.queryString(u"Last File", last, WString())) p.lastFile = platform::utf16ToUtf8(last);
        if (statistics.openSubKey("complete", kRegKeyRead, false, complete)) {
            complete.queryQword(std::string("Processed Files"), p.totalProcessed, 0);
            complete.queryQword(std::string("Defragged Files"), p.totalDefragged, 0);
            complete.queryQword(std::string("Moved Files"), p.totalMoved, 0);
        }
    }
    for (char letter : volumes) {
        uint32_t mode = 0;
        bool stored = product.queryDword(std::string("volumeMode_") + letter, mode, 0);
        p.modes.emplace_back(letter, stored ? static_cast<int32_t>(mode) : -1);
    }
    return p;
}

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
        std::string reason = propertyValue(line, "New Reason");
        if (!reason.empty()) pauseReason_ = reason;
        if (line.empty() || line.find(": -> ") != std::string::npos) {
            if (pending_ == "Finished Scan pass")
                events.push_back("pass " + std::to_string(pass_) + " finished on " + pendingVolume_);
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
    if (text == "Simulated user wrote a file") ++simulatedUserFiles_;
    static const char* const interesting[] = {
        "Finished Scan pass", "Volume is clean. Switching to react mode",
        "Unable to defragment all files in standard mode. Activating panic mode.",
        "Unable to defragment all files in panic mode. Giving up for now...",
        "Resetting volume mode to scan mode because of react mode age.",
        "Change tracking invalidated. Switching to scan mode.", "Could not open volume.", "New Pause Reason"};
    for (const char* t : interesting) {
        if (text == t) {
            pending_ = text;
            return;
        }
    }
}

}  // namespace demo
