#include "sim/volume_image.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <system_error>

#include "platform/byte_order.h"

namespace fs = std::filesystem;

namespace {

constexpr char kMagic[8] = {'V', 'K', 'V', 'O', 'L', 'I', 'M', 'G'};
constexpr uint32_t kFormatVersion = 1;
constexpr size_t kHeaderBytes = 32;
constexpr size_t kRecordHeader = 8;
// A journal this long is folded into the image when it is opened.
constexpr uint64_t kCompactAtOpen = 64ull << 20;

// Eight tables, so that the checksum takes eight bytes a step: an image of a large volume is a
// gigabyte and more.
const std::array<std::array<uint32_t, 256>, 8>& crcTables() {
    static const std::array<std::array<uint32_t, 256>, 8> tables = [] {
        std::array<std::array<uint32_t, 256>, 8> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[0][i] = c;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (size_t k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
        return t;
    }();
    return tables;
}


// The state goes to the file through the checksum.
class FileSink : public CMemoryVolume::StateSink {
public:
    explicit FileSink(std::ofstream& out) : out_(out) {}
    bool write(const uint8_t* data, size_t size) override {
        crc_ = crc32(data, size, crc_);
        bytes_ += size;
        out_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
        return static_cast<bool>(out_);
    }
    uint32_t crc() const { return crc_; }
    uint64_t bytes() const { return bytes_; }

private:
    std::ofstream& out_;
    uint32_t crc_ = 0;
    uint64_t bytes_ = 0;
};

// The state comes from the file, `length` bytes of it, through the checksum.
class FileSource : public CMemoryVolume::StateSource {
public:
    FileSource(std::ifstream& in, uint64_t length) : in_(in), left_(length) {}
    bool read(uint8_t* data, size_t size) override {
        if (size > left_) return false;
        in_.read(reinterpret_cast<char*>(data), static_cast<std::streamsize>(size));
        if (static_cast<size_t>(in_.gcount()) != size) return false;
        crc_ = crc32(data, size, crc_);
        left_ -= size;
        return true;
    }
    uint64_t remaining() const override { return left_; }
    // Reads what is left, for the checksum of a state that did not decode.
    void drain() {
        std::vector<uint8_t> buffer(1 << 20);
        while (left_ > 0 && read(buffer.data(), static_cast<size_t>(std::min<uint64_t>(left_, buffer.size())))) {
        }
    }
    uint32_t crc() const { return crc_; }

private:
    std::ifstream& in_;
    uint64_t left_;
    uint32_t crc_ = 0;
};

bool writeImage(const fs::path& path, const CMemoryVolume& volume, std::string& error) {
    fs::path temporary = path;
    temporary += ".tmp";
    bool ok;
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        uint8_t header[kHeaderBytes] = {};
        out.write(reinterpret_cast<const char*>(header), sizeof header);
        FileSink sink(out);
        ok = out && volume.serialize(sink);
        // The header, with the length and checksum of what followed, goes in last.
        std::memcpy(header, kMagic, sizeof kMagic);
        platform::storeLE32(header + 8, kFormatVersion);
        platform::storeLE64(header + 16, sink.bytes());
        platform::storeLE32(header + 24, sink.crc());
        out.seekp(0);
        out.write(reinterpret_cast<const char*>(header), sizeof header);
        out.flush();
        ok = ok && static_cast<bool>(out);
    }
    if (!ok) {
        error = "cannot write " + temporary.u8string();
        std::error_code ignored;
        fs::remove(temporary, ignored);
        return false;
    }
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) {
        error = "cannot replace " + path.u8string() + ": " + ec.message();
        fs::remove(temporary, ec);
        return false;
    }
    return true;
}

// The length of the state behind a header; false when the header is not that of an image.
bool readHeader(std::ifstream& in, uint64_t fileSize, uint64_t& length, uint32_t& crc, std::string& error) {
    uint8_t header[kHeaderBytes];
    if (fileSize < kHeaderBytes || !in.read(reinterpret_cast<char*>(header), sizeof header) ||
        std::memcmp(header, kMagic, sizeof kMagic) != 0) {
        error = "not a volume image";
        return false;
    }
    if (platform::loadLE32(header + 8) != kFormatVersion) {
        error = "unknown volume image version";
        return false;
    }
    length = platform::loadLE64(header + 16);
    crc = platform::loadLE32(header + 24);
    if (length > fileSize - kHeaderBytes) {
        error = "volume image is cut short";
        return false;
    }
    return true;
}

}  // namespace

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc) {
    const auto& t = crcTables();
    crc = ~crc;
    for (; size >= 8; size -= 8, data += 8) {
        const uint32_t lo = crc ^ platform::loadLE32(data), hi = platform::loadLE32(data + 4);
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
              t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    }
    for (; size > 0; --size, ++data) crc = t[0][(crc ^ *data) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

bool CVolumeImage::create(const fs::path& path, const CMemoryVolume& volume, std::string& error) {
    return writeImage(path, volume, error);
}

bool CVolumeImage::readGeometry(const fs::path& path, CMemoryVolume::Geometry& geometry) {
    std::ifstream in(path, std::ios::binary);
    std::error_code ec;
    const uint64_t size = fs::file_size(path, ec);
    uint64_t length;
    uint32_t crc;
    std::string error;
    if (ec || !in || !readHeader(in, size, length, crc, error)) return false;
    FileSource source(in, length);
    return CMemoryVolume::readGeometry(source, geometry, error);
}

CVolumeImage::CVolumeImage(fs::path path, std::shared_ptr<CMemoryVolume> volume)
    : path_(std::move(path)), volume_(std::move(volume)) {}

std::shared_ptr<CVolumeImage> CVolumeImage::open(const fs::path& path, char16_t driveLetter, std::string& error) {
    std::error_code ec;
    const uint64_t size = fs::file_size(path, ec);
    std::ifstream in(path, std::ios::binary);
    if (ec || !in) {
        error = "cannot open " + path.u8string();
        return nullptr;
    }
    uint64_t length;
    uint32_t crc;
    if (!readHeader(in, size, length, crc, error)) return nullptr;
    // The state is decoded as it is read; the checksum is known only at its end.
    FileSource source(in, length);
    std::shared_ptr<CMemoryVolume> volume = CMemoryVolume::deserialize(source, error);
    if (!volume) source.drain();
    if (source.remaining() != 0 || source.crc() != crc) {
        error = "volume image is damaged";
        return nullptr;
    }
    if (!volume) return nullptr;

    // Replay the journal up to the first record that is incomplete or does not check out: a
    // kill in the middle of an append leaves such a tail, and the change it held never
    // reported success.
    const uint64_t end = kHeaderBytes + length;
    uint64_t at = end;
    std::vector<uint8_t> payload;
    while (size - at >= kRecordHeader) {
        uint8_t header[kRecordHeader];
        if (!in.read(reinterpret_cast<char*>(header), sizeof header)) break;
        const uint32_t recordLength = platform::loadLE32(header);
        if (recordLength > size - at - kRecordHeader) break;
        payload.resize(recordLength);
        if (recordLength && !in.read(reinterpret_cast<char*>(payload.data()), recordLength)) break;
        if (crc32(payload.data(), recordLength) != platform::loadLE32(header + 4)) break;
        if (!volume->replay(payload.data(), recordLength)) break;
        at += kRecordHeader + recordLength;
    }
    in.close();
    if (at < size) {
        fs::resize_file(path, at, ec);
        if (ec) {
            error = "cannot cut the torn journal of " + path.u8string();
            return nullptr;
        }
    }

    volume->setDriveLetter(driveLetter);
    std::shared_ptr<CVolumeImage> image(new CVolumeImage(path, volume));
    image->journalBytes_ = at - end;
    if (image->journalBytes_ > kCompactAtOpen) {
        if (!image->compact(error)) return nullptr;
    } else {
        image->journal_.open(path, std::ios::binary | std::ios::app);
        if (!image->journal_) {
            error = "cannot write to " + path.u8string();
            return nullptr;
        }
    }
    volume->setJournal(image.get());
    return image;
}

CVolumeImage::~CVolumeImage() {
    volume_->setJournal(nullptr);
    if (journalBytes_ > 0) {
        std::string ignored;
        compact(ignored);
    }
}

bool CVolumeImage::compact(std::string& error) {
    journal_.close();
    if (!writeImage(path_, *volume_, error)) {
        journal_.open(path_, std::ios::binary | std::ios::app);
        return false;
    }
    journalBytes_ = 0;
    journal_.open(path_, std::ios::binary | std::ios::app);
    return static_cast<bool>(journal_);
}

DWORD CVolumeImage::write(const std::vector<uint8_t>& record) {
    // After a failed append the file may end in a partial record; anything behind it would be
    // lost at the next open, so nothing more is accepted.
    if (broken_) return ERROR_WRITE_FAULT;
    uint8_t header[kRecordHeader];
    platform::storeLE32(header, static_cast<uint32_t>(record.size()));
    platform::storeLE32(header + 4, crc32(record.data(), record.size()));
    journal_.write(reinterpret_cast<const char*>(header), sizeof header);
    journal_.write(reinterpret_cast<const char*>(record.data()), static_cast<std::streamsize>(record.size()));
    // Handed to the operating system before the change may report success.
    journal_.flush();
    if (!journal_) {
        broken_ = true;
        return ERROR_WRITE_FAULT;
    }
    journalBytes_ += sizeof header + record.size();
    return ERROR_SUCCESS;
}
