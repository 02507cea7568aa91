#include "platform/state_file.h"

#include <vector>

#include "platform/byte_order.h"

namespace platform {

bool StateFileWriter::writeU32(uint32_t v) {
    uint8_t b[4];
    storeLE32(b, v);
    return writeBytes(b, 4);
}

bool StateFileWriter::writeU64(uint64_t v) {
    uint8_t b[8];
    storeLE64(b, v);
    return writeBytes(b, 8);
}

bool StateFileWriter::writeBool(bool v) {
    unsigned char b = v ? 1 : 0;
    return writeBytes(&b, 1);
}

bool StateFileWriter::writeWString(const WString& s) {
    if (!writeU32(static_cast<uint32_t>(s.size()))) return false;
    std::vector<uint8_t> bytes;
    appendUtf16LE(bytes, s);
    return writeBytes(bytes.data(), bytes.size());
}

bool StateFileReader::readU32(uint32_t& v) {
    uint8_t b[4];
    if (!readBytes(b, 4)) return false;
    v = loadLE32(b);
    return true;
}

bool StateFileReader::readI32(int32_t& v) {
    uint32_t u;
    if (!readU32(u)) return false;
    v = static_cast<int32_t>(u);
    return true;
}

bool StateFileReader::readU64(uint64_t& v) {
    uint8_t b[8];
    if (!readBytes(b, 8)) return false;
    v = loadLE64(b);
    return true;
}

bool StateFileReader::readBool(bool& v) {
    unsigned char b;
    if (!readBytes(&b, 1) || b > 1) return false;
    v = b == 1;
    return true;
}

bool StateFileReader::readWString(WString& s, uint32_t maxLength) {
    uint32_t n;
    if (!readU32(n) || n > maxLength) return false;
    std::vector<uint8_t> bytes(static_cast<size_t>(n) * 2);
    if (n && !readBytes(bytes.data(), bytes.size())) return false;
    s = loadUtf16LE(bytes.data(), n);
    return true;
}

}  // namespace platform
