// SPDX-License-Identifier: MIT
// The manager over the real libraries: initialisation, parsing corpus files of each kind, and
// paths that are too long or outside the ANSI code page for the libraries' path fields.
#include <contracts/wincodec.h>
#include <gtest/gtest.h>
#include <tavrel/platform/text.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "manager/media_file_io_man.h"
#include "support/test_support.h"

namespace {

using mio::CMediaFileIOMan;

class ManagerCorpus : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        mioImagingRegister();
        ComPtr<IMediaFileIOMan2> manager;
        ASSERT_EQ(CMediaFileIOMan::create(IID_IMediaFileIOMan2,
                                          reinterpret_cast<void**>(manager.GetAddressOf())),
                  S_OK);
        const auto start = std::chrono::steady_clock::now();
        s_initResult = manager->Initialize(0);
        s_initMicroseconds = std::chrono::duration_cast<std::chrono::microseconds>(
                                 std::chrono::steady_clock::now() - start)
                                 .count();
        s_manager = manager.Detach();
    }
    static void TearDownTestSuite()
    {
        if (s_manager) s_manager->Release();
        s_manager = nullptr;
        mioImagingUnregister();
    }

    // Kind of the object ParseFile makes (GetFileType), or the failure.
    static HRESULT parse(const std::u16string& path, int32_t* type)
    {
        ComPtr<IMediaFileIO> object;
        const HRESULT hr = s_manager->ParseFile(path.c_str(), object.GetAddressOf());
        if (FAILED(hr)) return hr;
        return object->GetFileType(type);
    }

    static inline IMediaFileIOMan2* s_manager = nullptr;
    static inline HRESULT s_initResult = E_FAIL;
    static inline long long s_initMicroseconds = 0;
};

TEST_F(ManagerCorpus, InitializeCreatesTheImagingFactory)
{
    EXPECT_EQ(s_initResult, S_OK);
    RecordProperty("InitializeMicroseconds", std::to_string(s_initMicroseconds));
    const auto& table = static_cast<CMediaFileIOMan*>(s_manager)->extensionTable();
    EXPECT_GT(table.videoCount(), 0);
    EXPECT_GT(table.imageCount(), 0);
}

TEST_F(ManagerCorpus, ParsesEachKind)
{
    const struct {
        const char* file;
        HRESULT result;
        int32_t type;
    } cases[] = {
        {"tiff/hopper_lzw.tif", S_OK, 3},
        {"raw/canon_eos_6d.dng", S_OK, 3},
        {"video/small_video_hevc.mp4", S_OK, 1},
        {"audio/xing.mp3", S_OK, 2},
        // No image object serves this process: the animated GIF reaches the still-image
        // library, which reports its 31 frames, and is refused.
        {"gif/chi.gif", E_FAIL, 0},
        {"broken/emptyfile.mp3", E_FAIL, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const auto path = support::corpusPathOrEmpty(c.file);
        if (path.empty()) GTEST_SKIP() << "corpus not available";
        int32_t type = 0;
        EXPECT_EQ(parse(path.u16string(), &type), c.result);
        if (c.result == S_OK) {
            EXPECT_EQ(type, c.type);
        }
    }
    int32_t type = 0;
    EXPECT_EQ(parse(u"/nowhere/without-extension", &type), E_FAIL);
}

TEST_F(ManagerCorpus, LongAndNonLatinPathsReachTheLibraries)
{
    MIO_CORPUS_FILE(video, "video/small_video_hevc.mp4");
    MIO_CORPUS_FILE(image, "tiff/hopper_lzw.tif");
    support::TempDir dir;
    std::filesystem::path folder = dir.path();
    while (folder.string().size() < 300)
        folder /= std::string(60, 'l');
    std::filesystem::create_directories(folder);
    const auto nonLatin = dir.path() / std::filesystem::path(u8"\u6620\u753b.mp4");
    std::filesystem::copy_file(video, folder / "clip.mp4");
    std::filesystem::copy_file(image, folder / "picture.tif");
    std::filesystem::copy_file(video, nonLatin);

    int32_t type = 0;
    EXPECT_EQ(parse((folder / "clip.mp4").u16string(), &type), S_OK);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(parse((folder / "picture.tif").u16string(), &type), S_OK);
    EXPECT_EQ(type, 3);
    ASSERT_TRUE(TavrelSetActiveCodePage(1252));
    const HRESULT hr = parse(nonLatin.u16string(), &type);
    TavrelSetActiveCodePage(CP_UTF8);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(type, 1);
}

} // namespace
