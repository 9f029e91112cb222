// SPDX-License-Identifier: MIT
// JPEG metadata query readers: block paths, value types, enumeration, the query grammar and
// damaged metadata, on corpus files and on files built here.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "imaging_test_util.h"
#include "support/test_support.h"

using namespace imgtest;

namespace {

ComPtr<IWICMetadataQueryReader> readerOf(IWICBitmapDecoder* decoder)
{
    ComPtr<IWICBitmapFrameDecode> frame;
    EXPECT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), S_OK);
    ComPtr<IWICMetadataQueryReader> reader;
    EXPECT_EQ(frame->GetMetadataQueryReader(reader.GetAddressOf()), S_OK);
    return reader;
}

ComPtr<IWICMetadataQueryReader> readerOfFile(const std::filesystem::path& path)
{
    ComPtr<IWICBitmapDecoder> decoder;
    EXPECT_EQ(decoderFromFile(path, decoder), S_OK);
    return decoder ? readerOf(decoder.Get()) : nullptr;
}

HRESULT get(IWICMetadataQueryReader* r, const char* path, tavrel::PropVariant& v)
{
    v.reset();
    return r->GetMetadataByName(support::u16(path).c_str(), &v);
}

std::vector<std::string> names(IWICMetadataQueryReader* r, bool mustList = true)
{
    ComPtr<IEnumString> e;
    const HRESULT hr = r->GetEnumerator(e.GetAddressOf());
    if (mustList) {
        EXPECT_EQ(hr, S_OK);
    }
    std::vector<std::string> out;
    LPOLESTR s = nullptr;
    ULONG got = 0;
    while (e && e->Next(1, &s, &got) == S_OK) {
        out.push_back(support::u8(s));
        CoTaskMemFree(s);
    }
    return out;
}

bool contains(const std::vector<std::string>& v, const std::string& s)
{
    return std::find(v.begin(), v.end(), s) != v.end();
}

// Walks every block and value below a reader: nothing may fail that the enumerator listed.
size_t walk(IWICMetadataQueryReader* r, int depth = 0)
{
    size_t count = 0;
    for (const std::string& name : names(r)) {
        tavrel::PropVariant v;
        EXPECT_EQ(get(r, name.c_str(), v), S_OK) << name;
        ++count;
        if (v.vt == VT_UNKNOWN && depth < 8) {
            ComPtr<IWICMetadataQueryReader> nested;
            EXPECT_EQ(v.punkVal->QueryInterface(IID_IWICMetadataQueryReader,
                                                reinterpret_cast<void**>(nested.GetAddressOf())),
                      S_OK);
            if (nested) count += walk(nested.Get(), depth + 1);
        }
    }
    return count;
}

} // namespace

TEST(MetadataReader, ExifBlocksValuesAndNestedReaders)
{
    MIO_CORPUS_FILE(path, "jpeg/Canon_40D.jpg");
    auto r = readerOfFile(path);
    ASSERT_TRUE(r);
    tavrel::PropVariant v;
    ASSERT_EQ(get(r.Get(), "/app1/ifd/{ushort=271}", v), S_OK);
    ASSERT_EQ(v.vt, VT_LPSTR);
    EXPECT_STREQ(v.pszVal, "Canon");
    // Aliases, case and {uint=} reach the same item.
    ASSERT_EQ(get(r.Get(), "/APP1/{ushort=0}/{UINT=271}", v), S_OK);
    EXPECT_STREQ(v.pszVal, "Canon");
    ASSERT_EQ(get(r.Get(), "/app1/ifd/exif/{ushort=36867}", v), S_OK);
    EXPECT_STREQ(v.pszVal, "2008:05:30 15:56:01");
    // Orientation SHORT -> VT_UI2, ExifVersion UNDEFINED -> VT_BLOB, rationals low word first.
    ASSERT_EQ(get(r.Get(), "/app1/ifd/{ushort=274}", v), S_OK);
    EXPECT_EQ(v.vt, VT_UI2);
    EXPECT_EQ(v.uiVal, 1);
    ASSERT_EQ(get(r.Get(), "/app1/ifd/exif/{ushort=36864}", v), S_OK);
    ASSERT_EQ(v.vt, VT_BLOB);
    ASSERT_EQ(v.blob.cbSize, 4u);
    EXPECT_EQ(std::memcmp(v.blob.pBlobData, "0221", 4), 0);
    ASSERT_EQ(get(r.Get(), "/app1/ifd/exif/{ushort=33434}", v), S_OK); // ExposureTime 1/160
    ASSERT_EQ(v.vt, VT_UI8);
    EXPECT_EQ(v.uhVal.QuadPart & 0xFFFFFFFFu, 1u);
    EXPECT_EQ(v.uhVal.QuadPart >> 32, 160u);
    ASSERT_EQ(get(r.Get(), "/app1/thumb/{ushort=513}", v), S_OK);
    EXPECT_EQ(v.vt, VT_UI4);
    // The block as a nested reader: format, location, relative queries, one level listed.
    ASSERT_EQ(get(r.Get(), "/app1/ifd", v), S_OK);
    ASSERT_EQ(v.vt, VT_UNKNOWN);
    ComPtr<IWICMetadataQueryReader> ifd;
    ASSERT_EQ(v.punkVal->QueryInterface(IID_IWICMetadataQueryReader,
                                        reinterpret_cast<void**>(ifd.GetAddressOf())),
              S_OK);
    GUID format{};
    ASSERT_EQ(ifd->GetContainerFormat(&format), S_OK);
    EXPECT_EQ(format, GUID_MetadataFormatIfd);
    WCHAR loc[32];
    UINT len = 0;
    ASSERT_EQ(ifd->GetLocation(32, loc, &len), S_OK);
    EXPECT_EQ(support::u8(loc), "/app1/ifd");
    EXPECT_EQ(len, 10u);
    tavrel::PropVariant model;
    ASSERT_EQ(get(ifd.Get(), "/{ushort=272}", model), S_OK);
    EXPECT_STREQ(model.pszVal, "Canon EOS 40D");
    const auto listed = names(ifd.Get());
    EXPECT_EQ(listed.front(), "/{ushort=271}"); // file order
    EXPECT_TRUE(contains(listed, "/exif"));
    EXPECT_TRUE(contains(listed, "/gps"));
    EXPECT_FALSE(contains(listed, "/{ushort=36867}")); // one level only
    // The root lists blocks in file order; the file has no XMP and no IPTC.
    const auto root = names(r.Get());
    ASSERT_GE(root.size(), 2u);
    EXPECT_EQ(root[0], "/app0");
    EXPECT_EQ(root[1], "/app1");
    EXPECT_EQ(get(r.Get(), "/xmp", v), WINCODEC_ERR_PROPERTYNOTFOUND);
    EXPECT_EQ(get(r.Get(), "/app13/irb/8bimiptc/iptc", v), WINCODEC_ERR_PROPERTYNOTFOUND);
    // Existence test with no value.
    EXPECT_EQ(r->GetMetadataByName(u"/app1/ifd/gps", nullptr), S_OK);
    EXPECT_EQ(r->GetMetadataByName(u"/app1/ifd/{ushort=1}", nullptr),
              WINCODEC_ERR_PROPERTYNOTFOUND);
    EXPECT_GT(walk(r.Get()), 40u);
}

TEST(MetadataReader, QueryGrammar)
{
    MIO_CORPUS_FILE(path, "jpeg/Canon_40D.jpg");
    auto r = readerOfFile(path);
    ASSERT_TRUE(r);
    tavrel::PropVariant v;
    EXPECT_EQ(get(r.Get(), "/[0]app1/[*]ifd/{ushort=271}", v), S_OK);
    EXPECT_EQ(get(r.Get(), "/[1]app1", v), WINCODEC_ERR_PROPERTYNOTFOUND);
    EXPECT_EQ(get(r.Get(), "/app1/ifd/", v), S_OK); // a trailing slash names the block
    EXPECT_EQ(v.vt, VT_UNKNOWN);
    EXPECT_EQ(get(r.Get(), "/{ushort=0}", v), WINCODEC_ERR_PROPERTYNOTFOUND); // root: blocks only
    EXPECT_EQ(get(r.Get(), "/app0/{ushort=2}", v), S_OK);
    EXPECT_EQ(v.vt, VT_UI2);
    for (const char* bad : {"app1", "", "/[0][1]app1", "/app1/{ushort=x}", "/app1/{ushort=1",
                            "/[0app1", "/app1//ifd", "/", "System.Title"})
        EXPECT_EQ(get(r.Get(), bad, v), WINCODEC_ERR_INVALIDQUERYREQUEST) << bad;
    EXPECT_EQ(r->GetMetadataByName(nullptr, &v), E_INVALIDARG);
    EXPECT_EQ(r->GetEnumerator(nullptr), E_INVALIDARG);
}

TEST(MetadataReader, IptcDatasetsByNameAndVector)
{
    MIO_CORPUS_FILE(path, "jpeg/exiftool_IPTC.jpg");
    auto r = readerOfFile(path);
    ASSERT_TRUE(r);
    tavrel::PropVariant v;
    ASSERT_EQ(get(r.Get(), "/app13/irb/8bimiptc/iptc/{str=Keywords}", v), S_OK);
    ASSERT_EQ(v.vt, VT_LPSTR | VT_VECTOR);
    ASSERT_EQ(v.calpstr.cElems, 3u);
    EXPECT_STREQ(v.calpstr.pElems[0], "ExifTool");
    EXPECT_STREQ(v.calpstr.pElems[2], "IPTC");
    ASSERT_EQ(get(r.Get(), "/app13/irb/{ulonglong=61857348781060}/iptc/by-line", v), S_OK);
    ASSERT_EQ(v.vt, VT_LPSTR);
    EXPECT_STREQ(v.pszVal, "Phil Harvey");
    ASSERT_EQ(get(r.Get(), "/app13/irb/8bimiptc/iptc", v), S_OK);
    ComPtr<IWICMetadataQueryReader> iptc;
    ASSERT_EQ(v.punkVal->QueryInterface(IID_IWICMetadataQueryReader,
                                        reinterpret_cast<void**>(iptc.GetAddressOf())),
              S_OK);
    GUID format{};
    ASSERT_EQ(iptc->GetContainerFormat(&format), S_OK);
    EXPECT_EQ(format, GUID_MetadataFormatIPTC);
    const auto listed = names(iptc.Get());
    EXPECT_TRUE(contains(listed, "/{str=Caption-Abstract}"));
    tavrel::PropVariant caption;
    ASSERT_EQ(get(iptc.Get(), "/{str=Caption-Abstract}", caption), S_OK);
    EXPECT_STREQ(caption.pszVal, "A witty caption");
}

TEST(MetadataReader, XmpPropertiesBagsAndAlternatives)
{
    MIO_CORPUS_FILE(path, "jpeg/BlueSquare_xmp.jpg");
    auto r = readerOfFile(path);
    ASSERT_TRUE(r);
    tavrel::PropVariant v;
    ASSERT_EQ(get(r.Get(), "/xmp/dc:title", v), S_OK);
    ASSERT_EQ(v.vt, VT_UNKNOWN);
    ComPtr<IWICMetadataQueryReader> title;
    ASSERT_EQ(v.punkVal->QueryInterface(IID_IWICMetadataQueryReader,
                                        reinterpret_cast<void**>(title.GetAddressOf())),
              S_OK);
    GUID format{};
    ASSERT_EQ(title->GetContainerFormat(&format), S_OK);
    EXPECT_EQ(format, GUID_MetadataFormatXMPAlt);
    EXPECT_EQ(names(title.Get()), std::vector<std::string>{"/x-default"});
    ASSERT_EQ(get(r.Get(), "/xmp/dc:title/x-default", v), S_OK);
    ASSERT_EQ(v.vt, VT_LPWSTR);
    EXPECT_EQ(support::u8(v.pwszVal), "Blue Square Test File - .jpg");
    ASSERT_EQ(get(r.Get(), "/xmp/dc:subject/{ulong=1}", v), S_OK);
    EXPECT_EQ(support::u8(v.pwszVal), "Blue Square");
    // Without a schema, the name matches in any namespace; an unknown name is missing.
    EXPECT_EQ(get(r.Get(), "/xmp/subject", v), S_OK);
    EXPECT_EQ(get(r.Get(), "/xmp/dc:nothing", v), WINCODEC_ERR_PROPERTYNOTFOUND);
    ASSERT_EQ(get(r.Get(), "/xmp", v), S_OK);
    ComPtr<IWICMetadataQueryReader> xmp;
    ASSERT_EQ(v.punkVal->QueryInterface(IID_IWICMetadataQueryReader,
                                        reinterpret_cast<void**>(xmp.GetAddressOf())),
              S_OK);
    const auto listed = names(xmp.Get());
    EXPECT_TRUE(contains(listed, "/dc:title"));
    EXPECT_TRUE(contains(listed, "/dc:subject"));
    tavrel::PropVariant again;
    EXPECT_EQ(get(xmp.Get(), "/dc:subject/{ulong=0}", again), S_OK); // relative to the block
    EXPECT_EQ(support::u8(again.pwszVal), "XMP");
}

TEST(MetadataReader, RatingAsTextOnCorpusFile)
{
    MIO_CORPUS_FILE(path, "jpeg/iptc-agency-photographer-example.jpg");
    auto r = readerOfFile(path);
    ASSERT_TRUE(r);
    tavrel::PropVariant v;
    ASSERT_EQ(get(r.Get(), "/xmp/xmp:Rating", v), S_OK);
    ASSERT_EQ(v.vt, VT_LPWSTR);
    EXPECT_EQ(support::u8(v.pwszVal), "2");
    EXPECT_GT(walk(r.Get()), 100u);
}

TEST(MetadataReader, EveryCorpusJpegWalksCleanly)
{
    const auto dir = support::corpusDir() / "jpeg";
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "corpus not available";
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() != ".jpg") continue;
        ComPtr<IWICBitmapDecoder> decoder;
        if (FAILED(decoderFromFile(entry.path(), decoder))) continue;
        auto r = readerOf(decoder.Get());
        ASSERT_TRUE(r) << entry.path();
        walk(r.Get());
        ++files;
    }
    EXPECT_GT(files, 10u);
}

// Damaged metadata must fail cleanly: mutate the head of a metadata-rich file at random and
// truncate it at every segment boundary region.
TEST(MetadataReader, DamagedHeadsNeverCrash)
{
    MIO_CORPUS_FILE(path, "jpeg/iptc-agency-photographer-example.jpg");
    const auto original = support::readFile(path);
    std::mt19937 rng(7);
    for (int round = 0; round < 150; ++round) {
        auto bytes = original;
        const size_t head = std::min<size_t>(bytes.size(), 40000);
        for (int k = 0; k < 12; ++k)
            bytes[2 + rng() % (head - 2)] = static_cast<uint8_t>(rng());
        if (round % 3 == 0) bytes.resize(2 + rng() % head);
        ComPtr<IWICBitmapFrameDecode> frame;
        if (FAILED(firstFrame(bytes, frame))) continue;
        ComPtr<IWICMetadataQueryReader> r;
        if (FAILED(frame->GetMetadataQueryReader(r.GetAddressOf()))) continue;
        for (const std::string& name : names(r.Get(), false)) {
            tavrel::PropVariant v;
            if (FAILED(get(r.Get(), name.c_str(), v)) || v.vt != VT_UNKNOWN) continue;
            ComPtr<IWICMetadataQueryReader> nested;
            v.punkVal->QueryInterface(IID_IWICMetadataQueryReader,
                                      reinterpret_cast<void**>(nested.GetAddressOf()));
            // A damaged XMP packet may refuse to list (WINCODEC_ERR_BADMETADATAHEADER).
            for (const std::string& inner : names(nested.Get(), false)) {
                tavrel::PropVariant w;
                (void)get(nested.Get(), inner.c_str(), w);
            }
        }
    }
    SUCCEED() << "no crash, no sanitizer report";
}
