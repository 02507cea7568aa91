#include "sim/volume_image.h"

#include <array>
#include <cstring>
#include <system_error>

#include "sim/memory_volume_state.h"

namespace fs = std::filesystem;

namespace {

constexpr char kMagic[8] = {'V', 'K', 'V', 'O', 'L', 'I', 'M', 'G'};
constexpr uint32_t kFormatVersion = 1;
constexpr size_t kHeaderBytes = 32;
constexpr size_t kRecordHeader = 8;
// A journal this long is folded into the image when it is opened.
constexpr uint64_t kCompactAtOpen = 64ull << 20;

const std::array<uint32_t, 256>& crcTable() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return table;
}

void put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
           static_cast<uint32_t>(p[3]) << 24;
}
uint64_t get64(const uint8_t* p) { return get32(p) | static_cast<uint64_t>(get32(p + 4)) << 32; }

bool readWhole(const fs::path& path, std::vector<uint8_t>& data, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path.u8string();
        return false;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    if (size < 0) {
        error = "cannot read " + path.u8string();
        return false;
    }
    data.resize(static_cast<size_t>(size));
    if (size > 0 && !in.read(reinterpret_cast<char*>(data.data()), size)) {
        error = "cannot read " + path.u8string();
        return false;
    }
    return true;
}

bool writeImage(const fs::path& path, const std::vector<uint8_t>& state, std::string& error) {
    uint8_t header[kHeaderBytes] = {};
    std::memcpy(header, kMagic, sizeof kMagic);
    put32(header + 8, kFormatVersion);
    put64(header + 16, state.size());
    put32(header + 24, crc32(state.data(), state.size()));
    fs::path temporary = path;
    temporary += ".tmp";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(header), sizeof header);
        out.write(reinterpret_cast<const char*>(state.data()), static_cast<std::streamsize>(state.size()));
        out.flush();
        if (!out) {
            error = "cannot write " + temporary.u8string();
            std::error_code ignored;
            fs::remove(temporary, ignored);
            return false;
        }
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

// Where the journal starts; 0 when the header is not that of an image.
size_t stateEnd(const std::vector<uint8_t>& data, std::string& error) {
    if (data.size() < kHeaderBytes || std::memcmp(data.data(), kMagic, sizeof kMagic) != 0) {
        error = "not a volume image";
        return 0;
    }
    if (get32(data.data() + 8) != kFormatVersion) {
        error = "unknown volume image version";
        return 0;
    }
    const uint64_t length = get64(data.data() + 16);
    if (length > data.size() - kHeaderBytes) {
        error = "volume image is cut short";
        return 0;
    }
    if (crc32(data.data() + kHeaderBytes, static_cast<size_t>(length)) != get32(data.data() + 24)) {
        error = "volume image is damaged";
        return 0;
    }
    return kHeaderBytes + static_cast<size_t>(length);
}

}  // namespace

uint32_t crc32(const uint8_t* data, size_t size, uint32_t crc) {
    const auto& table = crcTable();
    crc = ~crc;
    for (size_t i = 0; i < size; ++i) crc = table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

bool CVolumeImage::create(const fs::path& path, const CMemoryVolume& volume, std::string& error) {
    std::vector<uint8_t> state;
    volume.serialize(state);
    return writeImage(path, state, error);
}

bool CVolumeImage::readGeometry(const fs::path& path, CMemoryVolume::Geometry& geometry) {
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> head(kHeaderBytes + 4096);
    in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
    if (head.size() < kHeaderBytes || std::memcmp(head.data(), kMagic, sizeof kMagic) != 0) return false;
    memvol::ByteReader r(head.data() + kHeaderBytes, head.size() - kHeaderBytes);
    uint32_t version;
    return r.u32(version) && r.u64(geometry.totalClusters) && r.u32(geometry.bytesPerCluster) &&
           r.u32(geometry.bytesPerSector) && r.u32(geometry.serialNumber) && r.text(geometry.label, 255) &&
           r.text(geometry.fileSystemName, 255);
}

CVolumeImage::CVolumeImage(fs::path path, std::shared_ptr<CMemoryVolume> volume)
    : path_(std::move(path)), volume_(std::move(volume)) {}

std::shared_ptr<CVolumeImage> CVolumeImage::open(const fs::path& path, char16_t driveLetter, std::string& error) {
    std::vector<uint8_t> data;
    if (!readWhole(path, data, error)) return nullptr;
    const size_t end = stateEnd(data, error);
    if (end == 0) return nullptr;
    std::shared_ptr<CMemoryVolume> volume =
        CMemoryVolume::deserialize(data.data() + kHeaderBytes, end - kHeaderBytes, error);
    if (!volume) return nullptr;

    // Replay the journal up to the first record that is incomplete or does not check out: a
    // kill in the middle of an append leaves such a tail, and the change it held never
    // reported success.
    size_t at = end;
    while (data.size() - at >= kRecordHeader) {
        const uint32_t length = get32(data.data() + at);
        if (length > data.size() - at - kRecordHeader) break;
        const uint8_t* payload = data.data() + at + kRecordHeader;
        if (crc32(payload, length) != get32(data.data() + at + 4)) break;
        if (!volume->replay(payload, length)) break;
        at += kRecordHeader + length;
    }
    std::error_code ec;
    if (at < data.size()) {
        fs::resize_file(path, at, ec);
        if (ec) {
            error = "cannot cut the torn journal of " + path.u8string();
            return nullptr;
        }
    }
    data.clear();
    data.shrink_to_fit();

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
    std::vector<uint8_t> state;
    volume_->serialize(state);
    journal_.close();
    if (!writeImage(path_, state, error)) {
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
    put32(header, static_cast<uint32_t>(record.size()));
    put32(header + 4, crc32(record.data(), record.size()));
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
