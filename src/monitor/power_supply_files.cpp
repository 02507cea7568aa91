#include "monitor/power_supply_files.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace monitor {

namespace {

std::string readLine(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::string line;
    if (in) std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

int readNumber(const std::filesystem::path& file) {
    const std::string text = readLine(file);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9) return -1;
    return std::stoi(text);
}

bool isLineSupply(const std::string& type) { return type == "Mains" || type.rfind("USB", 0) == 0 || type == "Wireless"; }

bool isSystemBattery(const PowerSupplyInfo& s) { return s.type == "Battery" && s.scope != "Device" && s.present != 0; }

class SysfsPowerSource : public PowerSource {
public:
    explicit SysfsPowerSource(std::string root) : root_(std::move(root)) {}
    bool read(PowerStatus& status) override {
        std::vector<PowerSupplyInfo> supplies;
        if (!readPowerSupplies(root_, supplies)) return false;
        status = powerStatusFromSupplies(supplies);
        return true;
    }

private:
    std::string root_;
};

}  // namespace

PowerStatus powerStatusFromSupplies(const std::vector<PowerSupplyInfo>& supplies) {
    PowerStatus result;
    bool haveLine = false;
    bool lineOnline = false;
    const PowerSupplyInfo* battery = nullptr;
    for (const auto& s : supplies) {
        if (isLineSupply(s.type)) {
            haveLine = true;
            lineOnline = lineOnline || s.online == 1;
        } else if (isSystemBattery(s) && !battery) {
            battery = &s;
        }
    }

    if (haveLine) result.acLineStatus = lineOnline ? 1 : 0;
    else if (battery && battery->status == "Discharging") result.acLineStatus = 0;
    else if (battery && (battery->status == "Charging" || battery->status == "Full")) result.acLineStatus = 1;
    else result.acLineStatus = 255;

    if (!battery) {
        result.batteryFlag = 128;
    } else if (battery->capacity < 0) {
        result.batteryFlag = 255;
    } else {
        uint8_t flag = 0;
        if (battery->capacity > 66) flag = 1;
        else if (battery->capacity < 5) flag = 4;
        else if (battery->capacity < 33) flag = 2;
        if (battery->status == "Charging") flag |= 8;
        result.batteryFlag = flag;
    }
    return result;
}

bool readPowerSupplies(const std::string& root, std::vector<PowerSupplyInfo>& supplies) {
    std::error_code error;
    std::filesystem::directory_iterator it(root, error);
    if (error) return false;
    std::vector<std::filesystem::path> entries;
    for (; it != std::filesystem::directory_iterator(); it.increment(error)) {
        if (error) return false;
        entries.push_back(it->path());
    }
    std::sort(entries.begin(), entries.end());  // BAT0 before BAT1
    supplies.clear();
    for (const auto& dir : entries) {
        PowerSupplyInfo info;
        info.type = readLine(dir / "type");
        if (info.type.empty()) continue;
        info.scope = readLine(dir / "scope");
        info.status = readLine(dir / "status");
        info.online = readNumber(dir / "online");
        info.present = readNumber(dir / "present");
        info.capacity = readNumber(dir / "capacity");
        supplies.push_back(info);
    }
    return true;
}

std::shared_ptr<PowerSource> makeSysfsPowerSource(const std::string& root) {
    return std::make_shared<SysfsPowerSource>(root);
}

}  // namespace monitor
