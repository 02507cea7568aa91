// processFile's choice of strategy, counters, status records and error rules; the walk's order.
#include <gtest/gtest.h>

#include "engine/file_processing.h"
#include "platform/dfrg_exception.h"
#include "support/engine_state_support.h"

using namespace enginetest;
using voltest::placeFile;

namespace {

const WString kFrag = u"C:\\frag.bin";
const WString kEmpty = u"C:\\empty.txt";
const WString kTight = u"C:\\tight.bin";

// A fragmented file with room to be made contiguous, an empty one, and a contiguous one with
// five free clusters in front of it and no better place.
std::shared_ptr<CMemoryVolume> threeFiles() {
    auto v = voltest::makeVolume(1000);
    placeFile(*v, kFrag, {{700, 10}, {800, 10}});
    placeFile(*v, kEmpty, {});
    placeFile(*v, kTight, {{100, 20}});
    fillExcept(*v, {{90, 10}, {120, 5}, {300, 40}, {500, 30}});
    return v;
}

int32_t codeOf(const std::function<void()>& call) {
    try {
        call();
    } catch (const CDfrgException& e) {
        return e.code();
    }
    return 0;
}

}  // namespace

TEST(ProcessFile, CountsReportsAndChoosesTheStrategy) {
    auto volume = threeFiles();
    EngineOptions options;
    options.moveBetterPlace = false;
    EngineFixture f(volume, options);
    CPassState& s = f.state;
    uint32_t touched = 7;

    EXPECT_TRUE(processFile(s, f.context(), kFrag, true, &touched, false));
    EXPECT_EQ(touched, 1u);
    EXPECT_EQ(piecesOf(*volume, kFrag), 1u);
    // The file, the first snapshot, the defragmenting move.
    std::vector<DfrgStatus> records = statusRecords();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].lastFile, kFrag);
    EXPECT_EQ(records[1].detail, 4);
    EXPECT_EQ(records[1].lastFile, WString());
    EXPECT_EQ(records[2].detail, 0);
    EXPECT_EQ(s.currentPath, kFrag);

    // Nothing to move in an empty file.
    clearStatus();
    EXPECT_TRUE(processFile(s, f.context(), kEmpty, true, &touched, false));
    EXPECT_EQ(touched, 0u);
    EXPECT_EQ(startedFiles(), std::vector<WString>{kEmpty});
    EXPECT_EQ(statusRecords().size(), 1u);

    // The move to the left (which would merge the free runs on both sides) is off outside panic
    // mode, but in panic mode it is tried anyway.
    EXPECT_TRUE(processFile(s, f.context(), kTight, true, &touched, false));
    EXPECT_EQ(touched, 0u);
    f.context().setPanicPassCount(0);
    EXPECT_TRUE(processFile(s, f.context(), kTight, true, &touched, false));
    EXPECT_EQ(touched, 1u);
    CMemoryVolume::FileInfo info;
    volume->fileInfo(kTight, info);
    EXPECT_EQ(info.runs[0].lcn, 90u);

    EXPECT_EQ(s.counters.processed, 4u);
    EXPECT_EQ(s.counters.defragged, 1u);
    EXPECT_EQ(s.counters.moved, 1u);
    EXPECT_EQ(f.statistics->current().moved, 1u);
    EXPECT_EQ(volume->checkIntegrity(), std::vector<std::string>());
}

TEST(ProcessFile, OrdinaryErrorsAreSilentOthersLoggedVolumeLossAndStopPassOn) {
    auto volume = threeFiles();
    EngineFixture f(volume);
    CPassState& s = f.state;
    // Benchmark mode is reported once and the run goes on.
    f.config->setBenchmarkMode(true);
    ASSERT_TRUE(processFile(s, f.context(), kTight, true, nullptr, false));
    ASSERT_TRUE(processFile(s, f.context(), kEmpty, true, nullptr, false));
    auto benchmark = f.log->withText("YOU HAVE TO ENABLE _EXT_STATISTICS TO USE BENCHMARK MODE !");
    ASSERT_EQ(benchmark.size(), 1u);
    EXPECT_EQ(benchmark[0].priority, 700);
    EXPECT_FALSE(f.config->benchmarkMode());

    // Gone, path gone, denied, bad drive, locked, network names lost or denied, bad name.
    for (DWORD code : {2u, 3u, 5u, 15u, 32u, 64u, 65u, 67u, 123u}) {
        volume->setOpenFault(kFrag, code);
        s.currentPath.clear();
        EXPECT_TRUE(processFile(s, f.context(), kFrag, true, nullptr, false)) << code;
        EXPECT_EQ(s.currentPath, kFrag);
    }
    EXPECT_TRUE(f.log->withText("Error during processFile.").empty());

    volume->setOpenFault(kFrag, 1117);  // an I/O error
    EXPECT_TRUE(processFile(s, f.context(), kFrag, true, nullptr, false));
    auto lines = f.log->withText("Error during processFile.");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].priority, 700);
    EXPECT_EQ(lines[0].prop("Error"), "1117");
    EXPECT_EQ(lines[0].prop("FileName"), "C:\\frag.bin");
    EXPECT_EQ(s.counters.processed, 12u);
    EXPECT_EQ(s.counters.defragged + s.counters.errors, 0u);

    // The volume is gone (-1), or a stop was requested (-2): the caller must know, and the
    // unfinished file is not recorded as finished.
    s.currentPath = kTight;
    volume->setOpenFault(kFrag, static_cast<DWORD>(ErrorVolumeUnavailable));
    EXPECT_EQ(codeOf([&] { processFile(s, f.context(), kFrag, true, nullptr, false); }), ErrorVolumeUnavailable);
    f.context().stopAll();
    f.advance();
    EXPECT_EQ(codeOf([&] { processFile(s, f.context(), kEmpty, true, nullptr, false); }), ErrorStopRequested);
    EXPECT_EQ(s.currentPath, kTight);
}

TEST(WalkOrder, NewPassResumedPassAndAResumeNameThatIsGone) {
    // C:\a\b\{e,f,g}, C:\a\y, C:\k, C:\m\n; every directory lists its entries by name.
    auto volume = voltest::makeVolume(1000);
    for (const char16_t* dir : {u"C:\\a", u"C:\\a\\b", u"C:\\m"}) ASSERT_TRUE(volume->createDirectory(dir));
    for (const char16_t* file : {u"C:\\a\\b\\e", u"C:\\a\\b\\f", u"C:\\a\\b\\g", u"C:\\a\\y", u"C:\\k", u"C:\\m\\n"})
        placeFile(*volume, file, {});
    EngineFixture f(volume);
    auto walk = [&](const WString& dir, const WString& resumePath) {
        clearStatus();
        walkDirectory(f.state, f.context(), dir, resumePath, false, false);
        return startedFiles();
    };
    EXPECT_EQ(walk(u"C:", WString()),
              (std::vector<WString>{u"C:\\a", u"C:\\a\\b", u"C:\\a\\b\\e", u"C:\\a\\b\\f", u"C:\\a\\b\\g", u"C:\\a\\y",
                                    u"C:\\k", u"C:\\m", u"C:\\m\\n"}));
    EXPECT_EQ(f.state.counters.processed, 9u);
    // Resumed at f in b in a: the rest of b, then a after b, then the root after a.
    EXPECT_EQ(walk(u"C:\\a\\b", u"C:\\a\\b\\f"),
              (std::vector<WString>{u"C:\\a\\b\\f", u"C:\\a\\b\\g", u"C:\\a\\y", u"C:\\k", u"C:\\m", u"C:\\m\\n"}));
    EXPECT_EQ(walk(u"C:\\a\\b", u"C:\\a\\b\\gone"),
              (std::vector<WString>{u"C:\\a\\y", u"C:\\k", u"C:\\m", u"C:\\m\\n"}));
}

TEST(WalkOrder, AFileWhosePathHas300CharactersIsMadeContiguous) {
    // Past MAX_PATH only the "\\?\" form reaches a file, as on Windows; the walk must use it.
    auto volume = voltest::makeVolume(1000);
    WString path = u"C:";
    for (int i = 0; i < 5; ++i) {
        path += u"\\" + WString(50, static_cast<char16_t>(u'a' + i));
        ASSERT_TRUE(volume->createDirectory(u"\\\\?\\" + path));
    }
    path += u"\\" + WString(300 - path.size() - 1, u'f');
    ASSERT_EQ(path.size(), 300u);
    placeFile(*volume, u"\\\\?\\" + path, {{700, 10}, {800, 10}});
    EngineFixture f(volume);
    f.context().makeExtentSnapshot();
    walkDirectory(f.state, f.context(), u"C:", WString(), false, false);
    EXPECT_EQ(piecesOf(*volume, u"\\\\?\\" + path), 1u);
    EXPECT_EQ(f.state.counters.defragged, 1u);
}
