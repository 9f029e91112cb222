// SPDX-License-Identifier: MIT
// XMP through the query readers: extended XMP chunks joined by GUID and offset, merged into the
// main packet only when it names them, damaged chunks ignored; packets in forms our own reader
// leaves to the toolkit still read.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "imaging_test_util.h"
#include "support/test_support.h"

using namespace imgtest;

namespace {

using Bytes = std::vector<uint8_t>;

const std::string kGuid = "2B3F1A0C9D8E7F6A5B4C3D2E1F0A9B8C";

std::string packet(const std::string& attrs, const std::string& body)
{
    return "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
           "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description "
           "rdf:about='' xmlns:dc='http://purl.org/dc/elements/1.1/' "
           "xmlns:xmp='http://ns.adobe.com/xap/1.0/' "
           "xmlns:xmpNote='http://ns.adobe.com/xmp/note/' "
           "xmlns:photoshop='http://ns.adobe.com/photoshop/1.0/' " +
           attrs + ">" + body + "</rdf:Description></rdf:RDF></x:xmpmeta>";
}

Bytes app1(std::string_view signature, const std::string& content)
{
    const size_t len = signature.size() + content.size() + 2;
    std::string seg = {'\xFF', '\xE1', static_cast<char>(len >> 8), static_cast<char>(len)};
    seg.append(signature).append(content);
    return Bytes(seg.begin(), seg.end());
}

std::string be32(uint32_t v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8),
            static_cast<char>(v)};
}

Bytes extendedChunk(const std::string& guid, uint32_t full, uint32_t offset, std::string_view data)
{
    return app1(std::string_view("http://ns.adobe.com/xmp/extension/\0", 35),
                guid + be32(full) + be32(offset) + std::string(data));
}

// A small real JPEG with these segments put right after SOI.
Bytes jpegWith(const std::vector<Bytes>& segments)
{
    const Bytes pixels(16 * 16 * 3, 0x80);
    const Bytes picture = encodeJpeg(16, 16, 3, pixels);
    std::string out(picture.begin(), picture.begin() + 2);
    for (const Bytes& s : segments)
        out.append(s.begin(), s.end());
    out.append(picture.begin() + 2, picture.end());
    return Bytes(out.begin(), out.end());
}

const std::string kMain =
    packet("xmp:Rating='2' xmpNote:HasExtendedXMP='" + kGuid + "'",
           "<dc:subject><rdf:Bag><rdf:li>main</rdf:li></rdf:Bag></dc:subject>");
const std::string kExtension =
    packet("photoshop:History='a long history'",
           "<dc:subject><rdf:Bag><rdf:li>ext1</rdf:li><rdf:li>ext2</rdf:li></rdf:Bag>"
           "</dc:subject>");

Bytes mainSegment(const std::string& xml = kMain)
{
    return app1(std::string_view("http://ns.adobe.com/xap/1.0/\0", 29), xml);
}

// The extension in two chunks, the second first.
std::vector<Bytes> extensionChunks(const std::string& guid = kGuid)
{
    const auto n = static_cast<uint32_t>(kExtension.size());
    const uint32_t half = n / 2;
    return {extendedChunk(guid, n, half, std::string_view(kExtension).substr(half)),
            extendedChunk(guid, n, 0, std::string_view(kExtension).substr(0, half))};
}

ComPtr<IWICMetadataQueryReader> readerFor(const Bytes& file)
{
    ComPtr<IWICBitmapDecoder> decoder;
    EXPECT_EQ(decoderFromBytes(file, decoder), S_OK);
    if (!decoder) return nullptr;
    ComPtr<IWICBitmapFrameDecode> frame;
    EXPECT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), S_OK);
    ComPtr<IWICMetadataQueryReader> reader;
    EXPECT_EQ(frame->GetMetadataQueryReader(reader.GetAddressOf()), S_OK);
    return reader;
}

// The text at `path`, or the failure code as text.
std::string text(IWICMetadataQueryReader* r, const char* path)
{
    tavrel::PropVariant v;
    const HRESULT hr = r->GetMetadataByName(support::u16(path).c_str(), &v);
    if (FAILED(hr)) return "hr " + std::to_string(static_cast<unsigned>(hr));
    if (v.vt != VT_LPWSTR) return "vt " + std::to_string(v.vt);
    return support::u8(v.pwszVal);
}

const std::string kMissing =
    "hr " + std::to_string(static_cast<unsigned>(WINCODEC_ERR_PROPERTYNOTFOUND));

TEST(MetadataExtendedXmp, ChunksMergeIntoTheMainPacket)
{
    std::vector<Bytes> segments = {mainSegment()};
    for (Bytes& c : extensionChunks())
        segments.push_back(std::move(c));
    auto r = readerFor(jpegWith(segments));
    ASSERT_TRUE(r);
    // The extension's array replaces the main one; its new property joins; the rest stays.
    EXPECT_EQ(text(r.Get(), "/xmp/dc:subject/{ulong=0}"), "ext1");
    EXPECT_EQ(text(r.Get(), "/xmp/dc:subject/{ulong=1}"), "ext2");
    EXPECT_EQ(text(r.Get(), "/xmp/photoshop:History"), "a long history");
    EXPECT_EQ(text(r.Get(), "/xmp/xmp:Rating"), "2");
    EXPECT_EQ(text(r.Get(), "/xmp/xmpNote:HasExtendedXMP"), kGuid);
}

TEST(MetadataExtendedXmp, OnlyTheAnnouncedGuidIsMerged)
{
    // Chunks of another GUID, and a main packet that announces none.
    std::vector<Bytes> other = {mainSegment()};
    for (Bytes& c : extensionChunks("FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"))
        other.push_back(std::move(c));
    std::vector<Bytes> unannounced = {mainSegment(packet(
        "xmp:Rating='2'", "<dc:subject><rdf:Bag><rdf:li>main</rdf:li></rdf:Bag></dc:subject>"))};
    for (Bytes& c : extensionChunks())
        unannounced.push_back(std::move(c));
    for (const auto* segments : {&other, &unannounced}) {
        auto r = readerFor(jpegWith(*segments));
        ASSERT_TRUE(r);
        EXPECT_EQ(text(r.Get(), "/xmp/dc:subject/{ulong=0}"), "main");
        EXPECT_EQ(text(r.Get(), "/xmp/photoshop:History"), kMissing);
    }
}

TEST(MetadataExtendedXmp, DamagedExtensionsLeaveTheMainPacket)
{
    const auto n = static_cast<uint32_t>(kExtension.size());
    const std::string_view ext(kExtension);
    std::vector<std::vector<Bytes>> cases = {
        // only the first half
        {mainSegment(), extendedChunk(kGuid, n, 0, ext.substr(0, n / 2))},
        // a hole between the pieces
        {mainSegment(), extendedChunk(kGuid, n, 0, ext.substr(0, 10)),
         extendedChunk(kGuid, n, 20, ext.substr(20))},
        // a huge announced length
        {mainSegment(), extendedChunk(kGuid, 0xFFFFFFF0u, 0, ext)},
        // complete, but not XML
        {mainSegment(), extendedChunk(kGuid, 8, 0, "<<<<>>>>")},
        // a header cut short
        {mainSegment(),
         app1(std::string_view("http://ns.adobe.com/xmp/extension/\0", 35), kGuid.substr(0, 20))},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        auto r = readerFor(jpegWith(cases[i]));
        ASSERT_TRUE(r) << i;
        EXPECT_EQ(text(r.Get(), "/xmp/dc:subject/{ulong=0}"), "main") << i;
        EXPECT_EQ(text(r.Get(), "/xmp/xmp:Rating"), "2") << i;
        EXPECT_EQ(text(r.Get(), "/xmp/photoshop:History"), kMissing) << i;
    }
    // A bad chunk among good ones is skipped.
    std::vector<Bytes> mixed = {mainSegment(), extendedChunk(kGuid, n + 5, 0, "junk")};
    for (Bytes& c : extensionChunks())
        mixed.push_back(std::move(c));
    auto r = readerFor(jpegWith(mixed));
    ASSERT_TRUE(r);
    EXPECT_EQ(text(r.Get(), "/xmp/photoshop:History"), "a long history");
}

TEST(MetadataXmpFallback, FormsLeftToTheToolkitStillRead)
{
    // A typed node as a property value: the toolkit reads it as a structure.
    const std::string typed =
        "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
        "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description rdf:about='' "
        "xmlns:xmp='http://ns.adobe.com/xap/1.0/' xmlns:t='urn:mio-test/'>"
        "<xmp:Rating>4</xmp:Rating><t:p><t:Kind t:f='1'/></t:p></rdf:Description></rdf:RDF>"
        "</x:xmpmeta>";
    auto r = readerFor(jpegWith({mainSegment(typed)}));
    ASSERT_TRUE(r);
    EXPECT_EQ(text(r.Get(), "/xmp/xmp:Rating"), "4");
    EXPECT_EQ(text(r.Get(), "/xmp/t:p/t:f"), "1");
    // Malformed XML fails cleanly in both readers.
    auto bad = readerFor(jpegWith({mainSegment("<x:xmpmeta><rdf:RDF>")}));
    ASSERT_TRUE(bad);
    tavrel::PropVariant v;
    EXPECT_EQ(bad->GetMetadataByName(u"/xmp/xmp:Rating", &v), WINCODEC_ERR_BADMETADATAHEADER);
}

} // namespace
