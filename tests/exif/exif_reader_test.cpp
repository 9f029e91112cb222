// SPDX-License-Identifier: MIT
// The EXIF reader: containers, value records in host order, damaged blocks, and agreement with
// ExifTool on the corpus.
#include "contracts/exif_library.h"

#include "support/test_support.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

struct ReaderDeleter {
    void operator()(ExifReaderState* h) const { qExifDestroy(h); }
};
using Reader = std::unique_ptr<ExifReaderState, ReaderDeleter>;

Reader load(const std::filesystem::path& path)
{
    return Reader(qExifLoadFile(path.string().c_str()));
}

struct Value {
    int type = 0;
    Bytes bytes;
};

// The tag's value, or nothing when the reader reports it absent (and then pData must be null).
std::optional<Value> getTag(HEXIFREADER reader, int tag)
{
    ExifTagValue value{};
    value.pData = reinterpret_cast<BYTE*>(&value); // must be cleared on failure
    if (qExifGetTag(reader, tag, &value, 0) != 0) {
        EXPECT_EQ(value.pData, nullptr);
        return std::nullopt;
    }
    Value out{value.nType, Bytes(value.pData, value.pData + value.nLength)};
    if (value.nType == ExifTypeAscii) {
        EXPECT_EQ(value.pData[value.nLength], 0);
    }
    std::free(value.pData);
    return out;
}

void be16(Bytes& b, uint32_t v)
{
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void be32(Bytes& b, uint32_t v)
{
    be16(b, v >> 16);
    be16(b, v & 0xFFFF);
}

// A big-endian TIFF block: IFD0 {Make "Camera", Orientation 6, XResolution 72/1, EXIF pointer}
// and an EXIF IFD with an SLONG and a two-value SSHORT. `makeCount` may be made hostile.
Bytes bigEndianTiff(uint32_t makeCount = 7)
{
    Bytes b = {'M', 'M', 0, 42};
    be32(b, 8);
    // IFD0 at 8: 4 entries (12 bytes each) + count + next = 2 + 48 + 4 = 54 -> values from 62.
    be16(b, 4);
    be16(b, 0x10F), be16(b, ExifTypeAscii), be32(b, makeCount), be32(b, 62);
    be16(b, 0x112), be16(b, ExifTypeShort), be32(b, 1), be16(b, 6), be16(b, 0);
    be16(b, 0x11A), be16(b, ExifTypeRational), be32(b, 1), be32(b, 70);
    be16(b, 0x8769), be16(b, ExifTypeLong), be32(b, 1), be32(b, 78);
    be32(b, 0);
    b.insert(b.end(), {'C', 'a', 'm', 'e', 'r', 'a', 0, 0}); // 62
    be32(b, 72), be32(b, 1);                                 // 70
    be16(b, 2);                                              // 78: EXIF IFD, 2 entries
    be16(b, 0x9201), be16(b, ExifTypeSLong), be32(b, 1), be32(b, static_cast<uint32_t>(-7));
    be16(b, 0x9204), be16(b, ExifTypeSShort), be32(b, 2), be16(b, static_cast<uint16_t>(-2)),
        be16(b, 5);
    be32(b, 0);
    return b;
}

Bytes jpegWith(const Bytes& tiff)
{
    Bytes b = {0xFF, 0xD8, 0xFF, 0xE1};
    be16(b, static_cast<uint32_t>(tiff.size() + 8));
    b.insert(b.end(), {'E', 'x', 'i', 'f', 0, 0});
    b.insert(b.end(), tiff.begin(), tiff.end());
    b.insert(b.end(), {0xFF, 0xD9});
    return b;
}

Bytes pngWith(const Bytes& tiff)
{
    Bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    be32(b, static_cast<uint32_t>(tiff.size()));
    b.insert(b.end(), {'e', 'X', 'I', 'f'});
    b.insert(b.end(), tiff.begin(), tiff.end());
    be32(b, 0); // CRC, not checked
    be32(b, 0);
    b.insert(b.end(), {'I', 'E', 'N', 'D'});
    be32(b, 0);
    return b;
}

Bytes webpWith(const Bytes& tiff)
{
    Bytes chunk = {'E', 'X', 'I', 'F'};
    const auto n = static_cast<uint32_t>(tiff.size() + 6);
    chunk.insert(chunk.end(), {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8),
                               static_cast<uint8_t>(n >> 16), static_cast<uint8_t>(n >> 24)});
    chunk.insert(chunk.end(), {'E', 'x', 'i', 'f', 0, 0});
    chunk.insert(chunk.end(), tiff.begin(), tiff.end());
    if (chunk.size() % 2) chunk.push_back(0);
    Bytes b = {'R', 'I', 'F', 'F'};
    const auto total = static_cast<uint32_t>(chunk.size() + 4);
    b.insert(b.end(), {static_cast<uint8_t>(total), static_cast<uint8_t>(total >> 8),
                       static_cast<uint8_t>(total >> 16), static_cast<uint8_t>(total >> 24)});
    b.insert(b.end(), {'W', 'E', 'B', 'P'});
    b.insert(b.end(), chunk.begin(), chunk.end());
    return b;
}

template <class T> T hostValue(const Value& v)
{
    T out{};
    EXPECT_EQ(v.bytes.size(), sizeof(T));
    std::memcpy(&out, v.bytes.data(), std::min(sizeof(T), v.bytes.size()));
    return out;
}

TEST(ExifReader, ValuesComeInHostOrderFromEveryContainer)
{
    support::TempDir dir;
    const Bytes tiff = bigEndianTiff();
    const std::pair<const char*, Bytes> files[] = {{"a.jpg", jpegWith(tiff)},
                                                   {"a.tif", tiff},
                                                   {"a.png", pngWith(tiff)},
                                                   {"a.webp", webpWith(tiff)}};
    for (const auto& [name, bytes] : files) {
        SCOPED_TRACE(name);
        support::writeFile(dir / name, bytes);
        auto reader = load(dir / name);
        ASSERT_TRUE(reader);
        EXPECT_EQ(qExifIsExifExist(reader.get()), 1);

        auto make = getTag(reader.get(), 0x10F);
        ASSERT_TRUE(make);
        EXPECT_EQ(make->type, ExifTypeAscii);
        EXPECT_EQ(make->bytes,
                  (Bytes{'C', 'a', 'm', 'e', 'r', 'a'})); // length without the terminator

        auto orientation = getTag(reader.get(), 0x112);
        ASSERT_TRUE(orientation);
        EXPECT_EQ(orientation->type, ExifTypeShort);
        EXPECT_EQ(hostValue<uint16_t>(*orientation), 6);

        auto resolution = getTag(reader.get(), 0x11A);
        ASSERT_TRUE(resolution);
        EXPECT_EQ(resolution->type, ExifTypeRational);
        ASSERT_EQ(resolution->bytes.size(), 8u);
        uint32_t fraction[2];
        std::memcpy(fraction, resolution->bytes.data(), 8);
        EXPECT_EQ(fraction[0], 72u);
        EXPECT_EQ(fraction[1], 1u);

        // From the EXIF sub-IFD; multi-value SSHORT gives its first value only.
        auto slong = getTag(reader.get(), 0x9201);
        ASSERT_TRUE(slong);
        EXPECT_EQ(slong->type, ExifTypeSLong);
        EXPECT_EQ(hostValue<int32_t>(*slong), -7);
        auto sshort = getTag(reader.get(), 0x9204);
        ASSERT_TRUE(sshort);
        EXPECT_EQ(sshort->type, ExifTypeSShort);
        EXPECT_EQ(hostValue<int16_t>(*sshort), -2);

        EXPECT_FALSE(getTag(reader.get(), 0x110)); // Model absent
        EXPECT_FALSE(getTag(reader.get(), -1));
        EXPECT_FALSE(getTag(reader.get(), 0x10000 + 0x10F));
    }
}

TEST(ExifReader, KnownImagesWithoutExifStillGiveAHandle)
{
    MIO_CORPUS_FILE(jpeg, "jpeg/testimgint.jpg");
    auto reader = load(jpeg);
    ASSERT_TRUE(reader);
    EXPECT_EQ(qExifIsExifExist(reader.get()), 0);
    EXPECT_FALSE(getTag(reader.get(), 0x10F));
    MIO_CORPUS_FILE(png, "png/transparent.png");
    auto pngReader = load(png);
    ASSERT_TRUE(pngReader);
    EXPECT_EQ(qExifIsExifExist(pngReader.get()), 0);
}

TEST(ExifReader, RefusesWhatItCannotReadAndNullArguments)
{
    support::TempDir dir;
    support::writeFile(dir / "empty.jpg", {});
    support::writeFile(dir / "text.jpg", {'h', 'e', 'l', 'l', 'o'});
    EXPECT_FALSE(load(dir / "empty.jpg"));
    EXPECT_FALSE(load(dir / "text.jpg"));
    EXPECT_FALSE(load(dir / "missing.jpg"));
    EXPECT_FALSE(load(dir.path())); // a folder
    EXPECT_EQ(qExifLoadFile(nullptr), nullptr);
    EXPECT_EQ(qExifIsExifExist(nullptr), 0);
    ExifTagValue value{};
    EXPECT_NE(qExifGetTag(nullptr, 0x10F, &value, 0), 0);
    EXPECT_EQ(value.pData, nullptr);
    support::writeFile(dir / "a.jpg", jpegWith(bigEndianTiff()));
    auto reader = load(dir / "a.jpg");
    ASSERT_TRUE(reader);
    EXPECT_NE(qExifGetTag(reader.get(), 0x10F, nullptr, 0), 0);
    qExifDestroy(nullptr);
}

TEST(ExifReader, DamagedBlocksFailCleanly)
{
    support::TempDir dir;
    // A count that points far past the block: the tag is unreadable, the rest still answers.
    support::writeFile(dir / "huge.jpg", jpegWith(bigEndianTiff(0x7FFFFFF0u)));
    auto reader = load(dir / "huge.jpg");
    ASSERT_TRUE(reader);
    EXPECT_FALSE(getTag(reader.get(), 0x10F));
    auto orientation = getTag(reader.get(), 0x112);
    ASSERT_TRUE(orientation);
    EXPECT_EQ(hostValue<uint16_t>(*orientation), 6);

    // Every prefix of a file: a handle or none, never a crash; a cut block is absent or partial.
    const Bytes whole = jpegWith(bigEndianTiff());
    for (size_t n = 1; n < whole.size(); n += 3) {
        support::writeFile(dir / "cut.jpg",
                           Bytes(whole.begin(), whole.begin() + static_cast<long>(n)));
        auto cut = load(dir / "cut.jpg");
        if (cut && qExifIsExifExist(cut.get())) (void)getTag(cut.get(), 0x10F);
    }
    // A segment length running past the end of the file.
    Bytes liar = whole;
    liar[4] = 0xFF;
    support::writeFile(dir / "liar.jpg", liar);
    auto liarReader = load(dir / "liar.jpg");
    ASSERT_TRUE(liarReader);
    EXPECT_EQ(qExifIsExifExist(liarReader.get()), 0);
}

TEST(ExifReader, CutHeifFilesFailCleanly)
{
    MIO_CORPUS_FILE(heic, "other-images/IMG_5195.HEIC");
    const Bytes whole = support::readFile(heic);
    support::TempDir dir;
    // From just past the file-type box, which names the brand.
    for (size_t n = 64; n < std::min<size_t>(whole.size(), 6000); n += 97) {
        support::writeFile(dir / "cut.heic",
                           Bytes(whole.begin(), whole.begin() + static_cast<long>(n)));
        auto cut = load(dir / "cut.heic");
        ASSERT_TRUE(cut) << n; // still a HEIF file
        // The item table (meta box) ends at 24 + 0xBAF; before that the EXIF item is unknown.
        if (n < 24 + 0xBAF) {
            EXPECT_EQ(qExifIsExifExist(cut.get()), 0) << n;
        } else if (qExifIsExifExist(cut.get())) {
            auto make = getTag(cut.get(), 0x10F);
            if (make) {
                EXPECT_EQ(std::string(make->bytes.begin(), make->bytes.end()), "Apple");
            }
        }
    }
    auto full = load(heic);
    ASSERT_TRUE(full);
    auto make = getTag(full.get(), 0x10F);
    ASSERT_TRUE(make);
    EXPECT_EQ(std::string(make->bytes.begin(), make->bytes.end()), "Apple");
}

std::string run(const std::string& command)
{
    std::string out;
    std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
    if (!pipe) return out;
    char buffer[4096];
    while (size_t n = fread(buffer, 1, sizeof buffer, pipe.get()))
        out.append(buffer, n);
    return out;
}

std::string trimRight(std::string s)
{
    while (!s.empty() && (s.back() == ' ' || s.back() == '\n'))
        s.pop_back();
    return s;
}

bool isAscii(const std::string& s)
{
    for (unsigned char c : s)
        if (c >= 0x80) return false;
    return true;
}

TEST(ExifReader, AgreesWithExifToolOnTheCorpus)
{
    if (std::system("exiftool -ver >/dev/null 2>&1") != 0) GTEST_SKIP() << "exiftool not installed";
    const char* files[] = {"jpeg/Canon_40D.jpg",
                           "jpeg/DSCN0010_gps.jpg",
                           "jpeg/Fujifilm_FinePix_E500.jpg",
                           "jpeg/Nikon_D70.jpg",
                           "jpeg/Pentax_K10D.jpg",
                           "jpeg/exif_gps.jpg",
                           "jpeg/exiftool_XMP.jpg",
                           "jpeg/flower.jpg",
                           "jpeg/iptc.jpg",
                           "jpeg/landscape_6.jpg",
                           "jpeg/landscape_8.jpg",
                           "jpeg/portrait_5.jpg",
                           "jpeg/long_description.jpg",
                           "jpeg/ultrahdr.jpg",
                           "jpeg/sample_sony1.jpg",
                           "jpeg/iptc-agency-photographer-example.jpg",
                           "jpeg/testimgint.jpg",
                           "tiff/DudleyLeavittUtah.tiff",
                           "tiff/rdf.tif",
                           "tiff/multipage.tiff",
                           "png/exif.png",
                           "other-images/IMG_5195.HEIC",
                           "raw/canon_eos_6d.dng",
                           "raw/colorchart_magiclantern.dng",
                           "raw/exiftool_CanonRaw.cr2",
                           "raw/exiftool_Nikon.nef",
                           "raw/RAW_KODAK_DC50.KDC"};
    const int tags[] = {0x10F, 0x110, 0x132, 0x112, 0x10E};
    int compared = 0;
    for (const char* name : files) {
        SCOPED_TRACE(name);
        const auto path = support::corpusPathOrEmpty(name);
        if (path.empty()) continue;
        // IFD0 only: the reader would also find these ids in the EXIF IFD, where ExifTool's
        // group names differ, but none of the corpus files has them there.
        std::istringstream fields(run("exiftool -T -n -f -IFD0:Make -IFD0:Model -IFD0:ModifyDate "
                                      "-IFD0:Orientation -IFD0:ImageDescription '" +
                                      path.string() + "' 2>/dev/null"));
        auto reader = load(path);
        ASSERT_TRUE(reader);
        for (int tag : tags) {
            std::string expected;
            std::getline(fields, expected, tag == 0x10E ? '\n' : '\t');
            const auto value = getTag(reader.get(), tag);
            if (expected == "-") {
                EXPECT_FALSE(value) << std::hex << tag;
                continue;
            }
            ASSERT_TRUE(value) << std::hex << tag;
            std::string ours;
            if (value->type == ExifTypeAscii) {
                ours.assign(value->bytes.begin(), value->bytes.end());
            } else {
                ASSERT_EQ(value->type, ExifTypeShort);
                ours = std::to_string(hostValue<uint16_t>(*value));
            }
            if (!isAscii(ours)) continue; // ExifTool re-encodes Latin-1 text
            EXPECT_EQ(trimRight(ours), trimRight(expected)) << std::hex << tag;
            ++compared;
        }
    }
    if (compared == 0) GTEST_SKIP() << "corpus not available";
    EXPECT_GT(compared, 40);
}

} // namespace
