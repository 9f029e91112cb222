// SPDX-License-Identifier: MIT
// Every JPEG, PNG, BMP and single-frame GIF of the corpus through the image object, buffered and
// unbuffered: properties against the manifest and the file, previews against a box downscale.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <regex>

#include "dib/thumbnail_fit.h"
#include "image_object_test_support.h"
#include "imageobject/image_file_io.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using namespace objtest;

namespace {

/// What the manifest (measured with ExifTool) says about one file.
struct ManifestEntry {
    uint64_t bytes = 0;
    int width = 0;
    int height = 0;
    std::string fields; // the measured-values column
    std::optional<std::string> field(const std::string& name) const
    {
        const std::regex re(name + "=([^;]*);");
        std::smatch m;
        if (!std::regex_search(fields, m, re)) return std::nullopt;
        return m[1].str();
    }
};

std::map<std::string, ManifestEntry> readManifest()
{
    std::map<std::string, ManifestEntry> entries;
    std::ifstream in(support::corpusDir() / "MANIFEST.md");
    const std::regex row(R"(^\| `([^`]+)` \| (\d+) \|.*\| ([^|]*)\|\s*$)");
    const std::regex size(R"(type=[A-Z]+; (\d+)x(\d+);)");
    for (std::string line; std::getline(in, line);) {
        std::smatch m, s;
        if (!std::regex_match(line, m, row)) continue;
        ManifestEntry e;
        e.bytes = std::stoull(m[2].str());
        e.fields = m[3].str();
        if (std::regex_search(e.fields, s, size)) {
            e.width = std::stoi(s[1].str());
            e.height = std::stoi(s[2].str());
        }
        entries[m[1].str()] = e;
    }
    return entries;
}

/// The JFIF densities straight from the file: the first APP0 "JFIF" segment before the scan.
std::optional<std::pair<int, int>> jfifDensity(const std::vector<uint8_t>& b)
{
    if (b.size() < 4 || b[0] != 0xFF || b[1] != 0xD8) return std::nullopt;
    for (size_t at = 2; at + 4 <= b.size() && b[at] == 0xFF && b[at + 1] != 0xDA;) {
        const size_t length = size_t{b[at + 2]} << 8 | b[at + 3];
        if (b[at + 1] == 0xE0 && length >= 16 && at + 2 + length <= b.size() &&
            std::memcmp(&b[at + 4], "JFIF\0", 5) == 0)
            return std::pair{b[at + 12] << 8 | b[at + 13], b[at + 14] << 8 | b[at + 15]};
        at += 2 + length;
    }
    return std::nullopt;
}

/// The bit count frame 0 should report, from the measured channel layout; nullopt when the
/// pixel format lies outside the table (16 bits per sample).
std::optional<int> expectedBits(const std::string& kind, const ManifestEntry& e)
{
    const int sample = std::stoi(e.field("bits").value_or("8"));
    if (kind == "jpeg") {
        if (sample != 8) return std::nullopt;
        const int comps = std::stoi(e.field("comps").value_or("3"));
        return comps == 1 ? 8 : comps == 4 ? 32 : 24;
    }
    if (kind == "png") {
        if (sample == 16) return std::nullopt;
        const std::string color = e.field("color").value_or("");
        if (color == "RGB with Alpha") return 32;
        if (color == "RGB") return 24;
        return 8; // palette and grey
    }
    if (kind == "gif") return 8;
    return sample; // BMP: bits per pixel
}

const std::map<std::string, std::tuple<GUID, std::u16string, std::u16string, int>> kKinds = {
    {"jpeg", {GUID_ContainerFormatJpeg, u"JPEG file interchange format", u".jpg", 53}},
    {"png", {GUID_ContainerFormatPng, u"Portable Network Graphics", u".png", 60}},
    {"gif", {GUID_ContainerFormatGif, u"Graphics Interchange Format", u".gif", 48}},
    {"bmp", {GUID_ContainerFormatBmp, u"Windows Bitmap", u".bmp", 41}},
};

std::vector<std::string> corpusImages()
{
    std::vector<std::string> files;
    const fs::path root = support::corpusDir();
    if (root.empty() || !fs::is_directory(root)) return files;
    for (const auto& [kind, unused] : kKinds) {
        if (!fs::is_directory(root / kind)) continue;
        for (const auto& entry : fs::directory_iterator(root / kind))
            if (entry.is_regular_file())
                files.push_back(kind + "/" + entry.path().filename().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

/// The preview the object should give at 160 x 120, computed independently: the embedded
/// thumbnail when it reaches a limit, else frame 0; fitted, cut to multiples of 4, then an
/// area average of the source's pixels.
struct ExpectedPreview {
    UINT width = 0, height = 0;
    std::vector<uint8_t> bgr;
    bool scaled = false;
    bool fromJpegFrame = false; // scaled from a JPEG frame (main or embedded)
};

ExpectedPreview expectedPreview(const fs::path& path)
{
    ExpectedPreview out;
    auto f = factory();
    ComPtr<IWICBitmapDecoder> decoder;
    ComPtr<IWICBitmapFrameDecode> frame;
    EXPECT_EQ(f->CreateDecoderFromFilename(support::u16(path.string()).c_str(), nullptr,
                                           GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                           decoder.GetAddressOf()),
              S_OK);
    EXPECT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), S_OK);
    ComPtr<IWICBitmapSource> source;
    ComPtr<IWICBitmapSource> thumbnail;
    if (SUCCEEDED(frame->GetThumbnail(thumbnail.GetAddressOf()))) {
        UINT w = 0, h = 0;
        thumbnail->GetSize(&w, &h);
        if (!(160 > w && 120 > h)) source = thumbnail;
    }
    if (!source) {
        EXPECT_EQ(frame.As(&source), S_OK);
    }
    // Embedded thumbnails of JPEG files are JPEG frames too.
    GUID container{};
    EXPECT_EQ(decoder->GetContainerFormat(&container), S_OK);
    out.fromJpegFrame = container == GUID_ContainerFormatJpeg;
    UINT w = 0, h = 0;
    const auto bgr = bgrPixels(source.Get(), w, h);
    int fw = 0, fh = 0;
    if (mio::DibFitSize(static_cast<int>(w), static_cast<int>(h), 160, 120, &fw, &fh)) {
        out.width = static_cast<UINT>(fw / 4 * 4);
        out.height = static_cast<UINT>(fh / 4 * 4);
        out.bgr = boxDownscale(bgr, w, h, out.width, out.height);
        out.scaled = true;
    } else {
        out.width = w;
        out.height = h;
        out.bgr = bgr;
    }
    return out;
}

// Previews against an area average of the full-size source, in levels of 0..255 per channel.
// Frames of other containers are scaled from their full pixels and agree within rounding; JPEG
// frames are scaled from a reduced-size DCT decode (1/2 to 1/8), which differs from averaging
// the full decode, most at sharp edges.
struct Tolerance {
    double mean;
    int max;
};
constexpr Tolerance kPixelSourceTolerance{0.1, 2};
constexpr Tolerance kJpegFrameTolerance{6.0, 80};

/// The imaging component's own verdict on a file: the result of making a decoder for it.
HRESULT decoderVerdict(const fs::path& path)
{
    ComPtr<IWICBitmapDecoder> decoder;
    return factory()->CreateDecoderFromFilename(support::u16(path.string()).c_str(), nullptr,
                                                GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                                decoder.GetAddressOf());
}

class CorpusImage : public ::testing::TestWithParam<std::string> {};

} // namespace

TEST_P(CorpusImage, OpensBufferedAndUnbufferedWithItsProperties)
{
    const std::string relative = GetParam();
    MIO_CORPUS_FILE(path, relative);
    const std::string kind = relative.substr(0, relative.find('/'));
    const auto manifest = readManifest();
    const auto found = manifest.find(relative);
    ASSERT_NE(found, manifest.end()) << "not in MANIFEST.md";
    const ManifestEntry& e = found->second;
    const auto& [container, name, ext, id] = kKinds.at(kind);

    HRESULT hr = E_FAIL;
    auto buffered = open(path, hr);
    if (const HRESULT verdict = decoderVerdict(path); FAILED(verdict)) {
        // A file the imaging component cannot decode: its failure, unchanged, and closed.
        EXPECT_EQ(hr, verdict);
        GUID format{};
        EXPECT_EQ(asMediaFile(buffered)->GetFormat(&format), E_FAIL);
        GTEST_SKIP() << "the imaging component refuses this file: " << std::hex << verdict;
    }
    ASSERT_EQ(hr, S_OK);
    UINT frames = 0;
    ASSERT_EQ(asMediaFile(buffered)->GetFrameCount(&frames), S_OK);
    if (kind == "gif" && frames != 1) GTEST_SKIP() << frames << " frames: not an image object";
    auto unbuffered = open(path, hr, VARIANT_TRUE, VARIANT_TRUE);
    ASSERT_EQ(hr, S_OK);

    const auto bits = expectedBits(kind, e);
    for (auto* object : {buffered.Get(), unbuffered.Get()}) {
        SCOPED_TRACE(object == buffered.Get() ? "buffered" : "unbuffered");
        GUID format{};
        EXPECT_EQ(asMediaFile(ComPtr<IMediaFileIO>(object))->GetFormat(&format), S_OK);
        EXPECT_EQ(format, container);
        int32_t width = 0, height = 0, bitCount = -1, formatId = 0;
        EXPECT_EQ(object->GetFrameSize(&width, &height), S_OK);
        EXPECT_EQ(width, e.width);
        EXPECT_EQ(height, e.height);
        if (bits) {
            EXPECT_EQ(object->GetFrameBitCount(&bitCount), S_OK);
            EXPECT_EQ(bitCount, *bits);
        } else {
            EXPECT_EQ(object->GetFrameBitCount(&bitCount), E_FAIL);
        }
        WCHAR text[64];
        EXPECT_EQ(object->GetFileFormatName(text, sizeof text), S_OK);
        EXPECT_EQ(std::u16string(text), name);
        EXPECT_EQ(object->GetFileFormatExtName(text, sizeof text), S_OK);
        EXPECT_EQ(std::u16string(text), ext);
        EXPECT_EQ(object->GetFileFormatID(&formatId), S_OK);
        EXPECT_EQ(formatId, id);

        // JFIF densities as stored in the file; files without JFIF fail to answer.
        int32_t x = -1, y = -1;
        const HRESULT resolution = object->GetResolution(&x, &y);
        if (resolution != WINCODEC_ERR_UNSUPPORTEDOPERATION) {
            if (const auto density = jfifDensity(support::readFile(path))) {
                EXPECT_EQ(resolution, S_OK);
                EXPECT_EQ(x, density->first);
                EXPECT_EQ(y, density->second);
            } else {
                EXPECT_TRUE(FAILED(resolution));
            }
        }
    }

    uint64_t size = 0;
    FILETIME created{}, modified{};
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(buffered->GetFileSize(&size), S_OK);
    EXPECT_EQ(size, e.bytes);
    EXPECT_EQ(buffered->GetFileTime(&created, &modified), S_OK);
    LONGLONG seconds = 0;
    TavrelFileTimeToUnixTime(&modified, &seconds, nullptr);
    EXPECT_EQ(seconds, st.st_mtim.tv_sec);
    EXPECT_EQ(unbuffered->GetFileSize(&size), E_FAIL);
    EXPECT_EQ(unbuffered->GetFileTime(&created, &modified), E_FAIL);
}

TEST_P(CorpusImage, PreviewMatchesAnAreaAverageOfItsSource)
{
    const std::string relative = GetParam();
    MIO_CORPUS_FILE(path, relative);
    HRESULT hr = E_FAIL;
    auto buffered = open(path, hr);
    if (const HRESULT verdict = decoderVerdict(path); FAILED(verdict)) {
        // A file the imaging component cannot decode: its failure, unchanged, and closed.
        EXPECT_EQ(hr, verdict);
        GUID format{};
        EXPECT_EQ(asMediaFile(buffered)->GetFormat(&format), E_FAIL);
        GTEST_SKIP() << "the imaging component refuses this file: " << std::hex << verdict;
    }
    ASSERT_EQ(hr, S_OK);
    UINT frames = 0;
    ASSERT_EQ(asMediaFile(buffered)->GetFrameCount(&frames), S_OK);
    if (relative.starts_with("gif/") && frames != 1) GTEST_SKIP() << "animated";
    auto unbuffered = open(path, hr, VARIANT_TRUE, VARIANT_TRUE);
    ASSERT_EQ(hr, S_OK);

    PackedDib dib = nullptr, viaStream = nullptr;
    ASSERT_EQ(buffered->GetPreviewThumbnail(&dib, 160, 120, TRUE, FALSE), S_OK);
    ASSERT_EQ(unbuffered->GetPreviewThumbnail(&viaStream, 160, 120, TRUE, FALSE), S_OK);
    const ExpectedPreview expected = expectedPreview(path);
    ASSERT_EQ(dib->biWidth, static_cast<LONG>(expected.width));
    ASSERT_EQ(dib->biHeight, static_cast<LONG>(expected.height));
    ASSERT_EQ(dib->biBitCount, 24);
    // Reading through the unbuffered stream changes nothing in the result.
    ASSERT_EQ(0, std::memcmp(dib, viaStream, mio::DibTotalSize(dib)));

    const Difference d = compareDib(dib, expected.bgr);
    RecordProperty("mean_diff", std::to_string(d.mean));
    RecordProperty("max_diff", std::to_string(d.max));
    if (expected.scaled) {
        const Tolerance t = expected.fromJpegFrame ? kJpegFrameTolerance : kPixelSourceTolerance;
        EXPECT_LE(d.mean, t.mean) << relative;
        EXPECT_LE(d.max, t.max) << relative;
    } else {
        EXPECT_EQ(d.max, 0) << relative; // unscaled: the source's own pixels
    }
}

TEST(CorpusBrokenImage, FailsCleanlyOrOpensConsistently)
{
    const fs::path root = support::corpusDir() / "broken";
    if (!fs::is_directory(root)) GTEST_SKIP() << "corpus not available";
    int tried = 0;
    for (const auto& entry : fs::directory_iterator(root)) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".jpg" && ext != ".png" && ext != ".gif") continue;
        ++tried;
        SCOPED_TRACE(entry.path().filename().string());
        for (VARIANT_BOOL unbuffered : {VARIANT_FALSE, VARIANT_TRUE}) {
            HRESULT hr = E_FAIL;
            auto object = open(entry.path(), hr, VARIANT_TRUE, unbuffered);
            GUID format{};
            const HRESULT state = asMediaFile(object)->GetFormat(&format);
            if (FAILED(hr)) {
                EXPECT_EQ(state, E_FAIL); // a failed open leaves the object closed
                continue;
            }
            EXPECT_EQ(state, S_OK);
            PackedDib dib = nullptr;
            const HRESULT thumb = object->GetPreviewThumbnail(&dib, 160, 120, TRUE, FALSE);
            EXPECT_EQ(SUCCEEDED(thumb), dib != nullptr) << std::hex << thumb;
        }
    }
    EXPECT_GT(tried, 0);
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusImage, ::testing::ValuesIn(corpusImages()),
                         [](const auto& info) {
                             std::string n = info.param;
                             for (char& c : n)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(CorpusImage);
