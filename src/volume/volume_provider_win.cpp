// Windows only: the real drives.
#include "volume/volume_provider.h"

#include "platform/win32_types.h"
#include "platform/dfrg_exception.h"
#include "volume/windows_volume.h"

namespace {
class WindowsVolumeProvider : public CVolumeProvider {
public:
    uint32_t logicalDrives() override { return GetLogicalDrives(); }
    uint32_t driveType(const WString& rootPath) override {
        return GetDriveTypeW(reinterpret_cast<const wchar_t*>(rootPath.c_str()));
    }
    bool volumeLabel(const WString& rootPath, WString& label) override {
        wchar_t buffer[256] = {};
        if (!GetVolumeInformationW(reinterpret_cast<const wchar_t*>(rootPath.c_str()), buffer, 255, nullptr, nullptr,
                                   nullptr, nullptr, 0))
            return false;
        label.assign(reinterpret_cast<const char16_t*>(buffer));
        return true;
    }
    std::unique_ptr<CDfrgVolume> openVolume(char driveLetter) override {
        return std::make_unique<CWindowsVolume>(static_cast<char16_t>(driveLetter));
    }
};
}  // namespace

std::shared_ptr<CVolumeProvider> makeSystemVolumeProvider() { return std::make_shared<WindowsVolumeProvider>(); }
