#include "volume/volume_dump_format.h"

#include <algorithm>
#include <istream>
#include <ostream>
#include <string>

#include "platform/byte_order.h"
#include "platform/dfrg_exception.h"

namespace volume_dump {

namespace {

const char kVolumeTag[] = "VDFH";
const char kBitmapBeginTag[] = "BMPB";
const char kBitmapEndTag[] = "BMPE";
const char kEntryListTag[] = "EYLH";

// The smallest entry: an empty path (count and terminator), the two values, no extents.
constexpr uint64_t kMinEntryBytes = 4 + 2 + 4 + 8;
constexpr uint64_t kExtentBytes = 16;

class FileSink : public VolumeDumpSink {
public:
    explicit FileSink(FILE* file) : file_(file) {}
    bool write(const void* data, size_t size) override {
        return size == 0 || (file_ && std::fwrite(data, 1, size, file_) == size);
    }

private:
    FILE* file_;
};

class StreamSink : public VolumeDumpSink {
public:
    explicit StreamSink(std::ostream& out) : out_(out) {}
    bool write(const void* data, size_t size) override {
        out_.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
        return static_cast<bool>(out_);
    }

private:
    std::ostream& out_;
};

void checkPathLength(const WString& text) {
    if (text.size() > kMaxPathLength)
        throw CDfrgException(ErrorInvalidParameter, "Path too long for a volume dump: " + platform::utf16ToUtf8(text.substr(0, 64)) + "...");
}

}  // namespace

void VolumeDumpVolume::addEntry(const WString& path, const std::vector<VolumeDumpExtent>& runs) {
    VolumeDumpEntry e;
    e.path = path;
    e.firstExtent = extents.size();
    e.extentCount = runs.size();
    extents.insert(extents.end(), runs.begin(), runs.end());
    entries.push_back(std::move(e));
}

bool isDirectoryPath(const WString& path) {
    return !path.empty() && (path.back() == u'\\' || path.back() == u'/');
}

// ---------------------------------------------------------------------------------------------
// Writer

CVolumeDumpWriter::CVolumeDumpWriter(FILE* file) : owned_(new FileSink(file)), sink_(owned_.get()) {}
CVolumeDumpWriter::CVolumeDumpWriter(std::ostream& out) : owned_(new StreamSink(out)), sink_(owned_.get()) {}
CVolumeDumpWriter::CVolumeDumpWriter(VolumeDumpSink& sink) : sink_(&sink) {}
CVolumeDumpWriter::~CVolumeDumpWriter() = default;

void CVolumeDumpWriter::put(const void* data, size_t size, const char* what) {
    if (!sink_->write(data, size)) throw CDfrgException(ErrorWriteFile, what);
}

void CVolumeDumpWriter::putString(const WString& text) {
    // Count, text and terminator in one write, so that a short write is one failure.
    std::string bytes(4 + 2 * (text.size() + 1), '\0');
    auto* p = reinterpret_cast<unsigned char*>(&bytes[0]);
    platform::storeLE(p, text.size(), 4);
    for (size_t i = 0; i < text.size(); ++i) platform::storeLE(p + 4 + 2 * i, text[i], 2);
    if (!sink_->write(bytes.data(), bytes.size()))
        throw CDfrgException(ErrorWriteFile, "Error writing string " + platform::utf16ToUtf8(text));
}

void CVolumeDumpWriter::writeVolumeHeader(const VolumeDumpHeader& header) {
    checkPathLength(header.volumeName);
    put(kVolumeTag, 4, "Error writing tag VDFH");
    unsigned char letter[2];
    platform::storeLE(letter, header.driveLetter, 2);
    put(letter, 2, "Error writing drive letter");
    putString(header.volumeName);
    unsigned char facts[8 + 4 + 1];
    platform::storeLE(facts, header.totalClusters, 8);
    platform::storeLE(facts + 8, header.bytesPerCluster, 4);
    facts[12] = header.fileSystemType;
    put(facts, sizeof facts, "Error writing volume facts");
    totalClusters_ = header.totalClusters;
}

void CVolumeDumpWriter::writeBitmap(const uint8_t* bitmap, size_t size) {
    const uint64_t bytes = totalClusters_ / 8;
    if (size < bytes) throw CDfrgException(ErrorInvalidParameter, "Bitmap shorter than the volume");
    put(kBitmapBeginTag, 4, "Error writing tag BMPB");
    for (uint64_t done = 0; done < bytes;) {
        size_t block = static_cast<size_t>(std::min<uint64_t>(kBitmapBlockBytes, bytes - done));
        put(bitmap + done, block, "Error writing bitmap");
        done += block;
    }
    put(kBitmapEndTag, 4, "Error writing tag BMPE");
}

void CVolumeDumpWriter::writeEntryListHeader(uint64_t entryCount) {
    unsigned char head[4 + 8];
    std::copy(kEntryListTag, kEntryListTag + 4, head);
    platform::storeLE(head + 4, entryCount, 8);
    put(head, sizeof head, "Error writing entry count");
}

void CVolumeDumpWriter::writeEntry(const WString& path, const VolumeDumpExtent* extents, size_t count) {
    checkPathLength(path);
    putString(path);
    unsigned char values[4 + 8];
    platform::storeLE(values, kEntryMark, 4);
    platform::storeLE(values + 4, count, 8);
    put(values, sizeof values, "Error writing Entry");
    for (size_t i = 0; i < count; ++i) {
        unsigned char lcn[8];
        platform::storeLE(lcn, extents[i].start, 8);
        put(lcn, 8, "Error writing lStart");
        platform::storeLE(lcn, extents[i].end, 8);
        put(lcn, 8, "Error writing lEnd");
    }
}

void CVolumeDumpWriter::writeVolume(const VolumeDumpVolume& volume) {
    writeVolumeHeader(volume.header);
    writeBitmap(volume.bitmap.data(), volume.bitmap.size());
    writeEntryListHeader(volume.entries.size());
    for (const VolumeDumpEntry& e : volume.entries) writeEntry(e.path, volume.extentsOf(e), e.extentCount);
}

// ---------------------------------------------------------------------------------------------
// Reader

namespace {

// Reads a stream whose length is known, so every count can be weighed against what is left.
class DumpCursor {
public:
    explicit DumpCursor(std::istream& in) : in_(in) {
        std::streampos start = in.tellg();
        in.seekg(0, std::ios::end);
        std::streampos end = in.tellg();
        in.seekg(start);
        if (!in || start < 0 || end < start) throw CDfrgException(ErrorReadFile, "Volume dump: cannot determine the size of the file");
        size_ = static_cast<uint64_t>(end - start);
    }

    uint64_t offset() const { return offset_; }
    uint64_t left() const { return size_ - offset_; }

    [[noreturn]] void fail(const std::string& what, uint64_t at) const {
        throw CDfrgException(ErrorReadFile, "Damaged volume dump at offset " + std::to_string(at) + ": " + what);
    }
    [[noreturn]] void fail(const std::string& what) const { fail(what, offset_); }

    void read(void* data, uint64_t size, const char* what) {
        if (size > left()) fail("the file ends inside " + std::string(what) + " (" + std::to_string(size) + " bytes needed, " + std::to_string(left()) + " left)");
        in_.read(static_cast<char*>(data), static_cast<std::streamsize>(size));
        if (static_cast<uint64_t>(in_.gcount()) != size) fail("read error inside " + std::string(what));
        offset_ += size;
    }

    uint64_t number(int bytes, const char* what) {
        unsigned char b[8];
        read(b, static_cast<uint64_t>(bytes), what);
        return platform::loadLE(b, bytes);
    }

    void tag(const char* expected) {
        uint64_t at = offset_;
        char got[4];
        read(got, 4, (std::string("the tag \"") + expected + "\"").c_str());
        if (!std::equal(got, got + 4, expected)) fail("found tag " + printable(got) + " where \"" + expected + "\" belongs", at);
    }

    WString string(const char* what) {
        uint64_t at = offset_;
        uint64_t count = number(4, what);
        if (count > kMaxPathLength)
            fail(std::string(what) + " of " + std::to_string(count) + " units is longer than " + std::to_string(kMaxPathLength), at);
        if ((count + 1) * 2 > left())
            fail(std::string(what) + " of " + std::to_string(count) + " units is longer than the rest of the file", at);
        std::string raw(static_cast<size_t>((count + 1) * 2), '\0');
        read(&raw[0], raw.size(), what);
        const auto* p = reinterpret_cast<const unsigned char*>(raw.data());
        if (platform::loadLE(p + 2 * count, 2) != 0) fail(std::string(what) + " is not terminated by 0", at);
        WString text(static_cast<size_t>(count), u'\0');
        for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char16_t>(platform::loadLE(p + 2 * i, 2));
        return text;
    }

private:
    static std::string printable(const char* tag) {
        std::string s = "\"";
        for (int i = 0; i < 4; ++i) {
            unsigned char c = static_cast<unsigned char>(tag[i]);
            if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
                s += static_cast<char>(c);
            } else {
                const char* hex = "0123456789ABCDEF";
                s += "\\x";
                s += hex[c >> 4];
                s += hex[c & 15];
            }
        }
        return s + "\"";
    }

    std::istream& in_;
    uint64_t size_ = 0;
    uint64_t offset_ = 0;
};

VolumeDumpVolume readVolume(DumpCursor& in) {
    VolumeDumpVolume v;
    in.tag(kVolumeTag);
    v.header.driveLetter = static_cast<char16_t>(in.number(2, "the drive letter"));
    v.header.volumeName = in.string("the volume name");
    v.header.totalClusters = in.number(8, "the total clusters");
    v.header.bytesPerCluster = static_cast<uint32_t>(in.number(4, "the bytes per cluster"));
    v.header.fileSystemType = static_cast<uint8_t>(in.number(1, "the file-system type"));

    in.tag(kBitmapBeginTag);
    const uint64_t bitmapBytes = v.header.totalClusters / 8;
    if (bitmapBytes > in.left())
        in.fail("a bitmap of " + std::to_string(bitmapBytes) + " bytes (" + std::to_string(v.header.totalClusters) +
                " clusters) is longer than the rest of the file");
    v.bitmap.resize(static_cast<size_t>(bitmapBytes));
    if (bitmapBytes) in.read(v.bitmap.data(), bitmapBytes, "the bitmap");
    in.tag(kBitmapEndTag);

    in.tag(kEntryListTag);
    const uint64_t countAt = in.offset();
    const uint64_t entryCount = in.number(8, "the entry count");
    if (entryCount > in.left() / kMinEntryBytes)
        in.fail(std::to_string(entryCount) + " entries cannot fit in the rest of the file", countAt);
    // The count is only plausible, not proven: reserve a little and let the list grow.
    v.entries.reserve(static_cast<size_t>(std::min<uint64_t>(entryCount, 1024)));
    for (uint64_t i = 0; i < entryCount; ++i) {
        VolumeDumpEntry e;
        e.path = in.string("a path");
        e.mark = static_cast<uint32_t>(in.number(4, "an entry"));
        const uint64_t extentsAt = in.offset();
        const uint64_t extentCount = in.number(8, "an entry");
        if (extentCount > in.left() / kExtentBytes)
            in.fail(std::to_string(extentCount) + " extents cannot fit in the rest of the file", extentsAt);
        e.firstExtent = v.extents.size();
        e.extentCount = static_cast<size_t>(extentCount);
        for (uint64_t k = 0; k < extentCount; ++k) {
            const uint64_t at = in.offset();
            VolumeDumpExtent x;
            x.start = in.number(8, "an extent");
            x.end = in.number(8, "an extent");
            if (x.start > x.end)
                in.fail("extent " + std::to_string(x.start) + ".." + std::to_string(x.end) + " starts after it ends", at);
            if (x.end >= v.header.totalClusters)
                in.fail("extent " + std::to_string(x.start) + ".." + std::to_string(x.end) + " lies outside the volume of " +
                            std::to_string(v.header.totalClusters) + " clusters",
                        at);
            v.extents.push_back(x);
        }
        v.entries.push_back(std::move(e));
    }
    return v;
}

}  // namespace

std::vector<VolumeDumpVolume> readVolumeDump(std::istream& in) {
    DumpCursor cursor(in);
    std::vector<VolumeDumpVolume> volumes;
    while (cursor.left() > 0) volumes.push_back(readVolume(cursor));
    return volumes;
}

}  // namespace volume_dump
