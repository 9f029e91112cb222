// SPDX-License-Identifier: MIT
// The manager over faked libraries: start-up calls, the extension table, classification and
// the parse paths' hand-over of records and library locks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <future>
#include <thread>

#include "manager/extension_table.h"
#include "manager/fake_libraries.h"
#include "manager/media_file_io_man.h"
#include "mediaobject/media_file_io.h"

namespace {

using mio::CMediaFileIOMan;

constexpr uint32_t kCodeEscapes = 0x80000020;

ComPtr<CMediaFileIOMan> newManager()
{
    ComPtr<IMediaFileIOMan2> manager;
    EXPECT_EQ(CMediaFileIOMan::create(IID_IMediaFileIOMan2,
                                      reinterpret_cast<void**>(manager.GetAddressOf())),
              S_OK);
    ComPtr<CMediaFileIOMan> impl(static_cast<CMediaFileIOMan*>(manager.Get()));
    return impl;
}

class ManagerTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        fake::reset();
        auto& s = fake::state();
        s.videoFormats = {{"mp4", "MPEG-4", 0x1, {"m4v", "mov"}},
                          {"gif", "GIF animation", 0x2, {}},
                          {"kpj", "Project", kCodeEscapes, {}}};
        s.imageFormats = {{"jpg;jpeg;jpe;", "jpg", "JPEG"},
                          {"tif", "tif", "TIFF"},
                          {"img;xyz", "img", "IMG"},
                          {"mov", "mov", "Still MOV"},
                          {"", "zzz", "Refused", true}};
    }
    void TearDown() override { fake::reset(); }

    static int32_t kindOf(const ComPtr<CMediaFileIOMan>& m, const char16_t* path)
    {
        int32_t kind = 0;
        return m->ClassifyPath(path, &kind, false) ? kind : 0;
    }
};

TEST_F(ManagerTest, InitializeStartsVideoLibraryWithTheThreeEscapesInOrder)
{
    auto m = newManager();
    // No imaging component is registered in this process: its result is Initialize's result.
    EXPECT_EQ(m->Initialize(0), REGDB_E_CLASSNOTREG);
    EXPECT_TRUE(m->initialised());
    const std::vector<std::string> expected = {"init", "escape 2 20 0 0", "escape 2 21 .kpj 0 0",
                                               "escape 2 22 0 0"};
    EXPECT_EQ(fake::state().calls, expected);
    EXPECT_EQ(m->extensionTable().videoCount(), 3);
    EXPECT_EQ(m->extensionTable().imageCount(), 5);
    m.Reset();
    EXPECT_EQ(fake::state().videoExitCalls, 1);
}

TEST_F(ManagerTest, FlagBitOneSendsEscape25ToFormatCodeTwo)
{
    auto m = newManager();
    m->Initialize(2);
    ASSERT_EQ(fake::state().calls.size(), 5u);
    EXPECT_EQ(fake::state().calls.back(), "escape 1 25 0 0");
}

TEST_F(ManagerTest, FlagBitZeroKeepsVideoLibraryUnstartedAndVideoUnclassified)
{
    auto m = newManager();
    m->Initialize(1);
    EXPECT_EQ(fake::state().videoInitCalls, 0);
    EXPECT_EQ(kindOf(m, u"/x/a.mp4"), 0);
    EXPECT_EQ(kindOf(m, u"/x/a.jpg"), 3);
    // "mov" is still listed by the still-image table.
    EXPECT_EQ(kindOf(m, u"/x/a.mov"), 3);
    m.Reset();
    EXPECT_EQ(fake::state().videoExitCalls, 0);
}

TEST_F(ManagerTest, SecondInitializeChangesNothing)
{
    auto m = newManager();
    m->Initialize(1);
    EXPECT_EQ(m->Initialize(0), S_OK);
    EXPECT_EQ(fake::state().videoInitCalls, 0);
    EXPECT_EQ(m->initFlags(), 1u);
}

TEST_F(ManagerTest, ExtensionTableEntries)
{
    auto m = newManager();
    m->Initialize(0);
    const auto& t = m->extensionTable();
    EXPECT_EQ(t.entry(0)->count, 3); // mp4 + two more
    EXPECT_EQ(t.entry(3)->count, 3); // "jpg;jpeg;jpe;": trailing ';' adds nothing
    EXPECT_EQ(t.entry(4)->count, 1); // "tif"
    EXPECT_EQ(t.entry(5)->count, 0); // starts with "IMG"
    EXPECT_EQ(t.entry(7)->count, 0); // list refused
    EXPECT_EQ(std::string(t.entry(3)->extensions + 4), "jpeg");
}

TEST_F(ManagerTest, Classification)
{
    auto m = newManager();
    m->Initialize(0);
    EXPECT_EQ(kindOf(m, u"/x/clip.MP4"), 1);
    EXPECT_EQ(kindOf(m, u"/x/clip.m4v"), 1);
    EXPECT_EQ(kindOf(m, u"/x/photo.JPE"), 3);
    // Listed by both libraries: the video entry comes first.
    EXPECT_EQ(kindOf(m, u"/x/clip.mov"), 1);
    // A GIF is an image although a video format lists "gif".
    EXPECT_EQ(kindOf(m, u"/x/anim.GIF"), 3);
    EXPECT_EQ(kindOf(m, u"/x/noext"), 0);
    EXPECT_EQ(kindOf(m, u"/x/lonedot."), 0);
    EXPECT_EQ(kindOf(m, u"/x.mp4/noext"), 0); // the dot belongs to a folder
    EXPECT_EQ(kindOf(m, u"/x/a.xyz"), 0);     // only in the refused "IMG" list
    int32_t kind = 0;
    EXPECT_TRUE(m->ClassifyPath(u"/x/clip.mov", &kind, true));
    EXPECT_EQ(kind, 3);
}

TEST_F(ManagerTest, NothingClassifiesWithoutAnyFormats)
{
    auto& s = fake::state();
    s.videoFormats.clear();
    s.imageFormats.clear();
    auto m = newManager();
    m->Initialize(0);
    EXPECT_EQ(kindOf(m, u"/x/a.gif"), 0);
    IMediaFileIO* object = reinterpret_cast<IMediaFileIO*>(1);
    EXPECT_EQ(m->ParseFile(u"/x/a.gif", &object), E_FAIL);
    EXPECT_EQ(object, nullptr);
}

TEST(ExtensionTableEntry, VideoExtensionsThatWouldNotFitAreDroppedWhole)
{
    mio::ExtensionEntry entry{};
    // 10 extensions of 15 letters + NUL: 16 bytes each; the primary takes 4, so 7 fit (116).
    std::string extra;
    for (int i = 0; i < 10; ++i)
        extra += std::string(15, static_cast<char>('a' + i)) + '\0';
    const int32_t count =
        mio::ExtensionTable::fillFromVideoFormat(entry, "mp4", extra.data(), extra.size(), 10);
    EXPECT_EQ(count, 8);
    EXPECT_EQ(std::string(entry.extensions + 4), std::string(15, 'a'));
    EXPECT_EQ(std::string(entry.extensions + 4 + 16 * 6), std::string(15, 'g'));
    // Everything after the last whole extension is untouched (still zero).
    for (size_t i = 4 + 16 * 7; i < sizeof entry.extensions; ++i)
        ASSERT_EQ(entry.extensions[i], '\0') << i;
}

TEST(ExtensionTableEntry, ClaimedCountBeyondTheFieldStopsAtItsEnd)
{
    mio::ExtensionEntry entry{};
    const char extra[4] = {'a', 'v', 'i', '\0'};
    EXPECT_EQ(mio::ExtensionTable::fillFromVideoFormat(entry, "mp4", extra, sizeof extra, 1000), 2);
}

TEST(ExtensionTableEntry, FullStillImageListIsCutAtItsLastWholeExtension)
{
    mio::ExtensionEntry entry{};
    // 124 bytes without terminator: "abcdefghi;" x 12 then "abcd" cut off.
    std::string list;
    while (list.size() < sizeof entry.extensions)
        list += "abcdefghi;";
    std::memcpy(entry.extensions, list.data(), sizeof entry.extensions);
    EXPECT_EQ(mio::ExtensionTable::splitImageList(entry), 12);
    EXPECT_EQ(entry.extensions[sizeof entry.extensions - 1], '\0');
}

// ---- parse paths ----

class ParseTest : public ManagerTest {
  protected:
    void SetUp() override
    {
        ManagerTest::SetUp();
        auto& s = fake::state();
        s.getFileData = [](const char* path) {
            return fake::makeImageRecord(2, path, 640, 480, 24);
        };
        s.getFileInfo = [](VideoFileInfo& v) {
            v.hasVideo = 1;
            v.width = 320;
            v.height = 240;
            v.totalFrames = 10;
            v.frameRate = 25000;
            return 1;
        };
        m_manager = newManager();
        m_manager->Initialize(0);
    }
    ComPtr<CMediaFileIOMan> m_manager;
};

mio::CMediaFileIO* implOf(IMediaFileIO* object)
{
    void* impl = nullptr;
    if (FAILED(object->QueryInterface(mio::IID_CMediaFileIOImpl, &impl))) return nullptr;
    object->Release();
    return static_cast<mio::CMediaFileIO*>(impl);
}

TEST_F(ParseTest, StillImageRecordGoesToMediaObjectWithItsLock)
{
    ComPtr<IMediaFileIO> object;
    ASSERT_EQ(m_manager->ParseFile(u"/x/a.tif", object.GetAddressOf()), S_OK);
    EXPECT_TRUE(implOf(object.Get())->holdsLibraryLock());
    int32_t w = 0, h = 0, type = 0;
    EXPECT_EQ(object->GetFrameSize(&w, &h), S_OK);
    EXPECT_EQ(w, 640);
    EXPECT_EQ(object->GetFileType(&type), S_OK);
    EXPECT_EQ(type, 3);
    object.Reset();
    EXPECT_EQ(fake::state().freeFileDataCalls, 1);
}

// Whether another thread could take the file-library lock now.
bool lockIsFree()
{
    return std::async(std::launch::async,
                      [] {
                          mio::LibraryLock& lock = mio::videoLibraryLock();
                          const bool entered = lock.tryEnter();
                          if (entered) lock.leave();
                          return entered;
                      })
        .get();
}

TEST_F(ParseTest, FailedDataCheckFreesRecordAndLeavesLock)
{
    auto& s = fake::state();
    s.getFileInfo = [](VideoFileInfo& v) {
        v.formatKind = kVideoKindNeedsCheck;
        return 1;
    };
    s.checkResult = 0;
    ComPtr<IMediaFileIO> object;
    EXPECT_EQ(m_manager->ParseFile(u"/x/a.mp4", object.GetAddressOf()), E_FAIL);
    EXPECT_EQ(s.checkCalls, 1);
    EXPECT_EQ(s.freeFileInfoCalls, 1);
    EXPECT_TRUE(lockIsFree());
}

TEST_F(ParseTest, SixteenBitPngRecordIsRefused)
{
    auto& s = fake::state();
    s.imageFormats[1].extension = "png";
    s.getFileData = [](const char* path) {
        HGLOBAL block = fake::makeImageRecord(2, path);
        static_cast<ImageFileData*>(GlobalLock(block))->main.colorType = QF_COLOR_RGB48;
        GlobalUnlock(block);
        return block;
    };
    ComPtr<IMediaFileIO> object;
    EXPECT_EQ(m_manager->ParseFile(u"/x/a.tif", object.GetAddressOf()), E_FAIL);
    EXPECT_EQ(s.freeFileDataCalls, 1);
    EXPECT_TRUE(lockIsFree());
}

// Two threads each keep an object of one library alive and then parse a file of the other.
// With one lock per library each would wait for the other forever; the shared lock makes the
// second thread wait until the first has released its objects instead.
TEST_F(ParseTest, CrossLibraryParsesOnTwoThreadsDoNotDeadlock)
{
    std::promise<void> firstHoldsImage;
    std::promise<void> secondStarted;
    auto first = std::async(std::launch::async, [&] {
        ComPtr<IMediaFileIO> image, video;
        HRESULT hr = m_manager->ParseFile(u"/x/a.tif", image.GetAddressOf());
        firstHoldsImage.set_value();
        secondStarted.get_future().wait();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        if (SUCCEEDED(hr)) hr = m_manager->ParseFile(u"/x/b.mp4", video.GetAddressOf());
        return hr;
    });
    auto second = std::async(std::launch::async, [&] {
        firstHoldsImage.get_future().wait();
        ComPtr<IMediaFileIO> video, image;
        secondStarted.set_value();
        HRESULT hr = m_manager->ParseFile(u"/x/c.mp4", video.GetAddressOf());
        if (SUCCEEDED(hr)) hr = m_manager->ParseFile(u"/x/d.tif", image.GetAddressOf());
        return hr;
    });
    const auto deadline = std::chrono::seconds(20);
    if (first.wait_for(deadline) != std::future_status::ready ||
        second.wait_for(deadline) != std::future_status::ready) {
        ADD_FAILURE() << "the two parses are still waiting on each other";
        std::_Exit(1); // the blocked threads cannot be joined
    }
    EXPECT_EQ(first.get(), S_OK);
    EXPECT_EQ(second.get(), S_OK);
}

} // namespace
