// SPDX-License-Identifier: MIT
// The manager's error text after parses, and its image writing without a parsed file.
#include <contracts/common_library.h>
#include <contracts/still_image_library.h>
#include <contracts/wincodec.h>
#include <gtest/gtest.h>
#include <tavrel/platform/memory.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "dib/image_file_io.h"
#include "manager/media_file_io_man.h"
#include "support/test_support.h"

namespace {

using mio::CMediaFileIOMan;

ComPtr<IMediaFileIOMan2> newManager()
{
    ComPtr<IMediaFileIOMan2> manager;
    EXPECT_EQ(CMediaFileIOMan::create(IID_IMediaFileIOMan2,
                                      reinterpret_cast<void**>(manager.GetAddressOf())),
              S_OK);
    return manager;
}

std::string libraryText()
{
    char text[256] = {};
    c32GetDLLErrorInfo(text, sizeof text, 0, 0, 0, 0);
    return text;
}

class ErrorText : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        mioImagingRegister();
        s_manager = newManager().Detach();
        ASSERT_EQ(s_manager->Initialize(0), S_OK);
    }
    static void TearDownTestSuite()
    {
        if (s_manager) s_manager->Release();
        s_manager = nullptr;
        mioImagingUnregister();
    }

    static HRESULT parse(const std::filesystem::path& path)
    {
        ComPtr<IMediaFileIO> object;
        return s_manager->ParseFile(support::u16(path.string()).c_str(), object.GetAddressOf());
    }

    static inline IMediaFileIOMan2* s_manager = nullptr;
    support::TempDir m_dir;
};

TEST_F(ErrorText, SuccessfulParseLeavesNothingToReport)
{
    const auto path = m_dir / "ok.png";
    const mio::UniquePackedDib dib(mio::DibAlloc(3, 2, 24));
    ASSERT_EQ(
        s_manager->WriteImageFile(support::u16(path.string()).c_str(), 60, dib.get(), FALSE, 0),
        S_OK);
    ASSERT_EQ(parse(path), S_OK);
    std::array<WCHAR, 64> buffer;
    buffer.fill(u'x');
    EXPECT_EQ(s_manager->GetErrorString(buffer.data(), sizeof buffer), E_FAIL);
    EXPECT_EQ(buffer[0], u'x');
    EXPECT_EQ(s_manager->GetErrorString(nullptr, 0), E_FAIL);
}

TEST_F(ErrorText, FailedParseReportsTheLibrarysText)
{
    // A TIFF header followed by nonsense: every library refuses it.
    const auto path = m_dir / "broken.tif";
    support::writeFile(path, {'I', 'I', 42, 0, 0xFF, 0xFF, 0xFF, 0x7F, 1, 2, 3, 4, 5, 6, 7, 8});
    ASSERT_EQ(parse(path), E_FAIL);
    const std::string expected = libraryText();
    ASSERT_FALSE(expected.empty());

    // A null buffer only asks whether there is a text.
    EXPECT_EQ(s_manager->GetErrorString(nullptr, 0), S_OK);
    EXPECT_EQ(s_manager->GetErrorString(nullptr, 100), S_OK);

    std::array<WCHAR, 256> buffer;
    buffer.fill(u'x');
    ASSERT_EQ(s_manager->GetErrorString(buffer.data(), sizeof buffer), S_OK);
    EXPECT_EQ(support::u8(buffer.data()), expected);
    // Reading the text does not clear it.
    EXPECT_EQ(s_manager->GetErrorString(nullptr, 0), S_OK);

    // Exactly the text and its terminator fits; one character less is refused untouched.
    const auto exact = static_cast<int32_t>(2 * (expected.size() + 1));
    buffer.fill(u'x');
    EXPECT_EQ(s_manager->GetErrorString(buffer.data(), exact), S_OK);
    EXPECT_EQ(buffer[expected.size()], u'\0');
    buffer.fill(u'x');
    EXPECT_EQ(s_manager->GetErrorString(buffer.data(), exact - 2), E_INVALIDARG);
    EXPECT_EQ(buffer[0], u'x');
    EXPECT_EQ(s_manager->GetErrorString(buffer.data(), 1), E_INVALIDARG);
    EXPECT_EQ(buffer[0], u'x');

    c32ResetDLLErrInfo();
    EXPECT_EQ(s_manager->GetErrorString(buffer.data(), sizeof buffer), E_FAIL);
    EXPECT_EQ(buffer[0], u'x');
}

TEST(ManagerWriteImage, WritesWithoutInitializeAndShortensOnlyWhatIsTooLong)
{
    support::TempDir config;
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    const ComPtr<IMediaFileIOMan2> manager = newManager(); // never initialised
    support::TempDir dir;
    const mio::UniquePackedDib dib(mio::DibAlloc(9, 4, 24));
    const auto path = dir / "out.bmp";
    EXPECT_EQ(manager->WriteImageFile(support::u16(path.string()).c_str(), 78, dib.get(), FALSE, 0),
              E_INVALIDARG);
    EXPECT_EQ(manager->WriteImageFile(support::u16(path.string()).c_str(), 41, nullptr, FALSE, 0),
              E_INVALIDARG);
    EXPECT_FALSE(std::filesystem::exists(path));
    ASSERT_EQ(manager->WriteImageFile(support::u16(path.string()).c_str(), 41, dib.get(), FALSE, 0),
              S_OK);
    HGLOBAL block = qfFileGetFileData(path.c_str(), 0);
    ASSERT_NE(block, nullptr);
    q32FileFreeFileData(block);

    // A new file under a path over 259 characters has no short form: refused, and no file
    // appears under a name cut to fit.
    auto deep = dir.path();
    for (int i = 0; i < 6; ++i)
        deep /= std::string(50, static_cast<char>('a' + i));
    std::filesystem::create_directories(deep);
    const auto longPath = deep / "new.bmp";
    ASSERT_GT(longPath.string().size(), 259u);
    EXPECT_EQ(
        manager->WriteImageFile(support::u16(longPath.string()).c_str(), 41, dib.get(), FALSE, 0),
        E_FAIL);
    EXPECT_TRUE(std::filesystem::is_empty(deep));
}

} // namespace
