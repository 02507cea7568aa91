// Where the machine's fixed drives come from: the real drives (Windows), or the volume images
// of a simulation directory, one drive letter per image. One provider is chosen when the
// settings load; the drive list, drive type, label and the volume object for a letter all come
// from it. Implementations are thread safe.
#pragma once
#include <cstdint>
#include <memory>

#include "platform/text.h"

class CDfrgVolume;

class CVolumeProvider {
public:
    static constexpr uint32_t kDriveFixed = 3;

    virtual ~CVolumeProvider() = default;
    // Bit n set for every present drive letter 'A'+n (GetLogicalDrives).
    virtual uint32_t logicalDrives() = 0;
    // The drive type of a root path such as u"C:\\" (GetDriveTypeW: 3 is a fixed drive).
    virtual uint32_t driveType(const WString& rootPath) = 0;
    // The volume label of a root path; false when it cannot be read.
    virtual bool volumeLabel(const WString& rootPath, WString& label) = 0;
    // Opens the volume of a drive letter; throws CDfrgException(ErrorVolumeUnavailable) when it
    // cannot be opened.
    virtual std::unique_ptr<CDfrgVolume> openVolume(char driveLetter) = 0;
};

// The real drives on Windows; on other platforms the images in the default simulation
// directory "..\volumes\" (defined by the simulation layer there).
std::shared_ptr<CVolumeProvider> makeSystemVolumeProvider();
