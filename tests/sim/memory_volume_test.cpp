// The memory volume's device controls, move rules, files and change feed: the behaviour the
// engine relies on from a real file system. (Its faults are used, and so checked, by the tests of
// the volume layer.)
#include <gtest/gtest.h>

#include <functional>

#include "platform/last_error.h"
#include "support/volume_test_support.h"
#include "sim/image_synthesis.h"
#include "volume/volume_change_feed.h"

using namespace voltest;

namespace {

HANDLE openFile(CMemoryVolume& v, const WString& path, DWORD access = FILE_READ_ATTRIBUTES) {
    return v.createFile(path, access, 7, OPEN_EXISTING, 0);
}

BOOL retrieval(CMemoryVolume& v, HANDLE file, LONGLONG vcn, std::vector<uint64_t>& out, DWORD size, DWORD& returned) {
    out.assign((size + 7) / 8, 0);
    STARTING_VCN_INPUT_BUFFER in;
    in.StartingVcn.QuadPart = vcn;
    return v.deviceIoControl(file, FSCTL_GET_RETRIEVAL_POINTERS, &in, sizeof in, out.data(), size, &returned);
}

constexpr DWORD kAnyError = ~DWORD(0);

}  // namespace

// Each control and file call that Windows refuses, then what the allowed ones leave behind.
TEST(MemoryVolume, ControlsAndFileCallsKeepTheRulesOfWindows) {
    auto v = makeVolume(1004);
    fillClusters(*v, u"C:\\a", 10, 3);
    placeFile(*v, u"C:\\plain", {{20, 5}, {50, 5}});
    fillClusters(*v, u"C:\\blocker", 300, 1);
    placeFile(*v, u"C:\\packed", {{100, 4}, {V, 12}, {120, 16}}, FILE_ATTRIBUTE_COMPRESSED);
    placeFile(*v, u"C:\\secret", {{700, 4}}, FILE_ATTRIBUTE_ENCRYPTED);
    placeFile(*v, u"C:\\sparse", {{150, 16}, {V, 32}, {200, 5}, {V, 11}}, FILE_ATTRIBUTE_SPARSE_FILE);
    v->placeFile(u"C:\\tiny", 0, 300, {});
    ASSERT_TRUE(v->createDirectory(u"C:\\dir"));
    HANDLE device = v->createFile(u"\\\\.\\C:", GENERIC_READ, 7, OPEN_EXISTING, 0);
    HANDLE plain = openFile(*v, u"C:\\plain"), packed = openFile(*v, u"C:\\packed");
    HANDLE sparse = openFile(*v, u"C:\\sparse"), tiny = openFile(*v, u"C:\\tiny");
    HANDLE secret = openFile(*v, u"C:\\secret"), readOnly = openFile(*v, u"C:\\a");
    std::vector<uint8_t> bits;
    std::vector<uint64_t> pointers;
    DWORD returned = 0;
    auto bitmap = [&](LONGLONG start, DWORD size) {
        bits.assign(size, 0xCC);
        STARTING_LCN_INPUT_BUFFER in;
        in.StartingLcn.QuadPart = start;
        return v->deviceIoControl(device, FSCTL_GET_VOLUME_BITMAP, &in, sizeof in, bits.data(), size, &returned);
    };
    auto move = [&](HANDLE file, LONGLONG vcn, LONGLONG lcn, DWORD count) {
        MOVE_FILE_DATA m{file, {}, {}, count};
        m.StartingVcn.QuadPart = vcn;
        m.StartingLcn.QuadPart = lcn;
        return v->deviceIoControl(device, FSCTL_MOVE_FILE, &m, sizeof m, nullptr, 0, nullptr);
    };
    const struct {
        const char* name;
        std::function<bool()> call;
        DWORD error;
    } refused[] = {
        {"bitmap from past the end", [&] { return bitmap(1004, 64); }, ERROR_INVALID_PARAMETER},
        {"bitmap without room for its header", [&] { return bitmap(0, 8); }, ERROR_INSUFFICIENT_BUFFER},
        {"pointers past the end", [&] { return retrieval(*v, sparse, 64, pointers, 4112, returned); },
         ERROR_HANDLE_EOF},
        {"pointers of a resident file", [&] { return retrieval(*v, tiny, 0, pointers, 4112, returned); },
         ERROR_HANDLE_EOF},
        {"move onto a used cluster", [&] { return move(plain, 0, 296, 10); }, ERROR_INVALID_PARAMETER},
        {"move onto the file itself", [&] { return move(plain, 0, 22, 10); }, kAnyError},
        {"move past the file's end", [&] { return move(plain, 5, 400, 6); }, kAnyError},
        {"move past the volume's end", [&] { return move(plain, 0, 995, 10); }, kAnyError},
        {"move of part of a unit", [&] { return move(packed, 0, 500, 8); }, kAnyError},
        {"move from inside a unit", [&] { return move(packed, 4, 500, 16); }, ERROR_INVALID_PARAMETER},
        {"move of no file", [&] { return move(reinterpret_cast<HANDLE>(uintptr_t(0x7770)), 0, 600, 1); },
         ERROR_INVALID_HANDLE},
        {"move of encrypted data unread", [&] { return move(secret, 0, 800, 4); }, ERROR_ACCESS_DENIED},
        {"directory made twice", [&] { return v->createDirectory(u"C:\\dir"); }, ERROR_ALREADY_EXISTS},
        {"directory without backup semantics", [&] { return openFile(*v, u"C:\\dir") != INVALID_HANDLE_VALUE; },
         ERROR_ACCESS_DENIED},
        {"invalid name",
         [&] { return v->createFile(u"C:\\dir\\a?b", GENERIC_WRITE, 0, CREATE_NEW, 0) != INVALID_HANDLE_VALUE; },
         ERROR_INVALID_NAME},
        {"append without write access", [&] { return v->appendToFile(readOnly, 10); }, ERROR_ACCESS_DENIED},
        {"link to a directory", [&] { return v->createHardLink(u"C:\\e", u"C:\\dir"); }, ERROR_ACCESS_DENIED},
    };
    for (const auto& c : refused) {
        if (c.error == kAnyError) EXPECT_FALSE(c.call()) << c.name;
        else EXPECT_TRUE(failedWith(c.call(), c.error)) << c.name;
    }

    // Start 13 is answered from 8; 16 header bytes + 2 bitmap bytes fit, 125 are needed.
    EXPECT_TRUE(failedWith(bitmap(13, 18), ERROR_MORE_DATA));
    EXPECT_EQ(returned, 18u);
    auto* b = reinterpret_cast<VOLUME_BITMAP_BUFFER*>(bits.data());
    EXPECT_EQ(b->StartingLcn.QuadPart, 8);
    EXPECT_EQ(b->BitmapSize.QuadPart, 996);
    EXPECT_EQ(b->Buffer[0], 0x1C);  // clusters 10, 11, 12
    EXPECT_EQ(b->Buffer[1], 0xF0);  // 20 to 23
    // The whole rest fits: success, and the bits past the last cluster read as free.
    EXPECT_TRUE(bitmap(1000, 64));
    b = reinterpret_cast<VOLUME_BITMAP_BUFFER*>(bits.data());
    EXPECT_EQ(returned, 17u);
    EXPECT_EQ(b->BitmapSize.QuadPart, 4);
    EXPECT_EQ(b->Buffer[0], 0x00);

    // Room for two extents of four: more data follows; a VCN inside a run is answered from its start.
    EXPECT_TRUE(failedWith(retrieval(*v, sparse, 0, pointers, 48, returned), ERROR_MORE_DATA));
    auto* r = reinterpret_cast<RETRIEVAL_POINTERS_BUFFER*>(pointers.data());
    ASSERT_EQ(r->ExtentCount, 2u);
    EXPECT_EQ(returned, 48u);
    EXPECT_EQ(r->Extents[0].NextVcn.QuadPart, 16);
    EXPECT_EQ(r->Extents[0].Lcn.QuadPart, 150);
    EXPECT_EQ(r->Extents[1].NextVcn.QuadPart, 48);
    EXPECT_EQ(r->Extents[1].Lcn.QuadPart, -1);
    EXPECT_TRUE(retrieval(*v, sparse, 50, pointers, 4112, returned));
    r = reinterpret_cast<RETRIEVAL_POINTERS_BUFFER*>(pointers.data());
    EXPECT_EQ(r->StartingVcn.QuadPart, 48);
    EXPECT_EQ(r->ExtentCount, 2u);
    EXPECT_EQ(r->Extents[1].NextVcn.QuadPart, 64);

    EXPECT_TRUE(move(plain, 0, 400, 10));
    EXPECT_EQ(runsOfFile(*v, u"C:\\plain"), (std::vector<voltest::Run>{{400, 10}}));
    EXPECT_FALSE(v->isClusterUsed(20));
    EXPECT_FALSE(v->isClusterUsed(54));
    EXPECT_TRUE(move(packed, 0, 500, 32));  // 20 allocated clusters, packed together
    EXPECT_EQ(runsOfFile(*v, u"C:\\packed"), (std::vector<voltest::Run>{{500, 4}, {V, 12}, {504, 16}}));
    HANDLE reader = openFile(*v, u"C:\\secret", FILE_READ_ATTRIBUTES | FILE_READ_DATA);
    EXPECT_TRUE(move(reader, 0, 800, 4));
    EXPECT_TRUE(v->checkIntegrity().empty());
    for (HANDLE h : {device, plain, packed, sparse, tiny, secret, readOnly, reader}) v->closeHandle(h);
    EXPECT_TRUE(failedWith(v->closeHandle(plain), ERROR_INVALID_HANDLE));
}

TEST(MemoryVolumeFiles, NamesCompareWithoutCaseGrowthFollowsTheFileDeletionFrees) {
    auto v = makeVolume(200);
    ASSERT_TRUE(v->createDirectory(u"C:\\dir"));
    placeFile(*v, u"C:\\dir\\b.txt", {{5, 1}});
    placeFile(*v, u"C:\\dir\\A.txt", {{6, 1}});
    WIN32_FIND_DATAW data;
    HANDLE find = v->findFirstFile(u"C:\\DIR\\*.txt", &data);
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_EQ(WString(asUtf16(data.cFileName)), u"A.txt");
    v->findClose(find);

    HANDLE f = v->createFile(u"C:\\dir\\grow", GENERIC_WRITE, 0, CREATE_NEW, 0);
    EXPECT_TRUE(v->appendToFile(f, 4096 * 3));
    EXPECT_TRUE(v->appendToFile(f, 4096));
    v->closeHandle(f);
    CMemoryVolume::FileInfo info;
    ASSERT_TRUE(v->fileInfo(u"C:\\dir\\grow", info));
    ASSERT_EQ(info.runs.size(), 1u);
    EXPECT_EQ(info.runs[0].length, 4u);
    EXPECT_TRUE(v->deleteFile(u"C:\\dir\\grow"));
    EXPECT_FALSE(v->isClusterUsed(info.runs[0].lcn));

    // A compressed file grows unit by unit, each unit's clusters right behind the last ones.
    auto w = makeVolume(200);
    f = w->createFile(u"C:\\packed", GENERIC_WRITE, 0, CREATE_NEW, FILE_ATTRIBUTE_COMPRESSED);
    EXPECT_TRUE(w->appendToFile(f, 3 * 16 * 4096));
    w->closeHandle(f);
    ASSERT_TRUE(w->fileInfo(u"C:\\packed", info));
    EXPECT_EQ(piecesOf(info.runs), 1u);
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

    struct LastRecord : CMemoryVolume::Journal {
        std::vector<uint8_t> record;
        DWORD write(const std::vector<uint8_t>& r) override { return record = r, ERROR_SUCCESS; }
    } journal;
    v->setJournal(&journal);
    EXPECT_TRUE(v->deleteFile(u"C:\\a.bin"));
    v->setJournal(nullptr);
    EXPECT_FALSE(v->replay(journal.record.data(), journal.record.size()));  // that name is gone
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
