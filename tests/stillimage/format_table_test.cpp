// SPDX-License-Identifier: MIT
// The format list as the manager sees it: ids, extension lists, descriptions, id lookup.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "contracts/file_format_id_table.h"
#include "contracts/still_image_library.h"
#include "format_table.h"
#include "tavrel/platform/memory.h"

namespace {

std::string extList(int32_t id)
{
    char area[QF_FORMAT_EXT_AREA];
    std::memset(area, 'x', sizeof(area));
    if (!qfFileGetFormatExt(id, area, 4)) return "<none>";
    return area;
}

TEST(StillImageFormats, EveryEngineExtensionIsTheFirstOfItsOwnFormat)
{
    ASSERT_GE(qfFileGetFileFmtNum(), FileFormatIdTable::kStillCount);
    for (int n = FileFormatIdTable::kFirstStill; n <= FileFormatIdTable::kLastStill; ++n) {
        const std::string ext(FileFormatIdTable::extensionOf(n));
        const int32_t id = qfFileGetFormatID(ext.c_str());
        ASSERT_GT(id, 0) << ext;
        const std::string list = extList(id);
        EXPECT_EQ(list.substr(0, list.find(';')), ext);

        HGLOBAL info = qfFileGetFormatInfo(id);
        ASSERT_NE(info, nullptr);
        const auto* bytes = static_cast<const char*>(GlobalLock(info));
        EXPECT_STREQ(bytes + 28, ext.c_str());
        EXPECT_GT(std::strlen(bytes + 32), 0u);
        GlobalUnlock(info);
        EXPECT_EQ(qfFileGetFormatInfo(id), info) << "format descriptions are kept, not remade";
    }
}

TEST(StillImageFormats, ListsNewerFormatsAndCameraRawUnderRaw)
{
    const int32_t raw = qfFileGetFormatID("raw");
    for (const char* ext : {"cr2", "CR3", "nef", "arw", "dng", "orf", "rw2", "raf", "pef", "srw",
                            "x3f", "kdc", "mrw", "iiq", "rwl"})
        EXPECT_EQ(qfFileGetFormatID(ext), raw) << ext;
    EXPECT_GT(qfFileGetFormatID("webp"), 0);
    EXPECT_GT(qfFileGetFormatID("heic"), 0);
    EXPECT_EQ(qfFileGetFormatID("heif"), qfFileGetFormatID("heic"));
    EXPECT_GT(qfFileGetFormatID("avif"), 0);
    EXPECT_EQ(qfFileGetFormatID(".JPEG"), qfFileGetFormatID("jpg"));
    EXPECT_EQ(qfFileGetFormatID("TIFF"), qfFileGetFormatID("tif"));
    EXPECT_EQ(qfFileGetFormatID("nope"), 0);
    EXPECT_EQ(qfFileGetFormatID(nullptr), 0);
}

TEST(StillImageFormats, ExtensionListsFitTheAreaWithoutDotsAndUnknownIdsFail)
{
    for (int32_t id = 1; id <= qfFileGetFileFmtNum(); ++id) {
        const std::string list = extList(id);
        EXPECT_LT(list.size(), size_t{QF_FORMAT_EXT_AREA}) << id;
        EXPECT_EQ(list.find('.'), std::string::npos) << list;
        EXPECT_NE(list.back(), ';') << list;
    }
    char area[QF_FORMAT_EXT_AREA] = {};
    EXPECT_EQ(qfFileGetFormatExt(0, area, 4), 0);
    EXPECT_EQ(qfFileGetFormatExt(qfFileGetFileFmtNum() + 1, area, 4), 0);
    EXPECT_EQ(qfFileGetFormatInfo(0), nullptr);
}

TEST(StillImageFormats, LongPrimaryExtensionsLeaveTheThreeLetterFieldEmpty)
{
    HGLOBAL info = qfFileGetFormatInfo(qfFileGetFormatID("webp"));
    ASSERT_NE(info, nullptr);
    const auto* bytes = static_cast<const char*>(GlobalLock(info));
    EXPECT_EQ(bytes[28], '\0');
    EXPECT_STREQ(bytes + 32, "WebP");
    GlobalUnlock(info);
}

} // namespace
