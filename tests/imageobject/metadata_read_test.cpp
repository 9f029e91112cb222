// SPDX-License-Identifier: MIT
// Image object metadata reading on corpus JPEG copies: listing, bytes and text forms, keyword
// lists, names and BSTR wrappers, with the values checked against ExifTool.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "image_object_test_support.h"
#include "imageobject/image_file_io.h"
#include "metadata/tag_catalogue.h"
#include "metadata_test_support.h"
#include "support/test_support.h"

using namespace objtest;

namespace {

constexpr HRESULT kNotFound = WINCODEC_ERR_PROPERTYNOTFOUND;

int32_t exifTag(const char16_t* path)
{
    const int32_t tag = mio::FindTagByPath(1, path);
    EXPECT_GE(tag, 0);
    return tag;
}

TEST(ImageMetadataRead, ExifListingAndValuesAgainstExifTool)
{
    MIO_CORPUS_FILE(src, "jpeg/Canon_40D.jpg");
    support::ScopedCopy copy(src);
    HRESULT hr = E_FAIL;
    auto object = open(copy.path(), hr);
    ASSERT_EQ(hr, S_OK);

    int32_t total = -1;
    ASSERT_EQ(object->GetMetaTags(1, &total, nullptr, 100), S_OK);
    ASSERT_GT(total, 5);
    std::vector<int32_t> all(static_cast<size_t>(total), -1);
    int32_t again = 0;
    ASSERT_EQ(object->GetMetaTags(1, &again, all.data(), total), S_OK);
    EXPECT_EQ(again, total);
    int32_t three[4] = {-1, -1, -1, -1};
    ASSERT_EQ(object->GetMetaTags(1, &again, three, 3), S_OK);
    EXPECT_EQ(again, total); // all counted, only three stored
    EXPECT_EQ(three[0], all[0]);
    EXPECT_EQ(three[2], all[2]);
    EXPECT_EQ(three[3], -1);
    ASSERT_EQ(object->GetMetaTags(1, &again, three, 0), S_OK);
    EXPECT_EQ(again, total);

    const int32_t make = exifTag(u"/{ushort=271}");
    const int32_t exposure = exifTag(u"/{ushort=33434}");
    WCHAR text[64] = {};
    ASSERT_EQ(object->GetMetaDataStr(1, make, text, sizeof text), S_OK);
    EXPECT_EQ(support::u8(text), exiftool(copy.path(), "-IFD0:Make"));
    // An EXIF rational: numerator, then denominator, both as text and as bytes.
    ASSERT_EQ(object->GetMetaDataStr(1, exposure, text, sizeof text), S_OK);
    EXPECT_EQ(support::u8(text), "1 / 160");
    uint32_t rational[2] = {};
    int32_t size = 0;
    ASSERT_EQ(object->GetMetaData(1, exposure, reinterpret_cast<BYTE*>(rational), 8, &size), S_OK);
    EXPECT_EQ(size, 8);
    EXPECT_EQ(rational[0], 1u);
    EXPECT_EQ(rational[1], 160u);

    // Too small: refused, nothing copied, the needed size reported.
    BYTE small[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    size = 0;
    EXPECT_EQ(object->GetMetaData(1, make, small, 4, &size), E_INVALIDARG);
    EXPECT_EQ(size, 2 * (5 + 1)); // "Canon" and its NUL, as UTF-16
    EXPECT_EQ(small[0], 0xAA);
    EXPECT_EQ(object->GetMetaDataStr(1, make, text, 2 * 5), E_INVALIDARG);

    EXPECT_EQ(object->GetMetaTags(0, &total, nullptr, 0), E_INVALIDARG);
    EXPECT_EQ(object->GetMetaTags(8, &total, nullptr, 0), E_INVALIDARG);
    EXPECT_EQ(object->GetMetaTags(1, nullptr, nullptr, 0), E_INVALIDARG);
    EXPECT_EQ(object->GetMetaTags(3, &total, nullptr, 0), E_NOTIMPL);
    EXPECT_EQ(object->GetMetaData(1, 100000, small, 4, &size), E_FAIL);    // not in the catalogue
    EXPECT_EQ(object->GetMetaDataStr(7, 4, text, sizeof text), kNotFound); // no XMP block
}

TEST(ImageMetadataRead, FirstDirectoryWithoutExifSubDirectoryFailsCodeOne)
{
    MIO_CORPUS_FILE(src, "jpeg/Canon_40D.jpg");
    support::ScopedCopy copy(src);
    ASSERT_TRUE(exiftoolEdit(copy.path(), {"-ExifIFD:all="}));
    ASSERT_EQ(exiftool(copy.path(), "-IFD0:Make"), "Canon");
    HRESULT hr = E_FAIL;
    auto object = open(copy.path(), hr);
    ASSERT_EQ(hr, S_OK);
    int32_t total = 0;
    EXPECT_EQ(object->GetMetaTags(1, &total, nullptr, 0), kNotFound);
    WCHAR text[64] = {};
    EXPECT_EQ(object->GetMetaDataStr(1, exifTag(u"/{ushort=271}"), text, sizeof text), kNotFound);
}

TEST(ImageMetadataRead, KeywordsAsListAndText)
{
    MIO_CORPUS_FILE(src, "jpeg/Canon_40D.jpg");
    support::ScopedCopy copy(src);
    ASSERT_TRUE(exiftoolEdit(copy.path(), {"-XMP-dc:Subject=sky", "-XMP-dc:Subject=sea",
                                           "-XMP-dc:Subject=salt;pepper"}));
    HRESULT hr = E_FAIL;
    auto object = open(copy.path(), hr);
    ASSERT_EQ(hr, S_OK);
    WCHAR list[64];
    int32_t size = 0;
    ASSERT_EQ(object->GetSubjectTags(list, sizeof list, &size), S_OK);
    // A ';' inside an item ends an item too.
    const std::u16string expected(u"sky\0sea\0salt\0pepper\0", 20);
    ASSERT_EQ(size, 2 * 20);
    EXPECT_EQ(std::u16string(list, 20), expected);
    WCHAR text[64] = {};
    ASSERT_EQ(object->GetMetaDataStr(7, 1, text, sizeof text), S_OK);
    EXPECT_EQ(support::u8(text), "sky; sea; salt;pepper");
    EXPECT_EQ(object->GetSubjectTags(list, 2 * 19, &size), E_INVALIDARG);
    EXPECT_EQ(size, 40);
}

TEST(ImageMetadataRead, BstrWrappersAndNames)
{
    MIO_CORPUS_FILE(src, "jpeg/Canon_40D.jpg");
    support::ScopedCopy copy(src);
    const std::string title63(63, 'x');
    ASSERT_TRUE(exiftoolEdit(copy.path(), {"-XMP-dc:Title=" + title63, "-XMP-xmp:Rating=3"}));
    HRESULT hr = E_FAIL;
    auto object = open(copy.path(), hr);
    ASSERT_EQ(hr, S_OK);

    BSTR value = reinterpret_cast<BSTR>(1);
    ASSERT_EQ(object->GetCaption_BSTR(&value), S_OK);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(support::u8(value), title63);
    SysFreeString(value);
    WCHAR rating[8] = {};
    ASSERT_EQ(object->GetRating(rating, sizeof rating), S_OK);
    EXPECT_EQ(support::u8(rating), "3");

    value = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(object->GetArtist_BSTR(&value), E_FAIL);
    EXPECT_EQ(value, nullptr);
    value = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(object->GetAlbum_BSTR(&value), E_FAIL);
    EXPECT_EQ(value, nullptr);

    WCHAR name[64] = {};
    const auto expected = mio::GetTagDisplayName(7, 4);
    ASSERT_TRUE(expected.has_value());
    ASSERT_EQ(object->GetMetaTagName(7, 4, name, sizeof name), S_OK);
    EXPECT_EQ(std::u16string(name), std::u16string(*expected));
    EXPECT_EQ(object->GetMetaTagName(7, 4, name, static_cast<int32_t>(2 * expected->size())),
              E_INVALIDARG);
    EXPECT_EQ(object->GetMetaTagName(7, 999, name, sizeof name), E_FAIL);

    // 64 characters do not fit the wrappers' 128-byte buffer.
    support::ScopedCopy longer(src);
    ASSERT_TRUE(exiftoolEdit(longer.path(), {"-XMP-dc:Title=" + std::string(64, 'y')}));
    auto second = open(longer.path(), hr);
    ASSERT_EQ(hr, S_OK);
    value = reinterpret_cast<BSTR>(1);
    EXPECT_EQ(second->GetCaption_BSTR(&value), E_INVALIDARG);
    EXPECT_EQ(value, nullptr);
}

TEST(ImageMetadataRead, OtherContainersAndClosedObject)
{
    support::TempDir dir;
    const auto png = dir / "a.png";
    writePng(png, testPicture(8, 8));
    HRESULT hr = E_FAIL;
    auto object = open(png, hr);
    ASSERT_EQ(hr, S_OK);
    int32_t total = 0;
    WCHAR text[64] = {};
    EXPECT_EQ(object->GetMetaTags(7, &total, nullptr, 0), E_NOTIMPL);
    EXPECT_EQ(object->GetMetaDataStr(7, 4, text, sizeof text), E_NOTIMPL);
    EXPECT_EQ(object->GetMetaTagName(7, 4, text, sizeof text), S_OK);

    ASSERT_EQ(asMediaFile(object)->CloseMedia(), S_OK);
    EXPECT_EQ(object->GetMetaTags(7, &total, nullptr, 0), E_FAIL);
    EXPECT_EQ(object->GetMetaDataStr(7, 4, text, sizeof text), E_FAIL);
    EXPECT_EQ(object->GetMetaTagName(7, 4, text, sizeof text), E_FAIL);
}

} // namespace

namespace {

TEST(ImageMetadataRead, ValueTypesAsTextAndBytes)
{
    MIO_CORPUS_FILE(src, "jpeg/iptc.jpg");
    support::ScopedCopy copy(src);
    HRESULT hr = E_FAIL;
    auto object = open(copy.path(), hr);
    ASSERT_EQ(hr, S_OK);
    WCHAR text[128] = {};

    // An undefined-type EXIF value comes as a blob: hexadecimal bytes as text, raw as bytes.
    ASSERT_EQ(object->GetMetaDataStr(1, exifTag(u"/{ushort=36864}"), text, sizeof text), S_OK);
    EXPECT_EQ(support::u8(text), "30, 32, 32, 30");
    BYTE version[8] = {};
    int32_t size = 0;
    ASSERT_EQ(object->GetMetaData(1, exifTag(u"/{ushort=36864}"), version, 8, &size), S_OK);
    EXPECT_EQ(size, 4);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(version), 4), "0220");

    // A 16-bit value.
    const int32_t iso = exifTag(u"/{ushort=34855}");
    ASSERT_EQ(object->GetMetaDataStr(1, iso, text, sizeof text), S_OK);
    EXPECT_EQ(support::u8(text), exiftool(copy.path(), "-ExifIFD:ISO"));
    uint16_t isoValue = 0;
    ASSERT_EQ(object->GetMetaData(1, iso, reinterpret_cast<BYTE*>(&isoValue), 2, &size), S_OK);
    EXPECT_EQ(size, 2);
    EXPECT_EQ(std::to_string(isoValue), exiftool(copy.path(), "-ExifIFD:ISO"));

    // Repeated IPTC keywords: a text list joined with ", ".
    const int32_t keywords = mio::FindTagByPath(2, u"/{str=Keywords}");
    ASSERT_GE(keywords, 0);
    ASSERT_EQ(object->GetMetaDataStr(2, keywords, text, sizeof text), S_OK);
    std::string expected = exiftool(copy.path(), "-IPTC:Keywords");
    for (size_t at; (at = expected.find('|')) != std::string::npos;)
        expected.replace(at, 1, ", ");
    EXPECT_EQ(support::u8(text), expected);
    int32_t total = 0;
    ASSERT_EQ(object->GetMetaTags(2, &total, nullptr, 0), S_OK);
    EXPECT_GT(total, 0);
}

TEST(ImageMetadataRead, EmptyFirstListItemLeavesNoLeadingSeparator)
{
    MIO_CORPUS_FILE(src, "jpeg/iptc.jpg");
    support::ScopedCopy copy(src);
    ASSERT_TRUE(exiftoolEdit(copy.path(), {"-sep", ",", "-IPTC:Keywords=,b,c"}));
    ASSERT_EQ(exiftool(copy.path(), "-IPTC:Keywords"), "|b|c");
    HRESULT hr = E_FAIL;
    auto object = open(copy.path(), hr);
    ASSERT_EQ(hr, S_OK);
    WCHAR text[64] = {};
    ASSERT_EQ(
        object->GetMetaDataStr(2, mio::FindTagByPath(2, u"/{str=Keywords}"), text, sizeof text),
        S_OK);
    EXPECT_EQ(support::u8(text), "b, c");
}

} // namespace
