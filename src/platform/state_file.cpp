#include "platform/state_file.h"

namespace platform {

bool StateFileWriter::writeU32(uint32_t v) {
    unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                          static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
    return writeBytes(b, 4);
}

bool StateFileWriter::writeU64(uint64_t v) {
    return writeU32(static_cast<uint32_t>(v)) && writeU32(static_cast<uint32_t>(v >> 32));
}

bool StateFileWriter::writeBool(bool v) {
    unsigned char b = v ? 1 : 0;
    return writeBytes(&b, 1);
}

bool StateFileWriter::writeWString(const WString& s) {
    if (!writeU32(static_cast<uint32_t>(s.size()))) return false;
    std::string bytes;
    bytes.reserve(s.size() * 2);
    for (char16_t c : s) {
        bytes.push_back(static_cast<char>(c & 0xFF));
        bytes.push_back(static_cast<char>(c >> 8));
    }
    return writeBytes(bytes.data(), bytes.size());
}

bool StateFileReader::readU32(uint32_t& v) {
    unsigned char b[4];
    if (!readBytes(b, 4)) return false;
    v = static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 | static_cast<uint32_t>(b[2]) << 16 |
        static_cast<uint32_t>(b[3]) << 24;
    return true;
}

bool StateFileReader::readI32(int32_t& v) {
    uint32_t u;
    if (!readU32(u)) return false;
    v = static_cast<int32_t>(u);
    return true;
}

bool StateFileReader::readU64(uint64_t& v) {
    uint32_t lo, hi;
    if (!readU32(lo) || !readU32(hi)) return false;
    v = static_cast<uint64_t>(hi) << 32 | lo;
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
    std::string bytes(static_cast<size_t>(n) * 2, '\0');
    if (n && !readBytes(&bytes[0], bytes.size())) return false;
    s.resize(n);
    for (uint32_t i = 0; i < n; ++i)
        s[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) | static_cast<unsigned char>(bytes[2 * i + 1]) << 8);
    return true;
}

}  // namespace platform
