// POSIX only: no window system to ask; input and full-screen windows are never seen. Battery
// power is read from the power-supply class of sysfs.
#include <dirent.h>

#include <fstream>
#include <string>

#include "service/pause_policy.h"

namespace {

std::string readLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

class PosixUserActivity : public UserActivity {
public:
    bool lastInputTime(uint32_t&) override { return false; }
    bool cursorPosition(int32_t&, int32_t&) override { return false; }
    bool isOnBattery() override {
        // On battery when a battery discharges and no mains supply is online.
        const std::string base = "/sys/class/power_supply/";
        DIR* dir = opendir(base.c_str());
        if (!dir) return false;
        bool mainsOnline = false, discharging = false;
        while (dirent* e = readdir(dir)) {
            std::string name = e->d_name;
            if (name == "." || name == "..") continue;
            std::string type = readLine(base + name + "/type");
            if (type == "Mains" && readLine(base + name + "/online") == "1") mainsOnline = true;
            if (type == "Battery" && readLine(base + name + "/status") == "Discharging") discharging = true;
        }
        closedir(dir);
        return discharging && !mainsOnline;
    }
    bool hasFullscreenWindow() override { return false; }
    bool isScreenSaverRunning() override { return false; }
};

}  // namespace

UserActivity& systemUserActivity() {
    static PosixUserActivity activity;
    return activity;
}
