// The binary primitives of the state files (resume info, change tracking): little-endian 32- and
// 64-bit integers, a bool as one byte, a wide string as a 32-bit count of UTF-16 code units
// followed by the units, raw bytes. Each primitive returns true only when every byte moved.
//
// A writer never touches the old file until commit(): it writes a temporary file beside it and
// renames it over the old one, so a stop in the middle of a write leaves the last whole file.
// A reader bounds every count it reads, so a damaged file cannot ask for gigabytes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/text.h"

namespace platform {

class StateFileWriter {
public:
    StateFileWriter();
    ~StateFileWriter();  // discards an uncommitted temporary file
    StateFileWriter(const StateFileWriter&) = delete;
    StateFileWriter& operator=(const StateFileWriter&) = delete;

    // False when the temporary file cannot be created.
    bool open(const WString& path);
    bool writeU32(uint32_t value);
    bool writeI32(int32_t value) { return writeU32(static_cast<uint32_t>(value)); }
    bool writeU64(uint64_t value);
    bool writeBool(bool value);
    bool writeWString(const WString& value);
    bool writeBytes(const void* data, size_t size);
    // Flushes and renames the temporary file over the target. False (target unchanged) when any
    // write or the rename failed.
    bool commit();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    bool failed_ = false;
};

class StateFileReader {
public:
    // The longest path the system handles, in UTF-16 units.
    static constexpr uint32_t kMaxStringLength = 32767;

    StateFileReader();
    ~StateFileReader();
    StateFileReader(const StateFileReader&) = delete;
    StateFileReader& operator=(const StateFileReader&) = delete;

    bool open(const WString& path);
    bool readU32(uint32_t& value);
    bool readI32(int32_t& value);
    bool readU64(uint64_t& value);
    // Only 0 and 1 are booleans; any other byte is damage.
    bool readBool(bool& value);
    // False for a count above maxLength (damage) or a short file.
    bool readWString(WString& value, uint32_t maxLength = kMaxStringLength);
    bool readBytes(void* data, size_t size);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace platform
