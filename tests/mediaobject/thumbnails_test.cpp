// SPDX-License-Identifier: MIT
// Media object thumbnails on real files of the corpus: previews, frames, cache, exact size,
// masks, cancellation, and the pixels against what ffmpeg makes of the same files.
#include <contracts/still_image_library.h>
#include <contracts/video_library.h>
#include <contracts/wincodec.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "dib/image_file_io.h"
#include "dib/packed_dib.h"
#include "mediaobject/media_file_io.h"
#include "mediaobject/media_thumbnails.h"
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

const auto runBytes = support::commandOutput;

// A reference picture of the file at exactly w x h as top-down BGR rows, by ffmpeg: the first
// video frame upright, or the attached picture; with `stored`, a still in its stored order.
std::vector<uint8_t> ffmpegReference(const fs::path& file, int w, int h, bool stored = false)
{
    const std::string size = std::to_string(w) + ":" + std::to_string(h);
    auto bgr = runBytes(std::string("ffmpeg -v error ") + (stored ? "-noautorotate " : "") +
                        "-i '" + file.string() + "' -frames:v 1 -vf scale=" + size +
                        ":flags=area -f rawvideo -pix_fmt bgr24 -");
    if (bgr.size() == static_cast<size_t>(w) * h * 3) return bgr;
    return {};
}

// Stills: libvips, with the stored pixel order (the media object does not apply EXIF
// orientation). Empty when libvips cannot read the file.
std::vector<uint8_t> vipsReference(const fs::path& file, int w, int h)
{
    support::TempDir dir;
    const auto ppm = (dir / "ref.ppm").string();
    const auto bytes =
        runBytes("vips thumbnail '" + file.string() + "' " + ppm + " " + std::to_string(w) +
                 " --height " + std::to_string(h) + " --size force --no-rotate && vips cast " +
                 ppm + " '" + (dir / "c.ppm").string() + "' uchar && tail -c " +
                 std::to_string(w * h * 3) + " " + (dir / "c.ppm").string());
    if (bytes.size() != static_cast<size_t>(w) * h * 3) return {};
    std::vector<uint8_t> out(bytes.size());
    for (size_t i = 0; i + 2 < bytes.size(); i += 3) { // RGB to BGR
        out[i] = bytes[i + 2];
        out[i + 1] = bytes[i + 1];
        out[i + 2] = bytes[i];
    }
    return out;
}

// A reader that fails part-way often hands back one flat colour: no reference at all.
bool flat(const std::vector<uint8_t>& ref)
{
    return std::all_of(ref.begin(), ref.end(), [&](uint8_t v) { return v == ref[0]; });
}

// Mean absolute difference per colour sample (0..255) between a 24 or 32-bit bitmap and a
// top-down BGR reference of the same size; a 32-bit bitmap is compared where it is opaque.
double meanDifference(const BITMAPINFOHEADER* dib, const std::vector<uint8_t>& ref)
{
    const int w = dib->biWidth, h = dib->biHeight, bpp = dib->biBitCount / 8;
    const size_t stride = mio::DibStride(dib);
    const BYTE* bits = mio::DibBits(dib);
    double sum = 0;
    size_t samples = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const BYTE* px = bits + (h - 1 - y) * stride + size_t(x) * bpp;
            if (bpp == 4 && px[3] != 255) continue;
            for (int c = 0; c < 3; ++c)
                sum += std::abs(int(px[c]) - int(ref[(size_t(y) * w + x) * 3 + c]));
            samples += 3;
        }
    return samples ? sum / double(samples) : 0;
}

// The smaller difference against the libvips and the ffmpeg picture of the file, or -1 when
// neither tool could read it.
double stillDifference(const BITMAPINFOHEADER* dib, const fs::path& file)
{
    double best = -1;
    for (const auto& ref : {vipsReference(file, dib->biWidth, dib->biHeight),
                            ffmpegReference(file, dib->biWidth, dib->biHeight, true)}) {
        if (ref.empty() || flat(ref)) continue;
        const double d = meanDifference(dib, ref);
        if (best < 0 || d < best) best = d;
    }
    return best;
}

// Largest difference allowed against the reference: resamplers, colour conversion and raw
// development differ; a wrong frame, swapped channels or a flipped picture exceed it.
constexpr double kMaxMeanDifference = 24.0;

} // namespace

TEST(MediaThumbnailParts, AttachedPictureHeaders)
{
    auto value = [](const std::string& head) {
        std::vector<BYTE> v(head.begin(), head.end());
        for (BYTE b : {BYTE{0xFF}, BYTE{0xD8}, BYTE{0xFF}})
            v.push_back(b);
        return v;
    };
    // MIME types carry a picture-type byte after their terminator; "JPG" does not.
    const auto a = value(std::string("image/jpeg\0\x03", 12) + std::string("front\0", 6));
    ASSERT_EQ(mio::AttachedJpegBytes(a).size(), 3u);
    EXPECT_EQ(mio::AttachedJpegBytes(a)[0], 0xFF);
    EXPECT_EQ(mio::AttachedJpegBytes(value(std::string("image/jpg\0\x03\0", 12))).size(), 3u);
    EXPECT_EQ(mio::AttachedJpegBytes(value(std::string("JPG\0d\0", 6))).size(), 3u);
    EXPECT_TRUE(mio::AttachedJpegBytes(value(std::string("image/png\0\x03\0", 12))).empty());
    EXPECT_TRUE(mio::AttachedJpegBytes(value(std::string("image/JPEG\0\x03\0", 12))).empty());
    // Values that end inside the type, the picture-type byte or the description.
    const std::string noEnd = "image/jpeg";
    EXPECT_TRUE(mio::AttachedJpegBytes({reinterpret_cast<const BYTE*>(noEnd.data()), 10}).empty());
    const std::string cut("image/jpeg\0", 11);
    EXPECT_TRUE(mio::AttachedJpegBytes({reinterpret_cast<const BYTE*>(cut.data()), 11}).empty());
    const std::string noDesc("image/jpeg\0\x03"
                             "abc",
                             15);
    EXPECT_TRUE(mio::AttachedJpegBytes({reinterpret_cast<const BYTE*>(noDesc.data()), 15}).empty());
}

// The picture goes through a file of its own per read: nothing is left behind, a file planted
// under the old fixed name is neither followed nor touched, and concurrent reads do not mix.
TEST(MediaThumbnailParts, JpegBytesUsePrivateTemporaryFiles)
{
    MIO_CORPUS_FILE(jpeg, "jpeg/flower.jpg");
    const auto bytes = support::readFile(jpeg);
    int32_t width = 0, height = 0;
    {
        auto object = openImage(jpeg);
        ASSERT_TRUE(object);
        ASSERT_EQ(object->GetFrameSize(&width, &height), S_OK);
    }
    support::TempDir temp, victimDir;
    const auto victim = victimDir / "victim.txt";
    support::writeFile(victim, {'k', 'e', 'e', 'p'});
    fs::create_symlink(victim, temp / "TMIO_temp.jpg");
    const char* oldTmp = std::getenv("TMPDIR");
    const std::string saved = oldTmp ? oldTmp : "";
    setenv("TMPDIR", temp.path().c_str(), 1);

    std::atomic<int> good{0};
    auto decode = [&] {
        for (int i = 0; i < 4; ++i) {
            PackedDib dib = nullptr;
            if (mio::DecodeJpegBytes(bytes, &dib) == S_OK && dib && dib->biWidth == width &&
                dib->biHeight == height && dib->biBitCount == 24)
                ++good;
            mio::DibFree(dib);
        }
    };
    std::thread t1(decode), t2(decode);
    t1.join();
    t2.join();
    EXPECT_EQ(good.load(), 8);

    PackedDib dib = reinterpret_cast<PackedDib>(1);
    const std::vector<BYTE> garbage(1000, 0x5A);
    EXPECT_EQ(mio::DecodeJpegBytes(garbage, &dib), E_FAIL);
    EXPECT_EQ(dib, nullptr);
    EXPECT_EQ(mio::DecodeJpegBytes({}, &dib), E_FAIL);

    if (oldTmp)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
    EXPECT_EQ(support::readFile(victim), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
    int entries = 0;
    for (const auto& e : fs::directory_iterator(temp.path())) {
        ++entries;
        EXPECT_EQ(e.path().filename(), "TMIO_temp.jpg");
    }
    EXPECT_EQ(entries, 1);
}

TEST(MediaThumbnailsCorpus, VideosGiveFramesLikeFfmpeg)
{
    int compared = 0, files = 0;
    for (const auto& file : corpusFiles({"video"})) {
        SCOPED_TRACE(file.string());
        auto object = openVideo(file);
        if (!object) continue;
        int32_t type = 0;
        ASSERT_EQ(object->GetFileType(&type), S_OK);
        PackedDib frame = nullptr;
        const HRESULT hr = object->GetFrameThumbnail(&frame, 160, 120, 0, FALSE, FALSE);
        if (type != 1) {
            EXPECT_EQ(hr, E_FAIL);
            EXPECT_EQ(frame, nullptr);
            continue;
        }
        if (hr != S_OK) {
            // Only a stream that ffmpeg cannot decode either (an encrypted one) may fail.
            EXPECT_EQ(hr, E_FAIL);
            EXPECT_TRUE(ffmpegReference(file, 16, 16).empty());
            continue;
        }
        ++files;
        expectWithin(frame, 160, 120);
        const auto ref = ffmpegReference(file, frame->biWidth, frame->biHeight);
        if (!ref.empty()) {
            ++compared;
            EXPECT_LE(meanDifference(frame, ref), kMaxMeanDifference);
        }
        PackedDib preview = nullptr;
        ASSERT_EQ(object->GetPreviewThumbnail(&preview, 160, 120, TRUE, FALSE), S_OK);
        expectWithin(preview, 160, 120);
    }
    EXPECT_GT(files, 10);
    EXPECT_GT(compared, files / 2);
}

TEST(MediaThumbnailsCorpus, FrameCacheReaderAndExactSize)
{
    MIO_CORPUS_FILE(file, "video/echo-hereweare.webm");
    auto object = openVideo(file);
    ASSERT_TRUE(object);
    int32_t w = 0, h = 0;
    ASSERT_EQ(object->GetFrameSize(&w, &h), S_OK);
    ASSERT_GT(w * 3, h * 4) << "needs a picture wider than 4:3";

    // Exact size: the wide frame comes back 160 x 120, centred between black bands.
    PackedDib first = nullptr, second = nullptr;
    ASSERT_EQ(object->GetFrameThumbnail(&first, 160, 120, 10, FALSE, TRUE), S_OK);
    ASSERT_EQ(first->biWidth, 160);
    ASSERT_EQ(first->biHeight, 120);
    const int fitted = h * 160 / w;
    const int band = (120 - fitted) / 2;
    ASSERT_GT(band, 0);
    const BYTE* bits = mio::DibBits(first);
    const size_t stride = mio::DibStride(first);
    for (int x = 0; x < 160 * 3; ++x) {
        EXPECT_EQ(bits[size_t(x)], 0);                        // bottom row
        EXPECT_EQ(bits[size_t(119) * stride + size_t(x)], 0); // top row
    }
    // The same frame at the same limits is the cached bitmap, not a new decode.
    ASSERT_EQ(object->GetFrameThumbnail(&second, 160, 120, 10, FALSE, TRUE), S_OK);
    EXPECT_EQ(second, first);
    // Another frame from the open reader: a new picture, still within the limits.
    PackedDib other = nullptr;
    ASSERT_EQ(object->GetFrameThumbnail(&other, 160, 120, 20, TRUE, FALSE), S_OK);
    expectWithin(other, 160, 120);
    // A larger request reopens the reader at the larger size.
    PackedDib big = nullptr;
    ASSERT_EQ(object->GetFrameThumbnail(&big, 320, 240, 20, FALSE, FALSE), S_OK);
    expectWithin(big, 320, 240);
    EXPECT_EQ(big->biWidth, std::min(w, 320));

    // By time: the frame is time x rate, truncated; the same frame by number reuses it.
    double rate = 0;
    ASSERT_EQ(object->GetFrameRate(&rate), S_OK);
    const auto byNumber = static_cast<int32_t>(2.5 * rate);
    PackedDib timed = nullptr, numbered = nullptr;
    ASSERT_EQ(object->GetFrameThumbnailByTime(&timed, 160, 120, 2.5, FALSE, TRUE), S_OK);
    ASSERT_EQ(object->GetFrameThumbnail(&numbered, 160, 120, byNumber, FALSE, TRUE), S_OK);
    EXPECT_EQ(numbered, timed);
    PackedDib nextFrame = nullptr;
    ASSERT_EQ(object->GetFrameThumbnail(&nextFrame, 160, 120, byNumber + 1, FALSE, TRUE), S_OK);
    EXPECT_NE(nextFrame, nullptr);

    // A forced preview of a video without a library preview is frame 0, cached as a frame.
    PackedDib preview = nullptr, frame0 = nullptr;
    ASSERT_EQ(object->GetPreviewThumbnail(&preview, 160, 120, TRUE, TRUE), S_OK);
    ASSERT_EQ(object->GetFrameThumbnail(&frame0, 160, 120, 0, TRUE, TRUE), S_OK);
    EXPECT_EQ(frame0, preview);
    EXPECT_EQ(object->GetPreviewThumbnail(&preview, 160, 120, FALSE, FALSE), E_FAIL);
    EXPECT_EQ(preview, nullptr);
    EXPECT_EQ(object->GetMaskThumbnail(&preview, 160, 120), E_FAIL);
    EXPECT_EQ(object->HasPreviewThumbnail(), S_FALSE);
}

TEST(MediaThumbnailsCorpus, AudioCoverArtIsThePreview)
{
    MIO_CORPUS_FILE(withArt, "audio/fixture-bad-offset.mp3");
    MIO_CORPUS_FILE(small, "audio/duplicate_id3v2.mp3");
    MIO_CORPUS_FILE(without, "audio/xing.mp3");
    for (const auto& file : {withArt, small}) {
        SCOPED_TRACE(file.string());
        auto object = openVideo(file);
        ASSERT_TRUE(object);
        PackedDib preview = nullptr;
        ASSERT_EQ(object->GetPreviewThumbnail(&preview, 160, 120, FALSE, FALSE), S_OK);
        expectWithin(preview, 160, 120);
        const auto ref = ffmpegReference(file, preview->biWidth, preview->biHeight);
        ASSERT_FALSE(ref.empty());
        EXPECT_LE(meanDifference(preview, ref), kMaxMeanDifference);
        if (file == small) {
            // 70 x 70 fits: the library's own bitmap is handed out unchanged, not cached.
            EXPECT_EQ(preview->biWidth, 70);
            EXPECT_EQ(preview->biHeight, 70);
            continue;
        }
        // The engine's fitted copy is cached: the same request hands it out again, one that
        // is smaller in one direction is fitted from it.
        EXPECT_EQ(preview->biWidth, 120);
        PackedDib again = nullptr;
        ASSERT_EQ(object->GetPreviewThumbnail(&again, 160, 120, FALSE, FALSE), S_OK);
        EXPECT_EQ(again, preview);
        ASSERT_EQ(object->GetPreviewThumbnail(&again, 100, 200, FALSE, FALSE), S_OK);
        EXPECT_EQ(again->biWidth, 100);
        EXPECT_EQ(again->biHeight, 100);
    }
    auto object = openVideo(without);
    ASSERT_TRUE(object);
    PackedDib preview = nullptr;
    EXPECT_EQ(object->GetPreviewThumbnail(&preview, 160, 120, FALSE, FALSE), E_FAIL);
    EXPECT_EQ(object->GetPreviewThumbnail(&preview, 160, 120, TRUE, FALSE), E_FAIL);
    EXPECT_EQ(preview, nullptr);
}

TEST(MediaThumbnailsCorpus, StillImagesAndRawFilesGivePreviewsAndFrames)
{
    int files = 0, compared = 0;
    for (const auto& file : corpusFiles({"tiff", "raw", "other-images", "bmp", "png", "jpeg"})) {
        SCOPED_TRACE(file.string());
        auto object = openImage(file);
        if (!object) continue;
        auto* impl = static_cast<mio::CMediaFileIO*>(object.Get());
        PackedDib preview = nullptr;
        const HRESULT hr = object->GetPreviewThumbnail(&preview, 160, 120, TRUE, FALSE);
        // Metadata stubs without image data, and a gain-map JPEG whose main image neither
        // decoder of this system reads yet (bad stream data): no frame to expect.
        if (file.string().find("exiftool_") != std::string::npos && hr != S_OK) continue;
        if (file.filename() == "ultrahdr.jpg") continue;
        ++files;
        ASSERT_EQ(hr, S_OK);
        expectWithin(preview, 160, 120);
        PackedDib frame = nullptr;
        ASSERT_EQ(object->GetFrameThumbnail(&frame, 160, 120, 0, FALSE, FALSE), S_OK);
        expectWithin(frame, 160, 120);
        if (!impl->isCameraRaw()) {
            EXPECT_EQ(object->HasPreviewThumbnail(), S_FALSE);
            const double difference = stillDifference(frame, file);
            if (difference >= 0) {
                ++compared;
                // Without a colour profile CMYK conversions differ more.
                const bool cmyk = file.filename().string().find("cmyk") != std::string::npos;
                EXPECT_LE(difference, cmyk ? 2 * kMaxMeanDifference : kMaxMeanDifference);
            }
        } else {
            const HRESULT has = object->HasPreviewThumbnail();
            EXPECT_TRUE(has == S_OK || has == S_FALSE);
        }
    }
    EXPECT_GT(files, 40);
    EXPECT_GT(compared, files / 2);
}

TEST(MediaThumbnailsCorpus, AlphaGivesMaskAnd32BitOrComposite)
{
    MIO_CORPUS_FILE(file, "png/transparent.png");
    auto object = openImage(file);
    ASSERT_TRUE(object);
    PackedDib mask = nullptr;
    ASSERT_EQ(object->GetMaskThumbnail(&mask, 160, 120), S_OK);
    ASSERT_EQ(mask->biBitCount, 8);
    EXPECT_LE(mask->biWidth, 160);
    EXPECT_LE(mask->biHeight, 120);
    PackedDib thumb = nullptr;
    ASSERT_EQ(object->GetFrameThumbnail(&thumb, 160, 120, 0, FALSE, FALSE), S_OK);
    ASSERT_EQ(thumb->biBitCount, 32);
    ASSERT_EQ(object->GetMaskThumbnail(&mask, 160, 120), S_OK);
    ASSERT_EQ(mask->biWidth, thumb->biWidth);
    // The alpha channel is the mask.
    const BYTE* a = mio::DibBits(thumb);
    const BYTE* m = mio::DibBits(mask);
    int transparent = -1;
    for (int i = 0; i < thumb->biWidth; ++i) {
        EXPECT_EQ(a[size_t(i) * 4 + 3], m[i]);
        if (m[i] == 0) transparent = i;
    }

    // Over a pure green background (any size: it is resized) transparent pixels turn green.
    mio::UniquePackedDib green(mio::DibAlloc(7, 5, 24));
    BYTE* g = mio::DibBits(green.get());
    for (size_t i = 0; i < mio::DibImageSize(green.get()); i += 1)
        g[i] = (i % mio::DibStride(green.get())) % 3 == 1 ? 255 : 0;
    ASSERT_EQ(object->SetAlphaBackground(green.get()), S_OK);
    PackedDib composite = nullptr;
    ASSERT_EQ(object->GetFrameThumbnail(&composite, 100, 100, 1, FALSE, FALSE), S_OK);
    EXPECT_EQ(composite->biBitCount, 24);
    ASSERT_EQ(object->GetMaskThumbnail(&mask, 100, 100), S_OK);
    const BYTE* c = mio::DibBits(composite);
    const BYTE* mm = mio::DibBits(mask);
    int greens = 0;
    for (int i = 0; i < composite->biWidth; ++i)
        if (mm[i] == 0) {
            EXPECT_EQ(c[i * 3], 0);
            EXPECT_EQ(c[i * 3 + 1], 255);
            EXPECT_EQ(c[i * 3 + 2], 0);
            ++greens;
        }
    EXPECT_GT(greens + (transparent >= 0 ? 0 : 1), 0);
    ASSERT_EQ(object->SetAlphaBackground(nullptr), S_OK);
}

// A large decode stops when another thread raises the abort flag, well before it would end.
TEST(MediaThumbnailsCorpus, AbortFromAnotherThreadStopsALargeRead)
{
    support::TempDir dir;
    const auto big = dir / "big.tif";
    const auto noise = (dir / "noise.v").string();
    runBytes("vips gaussnoise " + noise + " 8000 6000 --mean 128 --sigma 40 && vips cast " + noise +
             " '" + big.string() + "[compression=deflate]' uchar");
    if (!fs::exists(big)) GTEST_SKIP() << "vips could not make the large file";
    auto object = openImage(big);
    ASSERT_TRUE(object);
    using clock = std::chrono::steady_clock;
    auto start = clock::now();
    PackedDib dib = nullptr;
    ASSERT_EQ(object->GetFrameThumbnailEx(&dib, 160, 120, 0, FALSE, FALSE, nullptr), S_OK);
    const auto full = clock::now() - start;
    expectWithin(dib, 160, 120);

    BOOL abortFlag = FALSE;
    auto reopened = openImage(big);
    ASSERT_TRUE(reopened);
    std::thread canceller([&] {
        std::this_thread::sleep_for(full / 10);
        __atomic_store_n(&abortFlag, TRUE, __ATOMIC_SEQ_CST);
    });
    start = clock::now();
    dib = reinterpret_cast<PackedDib>(1);
    const HRESULT hr = reopened->GetFrameThumbnailEx(&dib, 160, 120, 0, FALSE, FALSE, &abortFlag);
    const auto aborted = clock::now() - start;
    canceller.join();
    EXPECT_EQ(hr, E_FAIL);
    EXPECT_EQ(dib, nullptr);
    EXPECT_LT(aborted, full / 2);
}
