#include "support/fake_volume_provider.h"

#include <cctype>
#include <string>

#include "platform/dfrg_exception.h"
#include "sim/simulated_volume.h"

namespace {
char upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }
}  // namespace

void FakeVolumeProvider::addDrive(char letter, uint32_t type, const WString& label, bool labelReadable) {
    std::lock_guard<std::mutex> lock(lock_);
    drives_[upper(letter)] = Drive{type, label, labelReadable, nullptr};
}

void FakeVolumeProvider::removeDrive(char letter) {
    std::lock_guard<std::mutex> lock(lock_);
    drives_.erase(upper(letter));
}

void FakeVolumeProvider::add(char letter, std::shared_ptr<CMemoryVolume> volume) {
    volume->setDriveLetter(static_cast<char16_t>(letter));
    WString label = volume->geometry().label;
    std::lock_guard<std::mutex> lock(lock_);
    drives_[upper(letter)] = Drive{kDriveFixed, label, true, std::move(volume)};
}

void FakeVolumeProvider::failOpening(char letter) { addDrive(letter, kDriveFixed, WString(), false); }

uint32_t FakeVolumeProvider::logicalDrives() {
    std::lock_guard<std::mutex> lock(lock_);
    uint32_t mask = 0;
    for (const auto& d : drives_) mask |= 1u << (d.first - 'A');
    return mask;
}

const FakeVolumeProvider::Drive* FakeVolumeProvider::find(const WString& rootPath) {
    if (rootPath.size() != 3 || rootPath[1] != u':' || rootPath[2] != u'\\' || rootPath[0] > 0x7F) return nullptr;
    auto it = drives_.find(upper(static_cast<char>(rootPath[0])));
    return it == drives_.end() ? nullptr : &it->second;
}

uint32_t FakeVolumeProvider::driveType(const WString& rootPath) {
    std::lock_guard<std::mutex> lock(lock_);
    const Drive* d = find(rootPath);
    return d ? d->type : kDriveNoRootDir;
}

bool FakeVolumeProvider::volumeLabel(const WString& rootPath, WString& label) {
    std::lock_guard<std::mutex> lock(lock_);
    const Drive* d = find(rootPath);
    if (!d || !d->labelReadable) return false;
    label = d->label;
    return true;
}

std::unique_ptr<CDfrgVolume> FakeVolumeProvider::openVolume(char driveLetter) {
    std::shared_ptr<CMemoryVolume> volume;
    {
        std::lock_guard<std::mutex> lock(lock_);
        auto it = drives_.find(upper(driveLetter));
        if (it != drives_.end()) volume = it->second.volume;
    }
    if (!volume)
        throw CDfrgException(ErrorVolumeUnavailable, std::string("Couldn't open Volume ! \\\\.\\") + driveLetter + ":");
    return std::make_unique<CSimulatedVolume>(volume, nullptr, [](uint32_t) {});
}
