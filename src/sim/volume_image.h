// A memory volume kept in an image file, so that the service can stop and go on with it.
//
// Durability: the file holds the volume's state as it was when the image was written, followed
// by an append-only journal of every change made since (moves, created, grown and deleted
// files). Each change is appended and handed to the operating system before the call that made
// it returns success, so a change that succeeded survives a kill of the process; opening the
// image replays the journal and cuts off a record torn by a kill. Closing the image writes a new
// one with the journal folded in, to a temporary file that is then renamed over the old one.
//
// The state is written and read as a stream: a volume never exists twice in memory, whether as
// bytes and objects or as the file read whole. Images of the first format (no solid-state flag, no
// hard links) are still read.
//
// One process at a time may have an image open.
#pragma once
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "sim/memory_volume.h"

class CVolumeImage : public CMemoryVolume::Journal {
public:
    // Writes a new image holding `volume`, replacing any file at path.
    static bool create(const std::filesystem::path& path, const CMemoryVolume& volume, std::string& error);
    // Opens an image: its state plus every journalled change. From then on the memory volume
    // journals its changes to the file. Null with a reason when the file is missing or damaged.
    static std::shared_ptr<CVolumeImage> open(const std::filesystem::path& path, char16_t driveLetter,
                                              std::string& error);
    // The label (and geometry) of an image without loading it; false when it is not an image.
    static bool readGeometry(const std::filesystem::path& path, CMemoryVolume::Geometry& geometry);

    ~CVolumeImage() override;
    CVolumeImage(const CVolumeImage&) = delete;
    CVolumeImage& operator=(const CVolumeImage&) = delete;

    const std::shared_ptr<CMemoryVolume>& volume() const { return volume_; }
    const std::filesystem::path& path() const { return path_; }
    // Bytes of journal after the image's state.
    uint64_t journalBytes() const { return journalBytes_; }

    DWORD write(const std::vector<uint8_t>& record) override;

private:
    CVolumeImage(std::filesystem::path path, std::shared_ptr<CMemoryVolume> volume);
    // Writes the current state as a new image (journal folded in) and reopens the journal.
    bool compact(std::string& error);

    std::filesystem::path path_;
    std::shared_ptr<CMemoryVolume> volume_;
    std::ofstream journal_;
    uint64_t journalBytes_ = 0;
    bool broken_ = false;
};

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc = 0);
