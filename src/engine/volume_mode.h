// Every volume's mode, kept under the product key: "volumeMode_<L>" (REG_DWORD, 0 scan mode,
// 1 react mode) and "volumeModeTime_<L>" (REG_QWORD, the FILETIME of the last write), with one
// "volumeModeVersion" (REG_DWORD, 1) for the key. L is the drive letter as the volume reports it.
// Registry failures are not reported: a mode that cannot be read is 0, a write that fails
// stores nothing.
#pragma once
#include <cstdint>

constexpr int32_t kVolumeModeScan = 0;
constexpr int32_t kVolumeModeReact = 1;
constexpr uint32_t kVolumeModeVersion = 1;

// The stored mode (0 when none). With ageDays, also the days since it was written (0.0 when the
// time is missing).
int32_t readVolumeMode(char16_t driveLetter, double* ageDays = nullptr);
// Stores the mode and stamps the current time.
void writeVolumeMode(char16_t driveLetter, int32_t mode);
// Unless "volumeModeVersion" is 1: deletes every value named "volumeMode_..." or
// "volumeModeTime_..." (any case) and sets the version, so that every volume starts over in
// scan mode after an upgrade from an older layout.
void checkVolumeModeVersion();
