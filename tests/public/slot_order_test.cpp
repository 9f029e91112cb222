// SPDX-License-Identifier: MIT
// Hosts call the engine through vtables, so each method must sit in its published slot.
#include <gtest/gtest.h>

#include <cstring>

#include "tavrelmediaio/MediaFileIO.h"

namespace {

// Itanium C++ ABI: a pointer to a virtual member function stores 1 + the byte offset of its
// vtable entry.
template <typename Pmf>
size_t slotOf(Pmf pmf)
{
    static_assert(sizeof(Pmf) == 2 * sizeof(uintptr_t));
    uintptr_t rep[2];
    std::memcpy(rep, &pmf, sizeof rep);
    EXPECT_EQ(rep[0] % sizeof(void*), 1u) << "not a virtual function";
    return (rep[0] - 1) / sizeof(void*);
}

} // namespace

TEST(PublicInterfaces, MediaFileIOMethodsSitInTheirSlots)
{
    using I = IMediaFileIO;
    EXPECT_EQ(slotOf(&I::QueryInterface), 0u);
    EXPECT_EQ(slotOf(&I::Invoke), 6u);
    EXPECT_EQ(slotOf(&I::SetVideoData), 7u);
    EXPECT_EQ(slotOf(&I::SetImageData), 8u);
    EXPECT_EQ(slotOf(&I::GetFrameSize), 9u);
    EXPECT_EQ(slotOf(&I::GetBitRate), 17u);
    EXPECT_EQ(slotOf(&I::GetPreviewThumbnail), 22u);
    EXPECT_EQ(slotOf(&I::ParseDetail), 25u);
    EXPECT_EQ(slotOf(&I::GetMetaTags), 26u);
    EXPECT_EQ(slotOf(&I::GetMetaDataStr), 32u);
    EXPECT_EQ(slotOf(&I::GetFileFormatExtName), 33u);
    EXPECT_EQ(slotOf(&I::GetFileFormatID), 36u);
    EXPECT_EQ(slotOf(&I::GetMetaDataStr_BSTR), 41u);
    EXPECT_EQ(slotOf(&I::GetAlbum_BSTR), 46u);
    EXPECT_EQ(slotOf(&I::WriteImageFile), 47u);
    EXPECT_EQ(slotOf(&I::GetCodecInfo), 51u);
    EXPECT_EQ(slotOf(&I::GetFrameThumbnailEx), 52u);
    EXPECT_EQ(slotOf(&I::EnableBGRA32), 55u);
    EXPECT_EQ(slotOf(&I::HasPreviewThumbnail), 56u);
}

TEST(PublicInterfaces, ManagerAndOpeningInterfacesSitInTheirSlots)
{
    EXPECT_EQ(slotOf(&IMediaFileIOMan::ParseFile), 7u);
    EXPECT_EQ(slotOf(&IMediaFileIOMan::GetErrorString), 10u);
    EXPECT_EQ(slotOf(&IMediaFileIOMan::Initialize), 12u);
    EXPECT_EQ(slotOf(&IMediaFileIOMan2::ParseFileEx), 13u);
    EXPECT_EQ(slotOf(&IMediaFileIOMan2::ParseFileEx_BSTR), 14u);
    EXPECT_EQ(slotOf(&IMediaFile::OpenMedia), 3u);
    EXPECT_EQ(slotOf(&IMediaFile::GetFrameCount), 6u);
}
