// SPDX-License-Identifier: MIT
// The media object's WriteImageFile over the real still-image library and settings file.
#include <gtest/gtest.h>

#include <contracts/common_library.h>
#include <contracts/file_format_id_table.h>
#include <contracts/still_image_library.h>
#include <tavrel/platform/memory.h>
#include <tavrel/platform/profile.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "dib/image_file_io.h"
#include "mediaobject/media_file_io.h"
#include "support/test_support.h"

namespace {

using mio::CMediaFileIO;
using mio::UniquePackedDib;

UniquePackedDib picture(int width, int height)
{
    UniquePackedDib dib(mio::DibAlloc(width, height, 24));
    mio::dib_detail::Layout l{};
    EXPECT_TRUE(mio::dib_detail::describe(dib.get(), l));
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            BYTE* p = l.row(y) + 3 * x;
            // Noise-like content, so that the JPEG quality shows in the file size.
            p[0] = static_cast<BYTE>((x * 37) ^ (y * 11));
            p[1] = static_cast<BYTE>((x * y) >> 2);
            p[2] = static_cast<BYTE>(x * 3 + y * 5);
        }
    return dib;
}

class WriteImage : public ::testing::Test {
  protected:
    void SetUp() override
    {
        setenv("XDG_CONFIG_HOME", m_config.path().c_str(), 1);
        ASSERT_EQ(CMediaFileIO::create(m_object.GetAddressOf()), S_OK);
        char ini[260] = {};
        ASSERT_GT(q32GetKelvraIniFileName(ini, sizeof ini), 0);
        m_ini = ini;
    }

    // The stored quality, or -1 when the key is absent.
    int storedQuality() const
    {
        return static_cast<int>(GetPrivateProfileIntA("QF_IJPG", "Quality", -1, m_ini.c_str()));
    }

    HRESULT write(const std::filesystem::path& path, int32_t format, PackedDib dib,
                  int32_t quality = 0, BOOL preview = FALSE)
    {
        return m_object->WriteImageFile(support::u16(path.string()).c_str(), format, dib, preview,
                                        quality);
    }

    // Format id the library finds in a written file; 0 when it cannot open it.
    static int32_t formatOfFile(const std::filesystem::path& path)
    {
        HGLOBAL block = qfFileGetFileData(path.c_str(), 0);
        if (!block) return 0;
        int32_t id = 0;
        {
            tavrel::GlobalLockGuard lock(block);
            id = static_cast<const ImageFileData*>(lock.data())->formatId;
        }
        q32FileFreeFileData(block);
        return id;
    }

    support::TempDir m_config;
    support::TempDir m_dir;
    ComPtr<IMediaFileIO> m_object;
    std::string m_ini;
};

TEST_F(WriteImage, EveryFormatNumberWritesItsFormatOrIsRefused)
{
    // The formats the library has writers for; every other number is refused as a whole.
    const std::set<std::string> writable = {"bmp", "gif", "jp2", "jpg", "pcx",
                                            "png", "pnm", "tga", "tif", "jpc"};
    const UniquePackedDib dib = picture(23, 9);
    for (int n = FileFormatIdTable::kFirstStill; n <= FileFormatIdTable::kLastStill; ++n) {
        const std::string ext(FileFormatIdTable::extensionOf(n));
        SCOPED_TRACE(ext);
        const auto path = m_dir / ("out." + ext);
        if (writable.count(ext)) {
            ASSERT_EQ(write(path, n, dib.get(), 80), S_OK);
            EXPECT_EQ(formatOfFile(path), qfFileGetFormatID(ext.c_str()));
        } else {
            EXPECT_EQ(write(path, n, dib.get(), 80), E_FAIL);
            EXPECT_FALSE(std::filesystem::exists(path));
        }
    }
}

TEST_F(WriteImage, RefusesNumbersOutsideTheStillRangeAndMissingArguments)
{
    const UniquePackedDib dib = picture(4, 4);
    const auto path = m_dir / "x.bmp";
    EXPECT_EQ(write(path, 40, dib.get()), E_INVALIDARG);
    EXPECT_EQ(write(path, 78, dib.get()), E_INVALIDARG);
    EXPECT_EQ(write(path, 41, nullptr), E_INVALIDARG);
    EXPECT_EQ(m_object->WriteImageFile(nullptr, 41, dib.get(), FALSE, 0), E_INVALIDARG);
    EXPECT_TRUE(std::filesystem::is_empty(m_dir.path()));
    // Path longer than the library's 260-byte field: refused rather than cut to another name.
    const auto deep = m_dir / (std::string(300, 'd') + ".bmp");
    EXPECT_EQ(write(deep, 41, dib.get()), E_FAIL);
    EXPECT_TRUE(std::filesystem::is_empty(m_dir.path()));
}

TEST_F(WriteImage, JpegQualityIsUsedForOneWriteAndRestored)
{
    const UniquePackedDib dib = picture(120, 80);
    ASSERT_EQ(storedQuality(), -1);
    ASSERT_EQ(write(m_dir / "q90.jpg", 53, dib.get(), 90), S_OK);
    EXPECT_EQ(storedQuality(), 85); // nothing stored before: the default is what stays
    ASSERT_EQ(write(m_dir / "q10.jpg", 53, dib.get(), 10), S_OK);
    EXPECT_LT(std::filesystem::file_size(m_dir / "q10.jpg"),
              std::filesystem::file_size(m_dir / "q90.jpg") / 2);

    ASSERT_TRUE(WritePrivateProfileStringA("QF_IJPG", "Quality", "70", m_ini.c_str()));
    ASSERT_EQ(write(m_dir / "q95.jpg", 53, dib.get(), 95), S_OK);
    EXPECT_EQ(storedQuality(), 70);
    // A refused write puts the quality back all the same.
    UniquePackedDib topDown = picture(8, 8);
    topDown->biHeight = -8;
    EXPECT_EQ(write(m_dir / "bad.jpg", 53, topDown.get(), 20), E_FAIL);
    EXPECT_EQ(storedQuality(), 70);
    // Other formats leave the setting alone.
    ASSERT_EQ(write(m_dir / "x.png", 60, dib.get(), 5), S_OK);
    EXPECT_EQ(storedQuality(), 70);
}

TEST_F(WriteImage, OverlappingJpegWritesLeaveTheFormerQuality)
{
    ASSERT_TRUE(WritePrivateProfileStringA("QF_IJPG", "Quality", "70", m_ini.c_str()));
    const UniquePackedDib dib = picture(32, 32);
    std::vector<std::thread> writers;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([&, t] {
            ComPtr<IMediaFileIO> object;
            if (CMediaFileIO::create(object.GetAddressOf()) != S_OK) {
                ++failures;
                return;
            }
            for (int i = 0; i < 5; ++i) {
                const auto path =
                    m_dir / ("t" + std::to_string(t) + "-" + std::to_string(i) + ".jpg");
                if (object->WriteImageFile(support::u16(path.string()).c_str(), 53, dib.get(),
                                           FALSE, 10 + 20 * t + i) != S_OK)
                    ++failures;
            }
        });
    for (auto& writer : writers)
        writer.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(storedQuality(), 70);
}

TEST_F(WriteImage, OverwritingReplacesWholeOrLeavesTheFileAsItWas)
{
    const auto path = m_dir / "photo.png";
    const UniquePackedDib first = picture(40, 30);
    ASSERT_EQ(write(path, 60, first.get()), S_OK);
    const auto before = support::readFile(path);

    UniquePackedDib refused = picture(50, 50);
    refused->biHeight = -50;
    EXPECT_EQ(write(path, 60, refused.get()), E_FAIL);
    EXPECT_EQ(write(path, 63, first.get()), E_FAIL); // psd: no writer
    EXPECT_EQ(support::readFile(path), before);

    const UniquePackedDib second = picture(7, 5);
    ASSERT_EQ(write(path, 60, second.get()), S_OK);
    HGLOBAL block = qfFileGetFileData(path.c_str(), 0);
    ASSERT_NE(block, nullptr);
    PackedDib back = nullptr;
    ASSERT_GT(mio::DibReadImageFile(block, false, &back, nullptr), 0);
    const UniquePackedDib owned(back);
    q32FileFreeFileData(block);
    EXPECT_EQ(back->biWidth, 7);
    EXPECT_EQ(back->biHeight, 5);
    EXPECT_EQ(mio::DibImageSize(back), mio::DibImageSize(second.get()));
    EXPECT_EQ(0,
              std::memcmp(mio::DibBits(back), mio::DibBits(second.get()), mio::DibImageSize(back)));
    // No temporary sibling stays behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_dir.path()),
                            std::filesystem::directory_iterator()),
              1);
}

TEST_F(WriteImage, NonAsciiNamesOnAnObjectWithoutRecord)
{
    const UniquePackedDib dib = picture(40, 20);
    const auto path = m_dir / "bild-\xC3\xBC.jpg";
    ASSERT_EQ(write(path, 53, dib.get(), 85), S_OK);
    EXPECT_EQ(formatOfFile(path), qfFileGetFormatID("jpg"));
    // The object never held a record and still reports none.
    int32_t width = 0, height = 0;
    EXPECT_EQ(m_object->GetFrameSize(&width, &height), E_FAIL);
}

} // namespace
