// The memory volume's device controls, move rules, files and change feed: the behaviour the
// engine relies on from a real file system. (Its faults are used, and so checked, by the tests of
// the volume layer.)
#include <gtest/gtest.h>

#include <cstring>

#include "platform/last_error.h"
#include "support/volume_test_support.h"
#include "sim/image_synthesis.h"
#include "volume/volume_change_feed.h"

using namespace voltest;

namespace {

struct Device {
    std::shared_ptr<CMemoryVolume> volume;
    HANDLE handle;
    explicit Device(std::shared_ptr<CMemoryVolume> v) : volume(std::move(v)) {
        handle = volume->createFile(u"\\\\.\\C:", GENERIC_READ, 7, OPEN_EXISTING, 0);
    }
    ~Device() { volume->closeHandle(handle); }

    BOOL bitmap(LONGLONG start, std::vector<uint8_t>& out, DWORD size, DWORD& returned) {
        out.assign(size, 0xCC);
        STARTING_LCN_INPUT_BUFFER in;
        in.StartingLcn.QuadPart = start;
        return volume->deviceIoControl(handle, FSCTL_GET_VOLUME_BITMAP, &in, sizeof in, out.data(), size, &returned);
    }
    BOOL move(HANDLE file, uint64_t vcn, uint64_t lcn, DWORD count) {
        MOVE_FILE_DATA m;
        m.FileHandle = file;
        m.StartingVcn.QuadPart = static_cast<LONGLONG>(vcn);
        m.StartingLcn.QuadPart = static_cast<LONGLONG>(lcn);
        m.ClusterCount = count;
        return volume->deviceIoControl(handle, FSCTL_MOVE_FILE, &m, sizeof m, nullptr, 0, nullptr);
    }
};

HANDLE openFile(CMemoryVolume& v, const WString& path, DWORD access = FILE_READ_ATTRIBUTES) {
    return v.createFile(path, access, 7, OPEN_EXISTING, 0);
}

BOOL retrieval(CMemoryVolume& v, HANDLE file, LONGLONG vcn, std::vector<uint64_t>& out, DWORD size, DWORD& returned) {
    out.assign((size + 7) / 8, 0);
    STARTING_VCN_INPUT_BUFFER in;
    in.StartingVcn.QuadPart = vcn;
    return v.deviceIoControl(file, FSCTL_GET_RETRIEVAL_POINTERS, &in, sizeof in, out.data(), size, &returned);
}

}  // namespace

TEST(MemoryVolumeBitmap, PartialResultsRoundTheStartDownAndReportMoreData) {
    auto v = makeVolume(100);
    fillClusters(*v, u"C:\\a", 10, 3);
    Device d(v);
    std::vector<uint8_t> buf;
    DWORD returned = 0;

    // Start 13 is answered from 8; 16 header bytes + 2 bitmap bytes fit, 12 bytes are needed.
    EXPECT_TRUE(failedWith(d.bitmap(13, buf, 18, returned), ERROR_MORE_DATA));
    EXPECT_EQ(returned, 18u);
    auto* b = reinterpret_cast<VOLUME_BITMAP_BUFFER*>(buf.data());
    EXPECT_EQ(b->StartingLcn.QuadPart, 8);
    EXPECT_EQ(b->BitmapSize.QuadPart, 92);
    EXPECT_EQ(b->Buffer[0], 0x1C);  // clusters 10, 11, 12
    EXPECT_EQ(b->Buffer[1], 0x00);

    // The whole rest fits: success, and the bits past the last cluster read as free.
    EXPECT_TRUE(d.bitmap(96, buf, 64, returned));
    b = reinterpret_cast<VOLUME_BITMAP_BUFFER*>(buf.data());
    EXPECT_EQ(returned, 17u);
    EXPECT_EQ(b->BitmapSize.QuadPart, 4);
    EXPECT_EQ(b->Buffer[0], 0x00);

    EXPECT_TRUE(failedWith(d.bitmap(100, buf, 64, returned), ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(failedWith(d.bitmap(0, buf, 8, returned), ERROR_INSUFFICIENT_BUFFER));
}

TEST(MemoryVolumeRetrieval, ExtentsVirtualRunsMoreDataAndEndOfFile) {
    auto v = makeVolume(1000);
    placeFile(*v, u"C:\\sparse", {{100, 16}, {V, 32}, {200, 5}, {V, 11}}, FILE_ATTRIBUTE_SPARSE_FILE);
    v->placeFile(u"C:\\tiny", 0, 300, {});
    HANDLE f = openFile(*v, u"C:\\sparse");
    std::vector<uint64_t> buf;
    DWORD returned = 0;

    // Room for two extents of four: more data follows.
    EXPECT_TRUE(failedWith(retrieval(*v, f, 0, buf, 48, returned), ERROR_MORE_DATA));
    auto* r = reinterpret_cast<RETRIEVAL_POINTERS_BUFFER*>(buf.data());
    ASSERT_EQ(r->ExtentCount, 2u);
    EXPECT_EQ(returned, 48u);
    EXPECT_EQ(r->Extents[0].NextVcn.QuadPart, 16);
    EXPECT_EQ(r->Extents[0].Lcn.QuadPart, 100);
    EXPECT_EQ(r->Extents[1].NextVcn.QuadPart, 48);
    EXPECT_EQ(r->Extents[1].Lcn.QuadPart, -1);

    // A VCN inside a run is answered from the run's start.
    EXPECT_TRUE(retrieval(*v, f, 50, buf, 4112, returned));
    r = reinterpret_cast<RETRIEVAL_POINTERS_BUFFER*>(buf.data());
    EXPECT_EQ(r->StartingVcn.QuadPart, 48);
    EXPECT_EQ(r->ExtentCount, 2u);
    EXPECT_EQ(r->Extents[1].NextVcn.QuadPart, 64);

    EXPECT_TRUE(failedWith(retrieval(*v, f, 64, buf, 4112, returned), ERROR_HANDLE_EOF));
    HANDLE tiny = openFile(*v, u"C:\\tiny");
    EXPECT_TRUE(failedWith(retrieval(*v, tiny, 0, buf, 4112, returned), ERROR_HANDLE_EOF));
    v->closeHandle(f);
    v->closeHandle(tiny);
}

TEST(MemoryVolumeMove, TargetsMustBeFreeCompressedFilesMoveInWholeUnitsEncryptedNeedReading) {
    auto v = makeVolume(1000);
    placeFile(*v, u"C:\\plain", {{10, 5}, {50, 5}});
    fillClusters(*v, u"C:\\blocker", 300, 1);
    placeFile(*v, u"C:\\packed", {{100, 4}, {V, 12}, {120, 16}}, FILE_ATTRIBUTE_COMPRESSED);
    placeFile(*v, u"C:\\secret", {{700, 4}}, FILE_ATTRIBUTE_ENCRYPTED);
    Device d(v);
    HANDLE plain = openFile(*v, u"C:\\plain");
    HANDLE packed = openFile(*v, u"C:\\packed");

    EXPECT_TRUE(failedWith(d.move(plain, 0, 296, 10), ERROR_INVALID_PARAMETER));  // 300 is in use
    EXPECT_FALSE(d.move(plain, 0, 12, 10));  // overlaps the file itself
    EXPECT_FALSE(d.move(plain, 5, 400, 6));  // past the end of the file
    EXPECT_FALSE(d.move(plain, 0, 995, 10)); // past the end of the volume
    EXPECT_TRUE(d.move(plain, 0, 400, 10));
    EXPECT_EQ(runsOfFile(*v, u"C:\\plain"), (std::vector<voltest::Run>{{400, 10}}));
    EXPECT_FALSE(v->isClusterUsed(10));
    EXPECT_FALSE(v->isClusterUsed(54));

    EXPECT_FALSE(d.move(packed, 0, 500, 8));  // part of a unit
    EXPECT_TRUE(failedWith(d.move(packed, 4, 500, 16), ERROR_INVALID_PARAMETER));
    EXPECT_TRUE(d.move(packed, 0, 500, 32));  // 20 allocated clusters, packed together
    EXPECT_EQ(runsOfFile(*v, u"C:\\packed"), (std::vector<voltest::Run>{{500, 4}, {V, 12}, {504, 16}}));
    EXPECT_TRUE(v->checkIntegrity().empty());

    EXPECT_TRUE(failedWith(d.move(reinterpret_cast<HANDLE>(uintptr_t(0x7770)), 0, 600, 1), ERROR_INVALID_HANDLE));

    // Encrypted files need read access.
    HANDLE attributesOnly = openFile(*v, u"C:\\secret");
    EXPECT_TRUE(failedWith(d.move(attributesOnly, 0, 800, 4), ERROR_ACCESS_DENIED));
    HANDLE reader = openFile(*v, u"C:\\secret", FILE_READ_ATTRIBUTES | FILE_READ_DATA);
    EXPECT_TRUE(d.move(reader, 0, 800, 4));
    for (HANDLE h : {plain, packed, attributesOnly, reader}) v->closeHandle(h);
}

TEST(MemoryVolumeFiles, DirectoriesNamesGrowthAndDeletion) {
    auto v = makeVolume(200);
    ASSERT_TRUE(v->createDirectory(u"C:\\dir"));
    EXPECT_TRUE(failedWith(v->createDirectory(u"C:\\dir"), ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(failedWith(openFile(*v, u"C:\\dir"), ERROR_ACCESS_DENIED));  // directories need backup semantics
    EXPECT_TRUE(failedWith(v->createFile(u"C:\\dir\\a?b", GENERIC_WRITE, 0, CREATE_NEW, 0), ERROR_INVALID_NAME));
    placeFile(*v, u"C:\\dir\\b.txt", {{5, 1}});
    placeFile(*v, u"C:\\dir\\A.txt", {{6, 1}});
    WIN32_FIND_DATAW data;
    HANDLE find = v->findFirstFile(u"C:\\DIR\\*.txt", &data);  // names compare without case
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WString(asUtf16(data.cFileName)), u"A.txt");
    v->findClose(find);

    // Growing a file allocates right behind it when it can; deleting frees its clusters.
    HANDLE f = v->createFile(u"C:\\dir\\grow", GENERIC_WRITE, 0, CREATE_NEW, 0);
    EXPECT_TRUE(v->appendToFile(f, 4096 * 3));
    EXPECT_TRUE(v->appendToFile(f, 4096));
    v->closeHandle(f);
    CMemoryVolume::FileInfo info;
    ASSERT_TRUE(v->fileInfo(u"C:\\dir\\grow", info));
    ASSERT_EQ(info.runs.size(), 1u);
    EXPECT_EQ(info.runs[0].length, 4u);
    EXPECT_TRUE(v->checkIntegrity().empty());
    EXPECT_TRUE(v->deleteFile(u"C:\\dir\\grow"));
    EXPECT_FALSE(v->isClusterUsed(info.runs[0].lcn));
    HANDLE readOnly = openFile(*v, u"C:\\dir\\A.txt");
    EXPECT_TRUE(failedWith(v->appendToFile(readOnly, 10), ERROR_ACCESS_DENIED));
    v->closeHandle(readOnly);
    EXPECT_TRUE(failedWith(v->closeHandle(readOnly), ERROR_INVALID_HANDLE));
}

TEST(MemoryVolumeFiles, PlainPathsEndBeforeMaxPathLongFormPathsDoNot) {
    auto v = makeVolume(200);
    // A tree deep enough for every length below; the layout calls know no path limit.
    WString dir = u"C:";
    while (dir.size() + 201 < 32600) {
        dir += u"\\" + WString(200, u'd');
        placeFile(*v, dir, {}, FILE_ATTRIBUTE_DIRECTORY);
    }
    const WString longForm = u"\\\\?\\";
    const struct {
        WString path;
        DWORD error;  // ERROR_SUCCESS: the path reaches the directory
    } cases[] = {
        {dir.substr(0, 2 + 201), ERROR_SUCCESS},
        {dir.substr(0, 2 + 2 * 201), ERROR_PATH_NOT_FOUND},  // 404 characters
        {longForm + dir.substr(0, 2 + 2 * 201), ERROR_SUCCESS},
        {longForm + dir, ERROR_SUCCESS},
        {longForm + dir + u"\\" + WString(32767, u'x'), ERROR_FILENAME_EXCED_RANGE},
    };
    for (const auto& c : cases) {
        const DWORD attributes = v->getFileAttributes(c.path);
        EXPECT_EQ(attributes == INVALID_FILE_ATTRIBUTES ? platform::lastError() : ERROR_SUCCESS, c.error)
            << c.path.size();
        WIN32_FIND_DATAW data;
        HANDLE find = v->findFirstFile(c.path + u"\\*", &data);
        if (find != INVALID_HANDLE_VALUE) v->findClose(find);
        EXPECT_EQ(find == INVALID_HANDLE_VALUE, c.error != ERROR_SUCCESS);
    }
    // The limit is on the whole path: 259 characters open, 260 do not.
    const WString file = dir.substr(0, 2 + 201) + u"\\" + WString(55, u'f');
    placeFile(*v, file, {});
    HANDLE h = v->createFile(file, GENERIC_READ, 7, OPEN_EXISTING, 0);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    v->closeHandle(h);
    placeFile(*v, file + u"g", {});
    EXPECT_TRUE(failedWith(v->createFile(file + u"g", GENERIC_READ, 7, OPEN_EXISTING, 0), ERROR_PATH_NOT_FOUND));
}

TEST(MemoryVolumeFiles, HardLinksShareTheDataUntilTheLastNameGoes) {
    auto v = makeVolume(200);
    ASSERT_TRUE(v->createDirectory(u"C:\\d"));
    placeFile(*v, u"C:\\a.bin", {{10, 4}});
    ASSERT_TRUE(v->createHardLink(u"C:\\d\\b.bin", u"C:\\a.bin"));
    EXPECT_TRUE(failedWith(v->createHardLink(u"C:\\d\\B.BIN", u"C:\\a.bin"), ERROR_ALREADY_EXISTS));
    EXPECT_TRUE(failedWith(v->createHardLink(u"C:\\e", u"C:\\d"), ERROR_ACCESS_DENIED));
    CMemoryVolume::FileInfo a, b;
    ASSERT_TRUE(v->fileInfo(u"C:\\a.bin", a));
    ASSERT_TRUE(v->fileInfo(u"C:\\d\\b.bin", b));
    EXPECT_EQ(a.id, b.id);
    WIN32_FIND_DATAW data;
    HANDLE find = v->findFirstFile(u"C:\\d\\b*", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WString(asUtf16(data.cFileName)), u"b.bin");
    EXPECT_EQ(data.nFileSizeLow, 4u * 4096);
    v->findClose(find);
    EXPECT_EQ(v->statistics().filesWithClusters, 2u);  // once per name, as a walk counts them
    EXPECT_TRUE(v->checkIntegrity().empty());

    EXPECT_TRUE(v->deleteFile(u"C:\\a.bin"));
    EXPECT_TRUE(v->isClusterUsed(10));
    EXPECT_EQ(runsOfFile(*v, u"C:\\d\\b.bin"), (std::vector<voltest::Run>{{10, 4}}));
    EXPECT_TRUE(v->checkIntegrity().empty());
    EXPECT_TRUE(v->deleteFile(u"C:\\d\\b.bin"));
    EXPECT_FALSE(v->isClusterUsed(10));
    EXPECT_TRUE(v->checkIntegrity().empty());
}

// Added and modified records, a stop and a volume that goes away reach the tracker's tests through
// this feed; what they do not see is a read that does not fit.
TEST(MemoryVolumeFeed, RecordsAreAlignedAndMoreThanTheBufferHoldsIsDropped) {
    auto v = makeVolume(500);
    auto feed = v->openChangeFeed();
    for (int i = 0; i < 40; ++i) {
        HANDLE g = v->createFile(u"C:\\file" + platform::utf8ToUtf16(std::to_string(i)), GENERIC_WRITE, 0,
                                 CREATE_NEW, 0);
        v->closeHandle(g);
    }
    platform::Event stop(platform::Event::Reset::Manual);
    std::vector<uint64_t> buffer(64);
    uint32_t bytes = 0;
    ASSERT_EQ(feed->read(buffer.data(), 64, bytes, stop), CVolumeChangeFeed::Result::Changes);
    EXPECT_EQ(bytes, 0u);
    HANDLE f = v->createFile(u"C:\\odd.x", GENERIC_WRITE, 0, CREATE_NEW, 0);
    v->closeHandle(f);
    ASSERT_EQ(feed->read(buffer.data(), 512, bytes, stop), CVolumeChangeFeed::Result::Changes);
    auto* rec = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer.data());
    EXPECT_EQ(WString(asUtf16(rec->FileName), rec->FileNameLength / 2), u"odd.x");
    EXPECT_EQ(rec->NextEntryOffset, 0u);
    EXPECT_EQ(bytes % 4, 0u);
}

TEST(MemoryVolumeSynthesis, AgedVolumesAreSoundFragmentedAndRepeatable) {
    CImageParameters p;
    p.volumeBytes = 64ull << 20;
    p.fileCount = 400;
    p.seed = 7;
    std::string error;
    auto a = synthesizeVolume(p, error);
    ASSERT_TRUE(a) << error;
    EXPECT_TRUE(a->checkIntegrity().empty());
    const auto s = a->statistics();
    EXPECT_EQ(s.files + s.reparsePoints, 400u);
    EXPECT_GT(s.fragmentedFiles, s.filesWithClusters / 50);
    EXPECT_GT(s.freeRuns, 50u);
    const double fullness = 1.0 - double(s.freeClusters) / double(a->geometry().totalClusters);
    EXPECT_NEAR(fullness, 0.6, 0.08);

    auto b = synthesizeVolume(p, error);
    std::vector<uint8_t> sa, sb;
    a->serialize(sa);
    b->serialize(sb);
    EXPECT_EQ(sa, sb);
    p.seed = 8;
    synthesizeVolume(p, error)->serialize(sb);
    EXPECT_NE(sa, sb);
}
