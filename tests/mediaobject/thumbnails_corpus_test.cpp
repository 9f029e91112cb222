// SPDX-License-Identifier: MIT
// Thumbnails of the media object against references that ffmpeg, libvips and ExifTool make of the
// same corpus files: luma PSNR per file kind, with checks that a flipped picture, swapped colour
// channels or a neighbouring frame would lose against the right one. Measured values are printed.
#include <contracts/still_image_library.h>
#include <contracts/video_library.h>
#include <contracts/wincodec.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "dib/packed_dib.h"
#include "dib/thumbnail_fit.h"
#include "mediaobject/media_file_io.h"
#include "metadata/tag_editor_source.h"
#include "support/test_support.h"
#include "thumbnail_test_support.h"

namespace fs = std::filesystem;

namespace {

const auto* const g_environment =
    ::testing::AddGlobalTestEnvironment(new mediatest::ThumbnailEnvironment);

using mediatest::corpusFiles;
using mediatest::expectWithin;
using mediatest::openImage;
const auto openVideo = mediatest::openFullVideo;

std::string quoted(const fs::path& p)
{
    std::string out = "'";
    for (char c : p.string())
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

const auto run = support::commandOutput;

std::string runText(const std::string& command)
{
    const auto bytes = run(command);
    std::string text(bytes.begin(), bytes.end());
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    return text;
}

// A picture as top-down RGBA rows (alpha 255 where the source has none).
struct Picture {
    int w = 0, h = 0;
    bool hasAlpha = false;
    std::vector<uint8_t> px;
    bool empty() const { return px.empty(); }
    const uint8_t* at(int x, int y) const { return &px[(size_t(y) * size_t(w) + size_t(x)) * 4]; }
};

Picture fromDib(const BITMAPINFOHEADER* dib)
{
    Picture p;
    p.w = dib->biWidth;
    p.h = dib->biHeight;
    p.hasAlpha = dib->biBitCount == 32;
    const int bpp = dib->biBitCount / 8;
    const size_t stride = mio::DibStride(dib);
    const BYTE* bits = mio::DibBits(dib);
    p.px.resize(size_t(p.w) * size_t(p.h) * 4);
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) {
            const BYTE* s = bits + size_t(p.h - 1 - y) * stride + size_t(x) * size_t(bpp);
            uint8_t* d = &p.px[(size_t(y) * size_t(p.w) + size_t(x)) * 4];
            d[0] = s[2];
            d[1] = s[1];
            d[2] = s[0];
            d[3] = bpp == 4 ? s[3] : 255;
        }
    return p;
}

Picture fromInterleaved(const std::vector<uint8_t>& bytes, int w, int h, int bands)
{
    Picture p;
    if (bands < 1 || bands > 4 || bytes.size() != size_t(w) * size_t(h) * size_t(bands)) return p;
    p.w = w;
    p.h = h;
    p.hasAlpha = bands == 2 || bands == 4;
    p.px.resize(size_t(w) * size_t(h) * 4);
    for (size_t i = 0; i < size_t(w) * size_t(h); ++i) {
        const uint8_t* s = &bytes[i * size_t(bands)];
        uint8_t* d = &p.px[i * 4];
        const bool grey = bands <= 2;
        d[0] = s[0];
        d[1] = grey ? s[0] : s[1];
        d[2] = grey ? s[0] : s[2];
        d[3] = p.hasAlpha ? s[bands - 1] : 255;
    }
    return p;
}

// ffmpeg's picture at w x h: the first frame of a video (or its attached picture, or a still);
// with `seconds`, the first frame whose time from the first one is at least that (every frame
// decoded and timed by the select filter), or with `inputSeek` the frame that -ss lands on.
Picture ffmpegPicture(const fs::path& file, int w, int h, double seconds = -1,
                      bool inputSeek = false)
{
    char seek[64] = "", select[96] = "";
    if (seconds >= 0 && inputSeek) std::snprintf(seek, sizeof seek, "-ss %.6f ", seconds);
    if (seconds >= 0 && !inputSeek)
        std::snprintf(select, sizeof select, "setpts=PTS-STARTPTS,select=gte(t\\,%.6f),", seconds);
    const auto bytes = run("ffmpeg -nostdin -v error " + std::string(seek) + "-i " + quoted(file) +
                           " -frames:v 1 -vf '" + select + "scale=" + std::to_string(w) + ":" +
                           std::to_string(h) + ":flags=area' -f rawvideo -pix_fmt rgb24 -");
    return fromInterleaved(bytes, w, h, 3);
}

// Reads a VIPS native file of 8-bit samples: a 64-byte header, then interleaved pixels.
Picture readVipsFile(const fs::path& file)
{
    if (!fs::exists(file)) return {};
    const auto bytes = support::readFile(file);
    if (bytes.size() < 64) return {};
    auto field = [&](size_t at) {
        int32_t v = 0;
        std::memcpy(&v, &bytes[at], 4);
        return v;
    };
    const int w = field(4), h = field(8), bands = field(12), format = field(20);
    if (format != 0 || w <= 0 || h <= 0 || bands <= 0 || bands > 4) return {}; // 0: uchar
    const size_t size = size_t(w) * size_t(h) * size_t(bands);
    if (bytes.size() < 64 + size) return {};
    return fromInterleaved({bytes.begin() + 64, bytes.begin() + 64 + std::ptrdiff_t(size)}, w, h,
                           bands);
}

// libvips' thumbnail of a still (page 0, stored orientation) forced to w x h, in 8-bit sRGB.
Picture vipsPicture(const fs::path& file, int w, int h)
{
    support::TempDir dir;
    run("vips thumbnail " + quoted(file) + " " + quoted(dir / "t.v") + " " + std::to_string(w) +
        " --height " + std::to_string(h) + " --size force --no-rotate && vips colourspace " +
        quoted(dir / "t.v") + " " + quoted(dir / "s.v") + " srgb");
    const Picture p = readVipsFile(dir / "s.v");
    return p.w == w && p.h == h ? p : Picture{};
}

// The stored size of a still as libvips reads it ("file: 128x128 uchar, ..."); 0 x 0 when it
// cannot.
std::pair<int, int> vipsSize(const fs::path& file)
{
    const std::string text = runText("vipsheader " + quoted(file));
    const size_t colon = text.rfind(": ");
    int w = 0, h = 0;
    if (colon == std::string::npos || std::sscanf(text.c_str() + colon + 2, "%dx%d", &w, &h) != 2)
        return {0, 0};
    return {w, h};
}

double luma(const uint8_t* p)
{
    return 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
}

enum class Variant { Same, FlippedVertically, RedBlueSwapped };

// PSNR (dB) over luma where both pictures are at least half opaque (colour under a nearly
// transparent pixel means little), against a variant of the reference.
double lumaPsnr(const Picture& mine, const Picture& ref, Variant variant = Variant::Same)
{
    double sum = 0;
    size_t count = 0;
    for (int y = 0; y < mine.h; ++y)
        for (int x = 0; x < mine.w; ++x) {
            const uint8_t* a = mine.at(x, y);
            const uint8_t* b = ref.at(x, variant == Variant::FlippedVertically ? ref.h - 1 - y : y);
            if (a[3] < 128 || b[3] < 128) continue;
            uint8_t swapped[4] = {b[2], b[1], b[0], b[3]};
            const double d = luma(a) - luma(variant == Variant::RedBlueSwapped ? swapped : b);
            sum += d * d;
            ++count;
        }
    if (count == 0) return 0;
    const double mse = sum / double(count);
    return mse < 1e-4 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// Mean absolute difference of the red and blue samples, straight or with red and blue swapped.
double redBlueDifference(const Picture& mine, const Picture& ref, bool swap)
{
    double sum = 0;
    size_t count = 0;
    for (size_t i = 0; i + 3 < mine.px.size(); i += 4) {
        if (mine.px[i + 3] < 128 || ref.px[i + 3] < 128) continue;
        sum += std::abs(int(mine.px[i]) - int(ref.px[i + (swap ? 2 : 0)]));
        sum += std::abs(int(mine.px[i + 2]) - int(ref.px[i + (swap ? 0 : 2)]));
        count += 2;
    }
    return count ? sum / double(count) : 0;
}

bool flat(const Picture& p)
{
    double lo = 255, hi = 0;
    for (int y = 0; y < p.h; ++y)
        for (int x = 0; x < p.w; ++x) {
            lo = std::min(lo, luma(p.at(x, y)));
            hi = std::max(hi, luma(p.at(x, y)));
        }
    return hi - lo < 8;
}

// Checks a thumbnail against its reference: luma PSNR at least `minPsnr`, and, where the
// reference tells them apart, closer to the reference than to its upside-down or red/blue
// swapped form. Returns the PSNR (printed by the caller).
double expectResembles(const Picture& mine, const Picture& ref, double minPsnr, const char* what)
{
    EXPECT_EQ(mine.w, ref.w);
    EXPECT_EQ(mine.h, ref.h);
    if (mine.w != ref.w || mine.h != ref.h) return 0;
    const double psnr = lumaPsnr(mine, ref);
    EXPECT_GE(psnr, minPsnr) << what;
    // A picture that differs from its mirror image by more than our own error tells the
    // orientation.
    if (lumaPsnr(ref, ref, Variant::FlippedVertically) < psnr - 3) {
        EXPECT_GT(psnr, lumaPsnr(mine, ref, Variant::FlippedVertically)) << what << ": upside down";
    }
    if (redBlueDifference(ref, ref, true) > 12) {
        EXPECT_LT(redBlueDifference(mine, ref, false), redBlueDifference(mine, ref, true))
            << what << ": red and blue swapped";
    }
    return psnr;
}

// The size a w x h source fits to within the limits, within a pixel of the thumbnail's size:
// catches stretched pictures and swapped sides.
void expectFittedFrom(const BITMAPINFOHEADER* dib, int w, int h, int wl, int hl)
{
    int fw = w, fh = h;
    (void)mio::DibFitSize(w, h, wl, hl, &fw, &fh);
    EXPECT_NEAR(dib->biWidth, fw, 1) << "source " << w << " x " << h;
    EXPECT_NEAR(dib->biHeight, fh, 1) << "source " << w << " x " << h;
}

std::string name(const fs::path& file)
{
    return file.parent_path().filename().string() + "/" + file.filename().string();
}

// Least luma PSNR (dB) accepted per kind. Each lies a few dB under the lowest value measured on
// the corpus (the tests print them) and above what a wrong picture scores against the
// reference: a neighbouring frame of the same video, a mirrored still or the frame 0 of a moving
// video score 11 to 27 dB on these files, a negative or blank picture under 10 dB.
constexpr double kVideoFramePsnr = 40.0;      // measured 43.8 to 99 (decoders agree)
constexpr double kStillPsnr = 26.0;           // measured 29.6 (MSP) to 99
constexpr double kCmykPsnr = 15.0;            // measured 18.9: plain CMYK conversion, no profile
constexpr double kEmbeddedPreviewPsnr = 19.0; // measured 21.4: an EXIF thumbnail with bands
constexpr double kRawPreviewPsnr = 30.0;      // measured 35.8 and 99
constexpr double kCoverPsnr = 40.0;           // measured 46.2 to 99
// Mean absolute difference (0..255) of alpha against libvips' alpha at the same size.
constexpr double kAlphaDifference = 3.0; // measured 0.03 to 0.89

// The better of the libvips and the ffmpeg reference for a still: two independent decoders,
// one of which may misread a format (ImageMagick inverts some PCX palettes, ffmpeg skips
// colour profiles). Empty when neither gives a picture that is not flat.
Picture stillReference(const fs::path& file, const Picture& mine, const char** source)
{
    Picture best;
    double bestPsnr = -1;
    const Picture vips = vipsPicture(file, mine.w, mine.h);
    const Picture ffmpeg = ffmpegPicture(file, mine.w, mine.h);
    for (const auto* candidate : {&vips, &ffmpeg}) {
        if (candidate->empty() || flat(*candidate)) continue;
        const double psnr = lumaPsnr(mine, *candidate);
        if (psnr > bestPsnr) {
            bestPsnr = psnr;
            best = *candidate;
            *source = candidate == &vips ? "libvips" : "ffmpeg";
        }
    }
    return best;
}

bool isCmyk(const fs::path& file)
{
    return file.filename().string().find("cmyk") != std::string::npos;
}

} // namespace

// Frame 0 and frame n a third of the way in, against ffmpeg's frame at the same time: the first
// frame at least n - 1/2 frame durations after the first one (frame n lies n / rate from the
// start). The later frame must also resemble its own reference better than frame 0. ffmpeg's
// input seek (-ss) to that time is printed beside it: on an MPEG program stream starting at
// 0.54 s it lands nine frames late, so every frame is decoded and timed for the reference.
TEST(MediaThumbnailReferences, VideoFramesMatchFfmpegAtTheSameTime)
{
    int files = 0, later = 0;
    double lowest = 99;
    for (const auto& file : corpusFiles({"video"})) {
        SCOPED_TRACE(file.string());
        auto object = openVideo(file);
        if (!object) continue;
        int32_t type = 0, frames = 0, w = 0, h = 0;
        double rate = 0;
        ASSERT_EQ(object->GetFileType(&type), S_OK);
        if (type != 1) continue;
        ASSERT_EQ(object->GetFrameSize(&w, &h), S_OK);
        (void)object->GetTotalFrames(&frames);
        (void)object->GetFrameRate(&rate);
        PackedDib first = nullptr;
        if (object->GetFrameThumbnail(&first, 160, 120, 0, FALSE, FALSE) != S_OK) {
            // Only a stream that ffmpeg cannot decode either (an encrypted one) may fail.
            EXPECT_TRUE(ffmpegPicture(file, 16, 16).empty());
            continue;
        }
        ++files;
        expectWithin(first, 160, 120);
        expectFittedFrom(first, w, h, 160, 120);
        const Picture mine0 = fromDib(first);
        const Picture ref0 = ffmpegPicture(file, mine0.w, mine0.h);
        ASSERT_FALSE(ref0.empty());
        const double psnr0 = expectResembles(mine0, ref0, kVideoFramePsnr, "frame 0");
        lowest = std::min(lowest, psnr0);

        // The forced preview is the library's picture or frame 0: either way what ffmpeg shows
        // first (the first frame, or the attached picture when it picks that stream).
        PackedDib preview = nullptr;
        ASSERT_EQ(object->GetPreviewThumbnail(&preview, 160, 120, TRUE, FALSE), S_OK);
        expectWithin(preview, 160, 120);
        const Picture previewPic = fromDib(preview);
        const Picture previewRef = ffmpegPicture(file, previewPic.w, previewPic.h);
        ASSERT_FALSE(previewRef.empty());
        const double psnrPreview =
            expectResembles(previewPic, previewRef, kVideoFramePsnr, "preview");

        double psnrN = -1, psnrNvs0 = -1, psnrByTime = -1;
        const int n = frames / 3;
        if (n >= 2 && rate > 0) {
            PackedDib dib = nullptr;
            ASSERT_EQ(object->GetFrameThumbnail(&dib, 160, 120, n, FALSE, FALSE), S_OK);
            expectWithin(dib, 160, 120);
            const Picture mineN = fromDib(dib);
            const Picture refN = ffmpegPicture(file, mineN.w, mineN.h, (n - 0.5) / rate);
            ASSERT_FALSE(refN.empty());
            ++later;
            psnrN = expectResembles(mineN, refN, kVideoFramePsnr, "later frame");
            lowest = std::min(lowest, psnrN);
            psnrNvs0 = lumaPsnr(mineN, ref0);
            // Where frame 0 looks different from this one, ours must be this one.
            if (lumaPsnr(refN, ref0) < psnrN - 3) {
                EXPECT_GT(psnrN, psnrNvs0) << "frame 0 instead of frame " << n;
            }
            const Picture byTime = ffmpegPicture(file, mineN.w, mineN.h, (n - 0.5) / rate, true);
            if (!byTime.empty()) psnrByTime = lumaPsnr(mineN, byTime);
        }
        std::printf("[ psnr ] video %-32s %3dx%-3d frame 0 %5.1f dB, preview %5.1f dB, frame "
                    "%3d %5.1f dB (vs frame 0 %5.1f, vs ffmpeg -ss %5.1f)\n",
                    name(file).c_str(), mine0.w, mine0.h, psnr0, psnrPreview, n, psnrN, psnrNvs0,
                    psnrByTime);
    }
    std::printf("[ psnr ] videos %d (later frames %d), lowest %.1f dB, threshold %.1f dB\n", files,
                later, lowest, kVideoFramePsnr);
    EXPECT_GT(files, 15);
    EXPECT_GT(later, 8);
}

// TIFF, PSD and the other still formats (GIF and icon files too): preview and frame 0 against
// the better of libvips' and ffmpeg's picture of the same file, and the fitted size against the
// stored one.
TEST(MediaThumbnailReferences, StillsMatchVipsOrFfmpeg)
{
    int files = 0, compared = 0;
    double lowest = 99;
    for (const auto& file : corpusFiles({"tiff", "other-images", "gif", "ico"})) {
        SCOPED_TRACE(file.string());
        auto object = openImage(file);
        if (!object) continue;
        PackedDib preview = nullptr;
        ASSERT_EQ(object->GetPreviewThumbnail(&preview, 160, 120, TRUE, FALSE), S_OK);
        ++files;
        expectWithin(preview, 160, 120);
        const Picture previewPic = fromDib(preview);
        PackedDib frame = nullptr;
        ASSERT_EQ(object->GetFrameThumbnail(&frame, 160, 120, 0, FALSE, FALSE), S_OK);
        expectWithin(frame, 160, 120);
        const Picture framePic = fromDib(frame);
        int32_t w = 0, h = 0;
        ASSERT_EQ(object->GetFrameSize(&w, &h), S_OK);
        expectFittedFrom(frame, w, h, 160, 120);
        const auto [vw, vh] = vipsSize(file);
        if (vw > 0 && vh > 0 && file.extension() != ".mpo") {
            // Our stored size agrees with libvips' where it reads the file (page 0).
            EXPECT_EQ(w, vw);
            EXPECT_EQ(h, vh);
        }

        const char* source = "";
        const Picture ref = stillReference(file, framePic, &source);
        if (ref.empty()) {
            std::printf("[ psnr ] still %-36s %3dx%-3d no reference (neither tool reads it)\n",
                        name(file).c_str(), framePic.w, framePic.h);
            continue;
        }
        ++compared;
        const double threshold = isCmyk(file) ? kCmykPsnr : kStillPsnr;
        const double psnrFrame = expectResembles(framePic, ref, threshold, "frame");
        lowest = std::min(lowest, psnrFrame);
        // The preview is frame 0 or the file's embedded preview, which may be letterboxed.
        double psnrPreview = -1;
        if (previewPic.w == framePic.w && previewPic.h == framePic.h)
            psnrPreview = expectResembles(previewPic, ref,
                                          std::min(threshold, kEmbeddedPreviewPsnr), "preview");
        std::printf("[ psnr ] still %-36s %3dx%-3d frame %5.1f dB, preview %5.1f dB (%s)\n",
                    name(file).c_str(), framePic.w, framePic.h, psnrFrame, psnrPreview, source);
    }
    std::printf("[ psnr ] stills %d, compared %d, lowest %.1f dB, threshold %.1f dB (CMYK %.1f)\n",
                files, compared, lowest, kStillPsnr, kCmykPsnr);
    EXPECT_GT(files, 40);
    EXPECT_GT(compared, files * 3 / 4);
}

// The largest picture (by pixels) that ExifTool extracts from a raw file and libvips decodes:
// preview, JPEG from raw, thumbnail; written to `out`. False when it holds none (the sample
// files of metadata tools carry stand-ins of a few pixels or bytes).
bool extractEmbeddedPicture(const fs::path& file, const fs::path& out)
{
    int64_t best = 0;
    for (const char* tag : {"PreviewImage", "JpgFromRaw", "ThumbnailImage", "OtherImage"}) {
        const auto bytes = run(std::string("exiftool -b -") + tag + " " + quoted(file));
        if (bytes.size() < 100) continue;
        const auto candidate = out.parent_path() / (std::string(tag) + ".jpg");
        support::writeFile(candidate, bytes);
        const auto [w, h] = vipsSize(candidate);
        if (int64_t{w} * h > best && w >= 16 && h >= 16) {
            best = int64_t{w} * h;
            fs::copy_file(candidate, out, fs::copy_options::overwrite_existing);
        }
    }
    return best > 0;
}

// Raw files: where the file holds an embedded preview the preview thumbnail is that picture
// (ExifTool extracts it, libvips scales it); a developed frame also resembles it.
TEST(MediaThumbnailReferences, RawPreviewsAreTheEmbeddedPicture)
{
    int files = 0, previews = 0;
    for (const auto& file : corpusFiles({"raw"})) {
        SCOPED_TRACE(file.string());
        auto object = openImage(file);
        if (!object) continue;
        ++files;
        int32_t w = 0, h = 0;
        ASSERT_EQ(object->GetFrameSize(&w, &h), S_OK);
        PackedDib frame = nullptr;
        const HRESULT frameHr = object->GetFrameThumbnail(&frame, 160, 120, 0, FALSE, FALSE);
        Picture framePic;
        if (frameHr == S_OK) {
            expectWithin(frame, 160, 120);
            framePic = fromDib(frame);
        }
        support::TempDir dir;
        const auto embedded = dir / "embedded.jpg";
        const bool hasEmbedded = extractEmbeddedPicture(file, embedded);
        const HRESULT has = object->HasPreviewThumbnail();
        PackedDib preview = nullptr;
        const HRESULT previewHr = object->GetPreviewThumbnail(&preview, 160, 120, FALSE, FALSE);
        double psnrPreview = -1, psnrFrame = -1;
        if (has == S_OK && previewHr == S_OK) {
            ASSERT_TRUE(hasEmbedded) << "a preview the file does not hold";
            ++previews;
            expectWithin(preview, 160, 120);
            const Picture previewPic = fromDib(preview);
            const Picture ref = vipsPicture(embedded, previewPic.w, previewPic.h);
            ASSERT_FALSE(ref.empty());
            psnrPreview = expectResembles(previewPic, ref, kRawPreviewPsnr, "preview");
            if (!framePic.empty() && framePic.w == ref.w && framePic.h == ref.h)
                psnrFrame = lumaPsnr(framePic, ref);
        } else {
            EXPECT_EQ(previewHr, E_FAIL);
            EXPECT_EQ(preview, nullptr);
        }
        std::printf("[ psnr ] raw %-36s %5dx%-5d embedded %s, preview %s %5.1f dB, frame %s "
                    "%5.1f dB\n",
                    name(file).c_str(), w, h, hasEmbedded ? "yes" : "no ",
                    previewHr == S_OK ? "yes" : "no ", psnrPreview, frameHr == S_OK ? "yes" : "no ",
                    psnrFrame);
    }
    EXPECT_GT(files, 0);
    EXPECT_GT(previews, 0);
}

// Audio files: a cover picture is the preview, scaled from the same picture. The reference is
// the better of ExifTool's picture (Picture, else CoverArt: the last one when a file has two)
// and ffmpeg's attached picture (the first); a file with neither has no preview.
TEST(MediaThumbnailReferences, AudioCoversAreThePreview)
{
    int covers = 0, files = 0;
    for (const auto& file : corpusFiles({"audio"})) {
        SCOPED_TRACE(file.string());
        auto object = openVideo(file);
        if (!object) continue;
        ++files;
        support::TempDir dir;
        const auto cover = dir / "cover";
        std::vector<uint8_t> bytes = run("exiftool -b -Picture " + quoted(file));
        if (bytes.empty()) bytes = run("exiftool -b -CoverArt " + quoted(file));
        bool exiftoolPicture = false;
        if (!bytes.empty()) {
            support::writeFile(cover, bytes);
            exiftoolPicture = !vipsPicture(cover, 8, 8).empty();
        }
        const bool ffmpegPictureFound = !ffmpegPicture(file, 8, 8).empty();
        PackedDib preview = nullptr;
        const HRESULT hr = object->GetPreviewThumbnail(&preview, 160, 120, FALSE, FALSE);
        if (!exiftoolPicture && !ffmpegPictureFound) {
            // No picture, or bytes that are no picture (a nine-byte stand-in).
            EXPECT_EQ(hr, E_FAIL);
            EXPECT_EQ(preview, nullptr);
            continue;
        }
        ++covers;
        ASSERT_EQ(hr, S_OK);
        expectWithin(preview, 160, 120);
        const Picture mine = fromDib(preview);
        const Picture fromExiftool =
            exiftoolPicture ? vipsPicture(cover, mine.w, mine.h) : Picture{};
        const Picture fromFfmpeg =
            ffmpegPictureFound ? ffmpegPicture(file, mine.w, mine.h) : Picture{};
        const bool useExiftool =
            !fromExiftool.empty() &&
            (fromFfmpeg.empty() || lumaPsnr(mine, fromExiftool) >= lumaPsnr(mine, fromFfmpeg));
        const Picture& ref = useExiftool ? fromExiftool : fromFfmpeg;
        ASSERT_FALSE(ref.empty());
        if (useExiftool) {
            const auto [cw, ch] = vipsSize(cover);
            expectFittedFrom(preview, cw, ch, 160, 120);
        }
        const double psnr = expectResembles(mine, ref, kCoverPsnr, "cover");
        std::printf("[ psnr ] cover %-36s %3dx%-3d %5.1f dB (%s)\n", name(file).c_str(), mine.w,
                    mine.h, psnr, useExiftool ? "ExifTool" : "ffmpeg");
    }
    EXPECT_GT(files, 20);
    EXPECT_GE(covers, 5);
}

// Stills with an alpha channel: the frame thumbnail is 32-bit and its alpha is the source's
// alpha at that size (against libvips); the mask thumbnail is the same alpha.
TEST(MediaThumbnailReferences, AlphaMatchesTheSource)
{
    int checked = 0;
    for (const auto& file : corpusFiles({"png", "other-images", "gif", "ico", "tiff"})) {
        SCOPED_TRACE(file.string());
        auto object = openImage(file);
        if (!object) continue;
        PackedDib frame = nullptr;
        if (object->GetFrameThumbnail(&frame, 160, 120, 0, FALSE, FALSE) != S_OK) continue;
        const Picture mine = fromDib(frame);
        const Picture ref = vipsPicture(file, mine.w, mine.h);
        if (ref.empty() || !ref.hasAlpha) continue;
        bool translucent = false;
        for (size_t i = 3; i < ref.px.size(); i += 4)
            translucent |= ref.px[i] < 128;
        if (!translucent) continue; // an alpha channel that hides nothing
        ++checked;
        ASSERT_EQ(frame->biBitCount, 32);
        PackedDib mask = nullptr;
        ASSERT_EQ(object->GetMaskThumbnail(&mask, 160, 120), S_OK);
        ASSERT_EQ(mask->biBitCount, 8);
        ASSERT_EQ(mask->biWidth, mine.w);
        ASSERT_EQ(mask->biHeight, mine.h);
        const BYTE* maskBits = mio::DibBits(mask);
        const size_t maskStride = mio::DibStride(mask);
        double sum = 0;
        size_t maskMismatches = 0;
        for (int y = 0; y < mine.h; ++y)
            for (int x = 0; x < mine.w; ++x) {
                const uint8_t alpha = mine.at(x, y)[3];
                sum += std::abs(int(alpha) - int(ref.at(x, y)[3]));
                if (maskBits[size_t(mine.h - 1 - y) * maskStride + size_t(x)] != alpha)
                    ++maskMismatches;
            }
        const double difference = sum / (double(mine.w) * mine.h);
        EXPECT_LE(difference, kAlphaDifference);
        EXPECT_EQ(maskMismatches, 0u);
        std::printf("[ alpha ] %-36s %3dx%-3d alpha difference %.2f\n", name(file).c_str(), mine.w,
                    mine.h, difference);
    }
    EXPECT_GE(checked, 3);
}

// Cancelling a large PNG decode: a flag raised before the call stops it at once, a flag raised
// from another thread stops it well before a full decode would end, both with E_FAIL and no
// bitmap; the same object then decodes the whole picture correctly.
TEST(MediaThumbnailReferences, AbortStopsALargeReadAndLeavesTheObjectUsable)
{
    support::TempDir dir;
    const auto big = dir / "big.png";
    run("vips gaussnoise " + quoted(dir / "n.v") +
        " 6000 4000 --mean 128 --sigma 40 && vips cast " + quoted(dir / "n.v") + " " +
        quoted(dir / "c.v") + " uchar && vips copy " + quoted(dir / "c.v") + " " +
        quoted(fs::path(big.string() + "[compression=1]")));
    if (!fs::exists(big)) GTEST_SKIP() << "vips could not make the large file";
    using clock = std::chrono::steady_clock;
    using ms = std::chrono::duration<double, std::milli>;

    auto full = clock::duration{};
    {
        auto object = openImage(big);
        ASSERT_TRUE(object);
        const auto start = clock::now();
        PackedDib dib = nullptr;
        ASSERT_EQ(object->GetFrameThumbnailEx(&dib, 160, 120, 0, FALSE, FALSE, nullptr), S_OK);
        full = clock::now() - start;
        expectWithin(dib, 160, 120);
    }

    auto object = openImage(big);
    ASSERT_TRUE(object);
    BOOL raised = TRUE;
    PackedDib dib = reinterpret_cast<PackedDib>(1);
    auto start = clock::now();
    EXPECT_EQ(object->GetFrameThumbnailEx(&dib, 160, 120, 0, FALSE, FALSE, &raised), E_FAIL);
    const auto early = clock::now() - start;
    EXPECT_EQ(dib, nullptr);

    BOOL flag = FALSE;
    std::thread canceller([&] {
        std::this_thread::sleep_for(full / 10);
        __atomic_store_n(&flag, TRUE, __ATOMIC_SEQ_CST);
    });
    start = clock::now();
    dib = reinterpret_cast<PackedDib>(1);
    const HRESULT hr = object->GetFrameThumbnailEx(&dib, 160, 120, 0, FALSE, FALSE, &flag);
    const auto cancelled = clock::now() - start;
    canceller.join();
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_EQ(dib, nullptr);
    std::printf("[ abort ] 6000x4000 PNG: full %.0f ms, flag raised before %.0f ms, raised after "
                "%.0f ms: %.0f ms\n",
                ms(full).count(), ms(early).count(), ms(full / 10).count(), ms(cancelled).count());
    EXPECT_LT(early, full / 2);
    EXPECT_LT(cancelled, full / 2);

    // Nothing of the cancelled reads stays behind: the next request decodes the whole file.
    flag = FALSE;
    ASSERT_EQ(object->GetFrameThumbnailEx(&dib, 160, 120, 0, FALSE, FALSE, &flag), S_OK);
    expectWithin(dib, 160, 120);
    const Picture mine = fromDib(dib);
    const Picture ref = vipsPicture(big, mine.w, mine.h);
    ASSERT_FALSE(ref.empty());
    // Noise scaled down is nearly flat grey: the references agree within a few levels.
    EXPECT_GE(lumaPsnr(mine, ref), 30.0);
}

// Stepping with one object through a clip with a key frame every 10 frames and B-frames: each
// frame, reached by decoding forward or by seeking to the key frame before it, is the frame at
// its time and not a neighbour.
TEST(MediaThumbnailReferences, SteppingAcrossKeyFramesGivesEachFrame)
{
    support::TempDir dir;
    const auto clip = dir / "steps.mp4";
    run("ffmpeg -nostdin -v error -f lavfi -i testsrc=s=320x240:r=25:d=3 -c:v libx264 -g 10 "
        "-keyint_min 10 -bf 2 -pix_fmt yuv420p " +
        quoted(clip));
    if (!fs::exists(clip)) GTEST_SKIP() << "ffmpeg could not make the clip";
    auto object = openVideo(clip);
    ASSERT_TRUE(object);
    double lowest = 99;
    for (int frame : {0, 3, 7, 12, 15, 20, 21, 34, 52, 40}) {
        SCOPED_TRACE(frame);
        PackedDib dib = nullptr;
        ASSERT_EQ(object->GetFrameThumbnail(&dib, 160, 120, frame, FALSE, FALSE), S_OK);
        ASSERT_EQ(dib->biWidth, 160);
        ASSERT_EQ(dib->biHeight, 120);
        const Picture mine = fromDib(dib);
        const double at = (frame - 0.5) / 25.0;
        const Picture ref = ffmpegPicture(clip, 160, 120, std::max(0.0, at));
        const Picture next = ffmpegPicture(clip, 160, 120, at + 1 / 25.0);
        ASSERT_FALSE(ref.empty());
        ASSERT_FALSE(next.empty());
        const double psnr = expectResembles(mine, ref, kVideoFramePsnr, "stepped frame");
        EXPECT_GT(psnr, lumaPsnr(mine, next) + 3) << "the next frame instead";
        if (frame > 0) {
            const Picture previous = ffmpegPicture(clip, 160, 120, at - 1 / 25.0);
            ASSERT_FALSE(previous.empty());
            EXPECT_GT(psnr, lumaPsnr(mine, previous) + 3) << "the previous frame instead";
        }
        lowest = std::min(lowest, psnr);
    }
    std::printf("[ psnr ] stepped frames of a clip with key frames every 10: lowest %.1f dB\n",
                lowest);
}

// An AVIF whose alpha plane is coded in limited range (16 to 235): the thumbnail's alpha is the
// plane expanded to full range, so the opaque star is 255, as ffmpeg's alpha stream expanded.
TEST(MediaThumbnailReferences, LimitedRangeAvifAlphaIsExpanded)
{
    MIO_CORPUS_FILE(file, "other-images/star.avifs");
    auto object = openImage(file);
    ASSERT_TRUE(object);
    PackedDib frame = nullptr;
    ASSERT_EQ(object->GetFrameThumbnail(&frame, 160, 120, 0, FALSE, FALSE), S_OK);
    ASSERT_EQ(frame->biBitCount, 32);
    const Picture mine = fromDib(frame);
    const auto plane = run("ffmpeg -nostdin -v error -i " + quoted(file) +
                           " -map 0:1 -frames:v 1 -vf scale=" + std::to_string(mine.w) + ":" +
                           std::to_string(mine.h) + ":flags=area -f rawvideo -pix_fmt gray -");
    if (plane.size() != size_t(mine.w) * size_t(mine.h)) GTEST_SKIP() << "ffmpeg gave no alpha";
    double sum = 0;
    int opaque = 0;
    for (int y = 0; y < mine.h; ++y)
        for (int x = 0; x < mine.w; ++x) {
            const int coded = plane[size_t(y) * size_t(mine.w) + size_t(x)];
            const int expected = std::clamp((coded - 16) * 255 / 219, 0, 255);
            sum += std::abs(expected - int(mine.at(x, y)[3]));
            opaque += mine.at(x, y)[3] == 255;
        }
    const double difference = sum / (double(mine.w) * mine.h);
    std::printf("[ alpha ] limited-range AVIF alpha difference %.2f, %d opaque pixels\n",
                difference, opaque);
    EXPECT_LE(difference, kAlphaDifference);
    EXPECT_GT(opaque, mine.w * mine.h / 5);
}

// Raw files whose image data is cut short fail quietly: the engine writes nothing to the
// process's error output (the raw decoder's own messages are switched off).
TEST(MediaThumbnailReferences, CutRawFilesFailWithoutPrinting)
{
    MIO_CORPUS_FILE(mrw, "raw/exiftool_Minolta.mrw");
    MIO_CORPUS_FILE(cr2, "raw/exiftool_CanonRaw.cr2");
    for (const auto& file : {mrw, cr2}) {
        SCOPED_TRACE(file.string());
        auto object = openImage(file);
        if (!object) continue;
        ::testing::internal::CaptureStderr();
        PackedDib dib = reinterpret_cast<PackedDib>(1);
        const HRESULT hr = object->GetFrameThumbnail(&dib, 160, 120, 0, FALSE, FALSE);
        const std::string printed = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(hr, E_FAIL);
        EXPECT_EQ(dib, nullptr);
        EXPECT_EQ(printed, "");
    }
}
