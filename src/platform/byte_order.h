// Little-endian integers and UTF-16 text in byte buffers: the one reader and writer of every
// binary format of the system (state files, registry values, images, journals, dumps).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/text.h"

namespace platform {

// The `bytes` low-order bytes of a little-endian number (bytes <= 8).
inline uint64_t loadLE(const uint8_t* p, size_t bytes) {
    uint64_t v = 0;
    for (size_t i = bytes; i-- > 0;) v = (v << 8) | p[i];
    return v;
}
inline uint16_t loadLE16(const uint8_t* p) { return static_cast<uint16_t>(loadLE(p, 2)); }
inline uint32_t loadLE32(const uint8_t* p) { return static_cast<uint32_t>(loadLE(p, 4)); }
inline uint64_t loadLE64(const uint8_t* p) { return loadLE(p, 8); }

inline void storeLE(uint8_t* p, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(value >> (8 * i));
}
inline void storeLE16(uint8_t* p, uint16_t value) { storeLE(p, value, 2); }
inline void storeLE32(uint8_t* p, uint32_t value) { storeLE(p, value, 4); }
inline void storeLE64(uint8_t* p, uint64_t value) { storeLE(p, value, 8); }

inline void appendLE(std::vector<uint8_t>& out, uint64_t value, size_t bytes) {
    for (size_t i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// UTF-16 code units, two bytes each, low byte first; no terminator is added or expected.
inline void appendUtf16LE(std::vector<uint8_t>& out, const WString& text) {
    out.reserve(out.size() + text.size() * 2);
    for (char16_t c : text) appendLE(out, c, 2);
}
inline WString loadUtf16LE(const uint8_t* p, size_t units) {
    WString text(units, u'\0');
    for (size_t i = 0; i < units; ++i) text[i] = static_cast<char16_t>(loadLE16(p + 2 * i));
    return text;
}

}  // namespace platform
