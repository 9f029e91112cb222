// SPDX-License-Identifier: MIT
// Tests of the camera-raw library against real raw files, cut-off files and non-raw input.
#include "contracts/camera_raw_library.h"
#include "contracts/common_library.h"

#include <tavrel/platform/text.h>

#include "support/test_support.h"

#include <gtest/gtest.h>
#include <libraw.h>

#include <sys/stat.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

struct RawDeleter {
    void operator()(CameraRawState* handle) const { ClearDCRaw(handle); }
};
using RawHandle = std::unique_ptr<CameraRawState, RawDeleter>;

RawHandle openRaw(const std::filesystem::path& path)
{
    return RawHandle(InitDCRaw(path.string().c_str()));
}

std::string textOf(int (*getter)(HDCRAW, LPSTR, int*), HDCRAW handle)
{
    int length = 0;
    if (getter(handle, nullptr, &length) <= 0) return {};
    std::string text(static_cast<size_t>(length), '\0');
    getter(handle, text.data(), &length);
    return text;
}

// The camera's wall-clock time as ExifTool prints DateTimeOriginal.
std::string wallClock(int64_t seconds)
{
    if (seconds == 0) return {};
    const time_t value = static_cast<time_t>(seconds);
    tm local{};
    localtime_r(&value, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y:%m:%d %H:%M:%S", &local);
    return text;
}

// EXIF orientation of a flip code, as the engine maps it (0 -> 1, 3 -> 3, 5 -> 8, 6 -> 6).
int orientationOf(int flip)
{
    switch (flip) {
    case 0:
        return 1;
    case 3:
        return 3;
    case 5:
        return 8;
    case 6:
        return 6;
    default:
        return -1;
    }
}

void expectNear(double actual, double expected, const char* what)
{
    EXPECT_NEAR(actual, expected, std::abs(expected) * 1e-6 + 1e-9) << what;
}

// Values from `exiftool -Make -Model -ISO -ExposureTime -FNumber -FocalLength
// -DateTimeOriginal -Orientation -Flash -n`; 0 / empty where ExifTool shows nothing or 0.
struct ExifToolValues {
    const char* file;
    const char* make;
    const char* model;
    double iso, exposure, fNumber, focal, flash;
    const char* date;
    int orientation;
};

const ExifToolValues kRawFiles[] = {
    {"raw/canon_eos_6d.dng", "Canon", "Canon EOS 6D", 1000, 1.0 / 60, 5.6, 65, 16,
     "2019:06:06 07:29:51", 1},
    {"raw/colorchart_magiclantern.dng", "Canon", "Canon EOS Kiss X4", 0, 0, 0, 0, 0, "", 1},
    {"raw/exiftool_CanonRaw.cr2", "Canon", "Canon EOS 350D DIGITAL", 400, 1.0 / 15, 8, 55, 16,
     "2005:08:03 18:59:18", 1},
    // CIFF: no EXIF block and no flash record; the orientation comes from the CIFF rotation
    // record, which ExifTool shows as Rotation 0.
    {"raw/exiftool_CanonRaw.crw", "Canon", "Canon EOS DIGITAL REBEL", 100, 1.0 / 64,
     3.56359487256136, 24, 0, "2003:11:10 17:39:26", 1},
    {"raw/exiftool_CanonRaw.cr3", "Canon", "Canon EOS M50", 12800, 0.0125, 3.5, 15, 0,
     "2018:02:21 12:08:56", 1},
    {"raw/exiftool_FujiFilm.raf", "FUJIFILM", "FinePix S5Pro", 100, 0.004, 8, 70, 16,
     "2007:05:22 13:58:30", 1},
    {"raw/exiftool_Minolta.mrw", "Konica Minolta Camera, Inc.", "DiMAGE A2", 64, 0.2, 2.8, 7.203125,
     16, "2004:11:18 23:14:58", 1},
    {"raw/exiftool_Nikon.nef", "NIKON CORPORATION", "NIKON D70", 200, 0.05, 3.5, 18, 0,
     "2004:06:09 16:02:35", 1},
    {"raw/exiftool_Panasonic.rw2", "Panasonic", "DMC-LX3", 80, 0.004, 4, 5.1, 16,
     "2008:08:06 15:21:56", 1},
    // Pixel data cut off upstream; the shooting data is intact and still served.
    {"broken/fixture-sony-zv-e10_truncated.arw", "SONY", "ZV-E10", 100, 0.00625, 18, 29, 16,
     "2021:07:24 14:23:06", 6},
    {"broken/fixture_truncated.cr3", "Canon", "Canon EOS R", 100, 0.008, 4, 105, 0,
     "2019:12:05 13:32:49", 6},
};

// Sets TZ for one scope, so times are checked in a zone other than the machine's.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char* zone)
    {
        if (const char* old = std::getenv("TZ")) m_old = old;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone()
    {
        if (m_old)
            setenv("TZ", m_old->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

  private:
    std::optional<std::string> m_old;
};

} // namespace

TEST(CameraRawCorpus, ShootingDataMatchesExifTool)
{
    // A zone east of UTC with a half hour shows timestamps that were not built from the
    // camera's wall-clock time.
    for (const char* zone : {"UTC0", "IST-5:30"}) {
        ScopedTimeZone tz(zone);
        for (const ExifToolValues& expected : kRawFiles) {
            SCOPED_TRACE(std::string(expected.file) + " in " + zone);
            MIO_CORPUS_FILE(path, expected.file);
            RawHandle raw = openRaw(path);
            ASSERT_NE(raw, nullptr);
            ASSERT_EQ(IdentifyRawData(raw.get()), 0);
            EXPECT_EQ(textOf(GetMake, raw.get()), expected.make);
            EXPECT_EQ(textOf(GetModel, raw.get()), expected.model);
            expectNear(GetIsoSpeed(raw.get()), expected.iso, "ISO");
            expectNear(GetShutter(raw.get()), expected.exposure, "exposure time");
            expectNear(GetAperture(raw.get()), expected.fNumber, "F number");
            expectNear(GetFocalLenr(raw.get()), expected.focal, "focal length");
            expectNear(GetFlashUsed(raw.get()), expected.flash, "flash");
            EXPECT_EQ(wallClock(GetTimeStamp(raw.get())), expected.date);
            EXPECT_EQ(orientationOf(GetTiffFlip(raw.get())), expected.orientation);
        }
    }
}

TEST(CameraRawCorpus, KodakDataOutsideExifIsUsed)
{
    // Kodak keeps its data in its own IFD: ExifTool shows exposure, F number, focal length and
    // a flash value of 24, and no ISO or date.
    MIO_CORPUS_FILE(kdc, "raw/RAW_KODAK_DC50.KDC");
    RawHandle raw = openRaw(kdc);
    ASSERT_EQ(IdentifyRawData(raw.get()), 0);
    EXPECT_EQ(textOf(GetMake, raw.get()), "Eastman Kodak Company");
    EXPECT_EQ(textOf(GetModel, raw.get()), "Kodak Digital Science DC50 Zoom Camera");
    expectNear(GetShutter(raw.get()), 0.00435, "exposure time");
    expectNear(GetAperture(raw.get()), 6.2, "F number");
    expectNear(GetFocalLenr(raw.get()), 37, "focal length");
    expectNear(GetFlashUsed(raw.get()), 24, "flash");
    EXPECT_EQ(orientationOf(GetTiffFlip(raw.get())), 1);
}

TEST(CameraRawCorpus, EmbeddedPreviewsAreDeliveredAsJpegOrPackedDib)
{
    MIO_CORPUS_FILE(dng, "raw/canon_eos_6d.dng");
    RawHandle raw = openRaw(dng);
    ASSERT_EQ(IdentifyRawData(raw.get()), 0);
    EXPECT_NE(EmbeddedThumbnail(raw.get()), 0);
    MioRawThumbnail thumb{};
    ASSERT_EQ(mioRawGetEmbeddedThumbnail(raw.get(), &thumb), 1);
    EXPECT_EQ(thumb.nFormat, MioRawThumbnailJpeg);
    EXPECT_EQ(thumb.nWidth, 1024);
    EXPECT_EQ(thumb.nHeight, 683);
    EXPECT_EQ(thumb.cbData, 57901u); // ExifTool's PreviewImage
    ASSERT_NE(thumb.pData, nullptr);
    EXPECT_EQ(thumb.pData[0], 0xFF);
    EXPECT_EQ(thumb.pData[1], 0xD8);

    MIO_CORPUS_FILE(raf, "raw/exiftool_FujiFilm.raf");
    raw = openRaw(raf);
    ASSERT_EQ(IdentifyRawData(raw.get()), 0);
    ASSERT_EQ(mioRawGetEmbeddedThumbnail(raw.get(), &thumb), 1);
    EXPECT_EQ(thumb.nFormat, MioRawThumbnailJpeg);
    EXPECT_EQ(thumb.cbData, 9362u); // ExifTool's ThumbnailImage
    EXPECT_EQ(thumb.nWidth, 160);
    EXPECT_EQ(thumb.nHeight, 120);
}

TEST(CameraRawCorpus, BitmapPreviewBecomesBottomUpBgrDib)
{
    MIO_CORPUS_FILE(kdc, "raw/RAW_KODAK_DC50.KDC");
    RawHandle raw = openRaw(kdc);
    ASSERT_EQ(IdentifyRawData(raw.get()), 0);
    MioRawThumbnail thumb{};
    ASSERT_EQ(mioRawGetEmbeddedThumbnail(raw.get(), &thumb), 1);
    ASSERT_EQ(thumb.nFormat, MioRawThumbnailPackedDib);
    ASSERT_EQ(thumb.nWidth, 96);
    ASSERT_EQ(thumb.nHeight, 64);
    const size_t stride = 96 * 3; // already a multiple of 4
    ASSERT_EQ(thumb.cbData, sizeof(BITMAPINFOHEADER) + stride * 64);
    BITMAPINFOHEADER header{};
    std::memcpy(&header, thumb.pData, sizeof header);
    EXPECT_EQ(header.biSize, 40u);
    EXPECT_EQ(header.biWidth, 96);
    EXPECT_EQ(header.biHeight, 64); // positive: bottom-up
    EXPECT_EQ(header.biPlanes, 1);
    EXPECT_EQ(header.biBitCount, 24);
    EXPECT_EQ(header.biCompression, BI_RGB);
    EXPECT_EQ(header.biSizeImage, stride * 64);

    // The file's own top-left RGB pixel must be the first BGR pixel of the last stored row.
    LibRaw reference;
    ASSERT_EQ(reference.open_file(kdc.string().c_str()), LIBRAW_SUCCESS);
    ASSERT_EQ(reference.unpack_thumb(), LIBRAW_SUCCESS);
    const auto* rgb = reinterpret_cast<const uint8_t*>(reference.imgdata.thumbnail.thumb);
    const uint8_t* lastRow = thumb.pData + sizeof header + stride * 63;
    EXPECT_EQ(lastRow[0], rgb[2]);
    EXPECT_EQ(lastRow[1], rgb[1]);
    EXPECT_EQ(lastRow[2], rgb[0]);
    const uint8_t* firstRowEnd = thumb.pData + sizeof header + stride - 3;
    const uint8_t* rgbLast = rgb + (96 * 64 - 1) * 3;
    EXPECT_EQ(firstRowEnd[0], rgbLast[2]);
    EXPECT_EQ(firstRowEnd[2], rgbLast[0]);
}

TEST(CameraRawCorpus, StrippedOrCutOffPreviewsAreNotClaimed)
{
    for (const char* file :
         {"raw/exiftool_CanonRaw.cr3", "raw/exiftool_Nikon.nef", "raw/exiftool_Minolta.mrw",
          "raw/colorchart_magiclantern.dng", "broken/fixture-sony-zv-e10_truncated.arw"}) {
        SCOPED_TRACE(file);
        MIO_CORPUS_FILE(path, file);
        RawHandle raw = openRaw(path);
        ASSERT_EQ(IdentifyRawData(raw.get()), 0);
        EXPECT_EQ(EmbeddedThumbnail(raw.get()), 0);
        MioRawThumbnail thumb{};
        EXPECT_EQ(mioRawGetEmbeddedThumbnail(raw.get(), &thumb), 0);
        EXPECT_EQ(thumb.nFormat, MioRawThumbnailNone);
        EXPECT_EQ(thumb.pData, nullptr);
    }
}

TEST(CameraRawText, LengthQueryThenExactOrLargerBuffer)
{
    MIO_CORPUS_FILE(path, "raw/exiftool_Nikon.nef");
    RawHandle raw = openRaw(path);
    ASSERT_EQ(IdentifyRawData(raw.get()), 0);
    const std::string make = "NIKON CORPORATION";
    const int size = static_cast<int>(make.size());

    int length = 12345;
    EXPECT_EQ(GetMake(raw.get(), nullptr, &length), size);
    EXPECT_EQ(length, size);

    // A buffer of exactly the length gets the text and no terminator past its end.
    std::vector<char> exact(make.size() + 1, 'x');
    length = size;
    EXPECT_EQ(GetMake(raw.get(), exact.data(), &length), size);
    EXPECT_EQ(std::string(exact.data(), make.size()), make);
    EXPECT_EQ(exact.back(), 'x');

    char larger[64];
    std::memset(larger, 'x', sizeof larger);
    length = sizeof larger;
    EXPECT_EQ(GetMake(raw.get(), larger, &length), size);
    EXPECT_STREQ(larger, make.c_str());

    char small[6];
    std::memset(small, 'x', sizeof small);
    length = 5;
    EXPECT_EQ(GetMake(raw.get(), small, &length), size);
    EXPECT_EQ(length, size);
    EXPECT_EQ(std::string(small, 5), "NIKON");
    EXPECT_EQ(small[5], 'x');

    EXPECT_EQ(GetModel(raw.get(), nullptr, nullptr), 0);
}

TEST(CameraRawBadInput, NonRawMissingAndEmptyFilesAreRefusedWithLastError)
{
    const struct {
        const char* file;
        int code;
    } cases[] = {{"jpeg/Canon_40D.jpg", mio::kLibErrFormat},
                 {"jpeg/no_exif.jpg", mio::kLibErrFormat},
                 {"tiff/hopper_lzw.tif", mio::kLibErrFormat},
                 {"broken/Canon_40D_truncated_4000B.jpg", mio::kLibErrFormat},
                 {"broken/emptyfile.mp3", mio::kLibErrFormat},
                 {"png/hopper.png", mio::kLibErrFormat}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        MIO_CORPUS_FILE(path, c.file);
        c32ResetDLLErrInfo();
        RawHandle raw = openRaw(path);
        ASSERT_NE(raw, nullptr);
        EXPECT_EQ(IdentifyRawData(raw.get()), c.code);
        char text[256] = {};
        EXPECT_EQ(c32GetDLLErrorInfo(text, 256, 0, 0, 0, 0), c.code);
        EXPECT_STRNE(text, "");
        // Nothing is reported for a file that was not identified.
        int length = 0;
        EXPECT_EQ(GetMake(raw.get(), nullptr, &length), 0);
        EXPECT_EQ(GetTiffFlip(raw.get()), -1);
        EXPECT_EQ(GetTimeStamp(raw.get()), 0);
        EXPECT_EQ(GetIsoSpeed(raw.get()), 0.0);
        EXPECT_EQ(EmbeddedThumbnail(raw.get()), 0);
    }

    // A FIFO would block a plain open forever; it is refused like a folder or a missing file.
    support::TempDir dir;
    ASSERT_EQ(mkfifo((dir / "pipe.nef").c_str(), 0600), 0);
    for (const std::filesystem::path& path : {dir / "missing.cr2", dir.path(), dir / "pipe.nef"}) {
        RawHandle raw = openRaw(path);
        ASSERT_NE(raw, nullptr);
        EXPECT_EQ(IdentifyRawData(raw.get()), mio::kLibErrOpen) << path;
    }
}

TEST(CameraRawBadInput, NullArgumentsAreHarmless)
{
    EXPECT_EQ(InitDCRaw(nullptr), nullptr);
    EXPECT_EQ(IdentifyRawData(nullptr), mio::kLibErrArgument);
    int length = 7;
    EXPECT_EQ(GetMake(nullptr, nullptr, &length), 0);
    EXPECT_EQ(length, 0);
    EXPECT_EQ(GetShutter(nullptr), 0.0);
    EXPECT_EQ(GetTiffFlip(nullptr), -1);
    EXPECT_EQ(EmbeddedThumbnail(nullptr), 0);
    EXPECT_EQ(mioRawGetEmbeddedThumbnail(nullptr, nullptr), 0);
    ClearDCRaw(nullptr);

    // Before identification nothing is known.
    RawHandle raw(InitDCRaw("/nonexistent/file.nef"));
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(GetTiffFlip(raw.get()), -1);
    EXPECT_EQ(GetFocalLenr(raw.get()), 0.0);
}

TEST(CameraRawBadInput, CutOffFilesNeverCrashAndNeverClaimABrokenPreview)
{
    MIO_CORPUS_FILE(source, "raw/canon_eos_6d.dng");
    const std::vector<uint8_t> bytes = support::readFile(source);
    support::TempDir dir;
    for (size_t length : {size_t{0}, size_t{4}, size_t{8}, size_t{64}, size_t{600}, size_t{4096},
                          size_t{135000}, bytes.size() / 2, bytes.size() - 1}) {
        SCOPED_TRACE(length);
        const auto path = dir / ("cut_" + std::to_string(length) + ".dng");
        support::writeFile(path, std::vector<uint8_t>(bytes.begin(), bytes.begin() + length));
        RawHandle raw = openRaw(path);
        ASSERT_NE(raw, nullptr);
        const int result = IdentifyRawData(raw.get());
        EXPECT_TRUE(result == 0 || result == mio::kLibErrFormat || result == mio::kLibErrCorrupt)
            << result;
        MioRawThumbnail thumb{};
        if (mioRawGetEmbeddedThumbnail(raw.get(), &thumb)) {
            ASSERT_EQ(thumb.nFormat, MioRawThumbnailJpeg);
            EXPECT_LE(thumb.cbData, length);
            EXPECT_GT(thumb.nWidth, 0);
        }
    }
}

TEST(CameraRawBadInput, PatchedPreviewLayoutIsRefusedNotOverread)
{
    // One byte in the Kodak IFD0 (offset 58) turns the plain RGB preview into a layered one,
    // whose loader reads past its buffer in LibRaw; the preview must be refused instead.
    MIO_CORPUS_FILE(source, "raw/RAW_KODAK_DC50.KDC");
    std::vector<uint8_t> bytes = support::readFile(source);
    ASSERT_GT(bytes.size(), 58u);
    ASSERT_EQ(bytes[58], 0x01);
    bytes[58] = 0xA3;
    support::TempDir dir;
    const auto path = dir / "patched.kdc";
    support::writeFile(path, bytes);
    RawHandle raw = openRaw(path);
    ASSERT_EQ(IdentifyRawData(raw.get()), 0);
    EXPECT_EQ(textOf(GetMake, raw.get()), "Eastman Kodak Company");
    EXPECT_EQ(EmbeddedThumbnail(raw.get()), 0);
}

TEST(CameraRawHandles, HoldNoFileOpenBetweenCalls)
{
    MIO_CORPUS_FILE(path, "raw/canon_eos_6d.dng");
    auto openFiles = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    const auto before = openFiles();
    std::vector<RawHandle> handles;
    for (int i = 0; i < 8; ++i) {
        handles.push_back(openRaw(path));
        ASSERT_EQ(IdentifyRawData(handles.back().get()), 0);
        ASSERT_NE(EmbeddedThumbnail(handles.back().get()), 0);
    }
    EXPECT_EQ(openFiles(), before);
}

TEST(CameraRawHandles, AnsiPathsReachNonAsciiFileNames)
{
    MIO_CORPUS_FILE(source, "raw/exiftool_Nikon.nef");
    support::ScopedCopy copy(source, "caf\xC3\xA9.nef"); // UTF-8 name on disk
    const std::string folder = copy.path().parent_path().string();

    RawHandle utf8 = RawHandle(InitDCRaw((folder + "/caf\xC3\xA9.nef").c_str()));
    ASSERT_EQ(IdentifyRawData(utf8.get()), 0);

    // Under Windows-1252 the same name is one byte 0xE9 for the accented letter.
    ASSERT_TRUE(TavrelSetActiveCodePage(1252));
    RawHandle ansi = RawHandle(InitDCRaw((folder + "/caf\xE9.nef").c_str()));
    TavrelSetActiveCodePage(CP_UTF8);
    ASSERT_NE(ansi, nullptr);
    EXPECT_EQ(IdentifyRawData(ansi.get()), 0);
    EXPECT_EQ(textOf(GetModel, ansi.get()), "NIKON D70");
}

TEST(CameraRawHandles, AreIndependentAcrossThreads)
{
    MIO_CORPUS_FILE(nef, "raw/exiftool_Nikon.nef");
    MIO_CORPUS_FILE(dng, "raw/canon_eos_6d.dng");
    auto worker = [](std::filesystem::path path, std::string model, int* mismatches) {
        for (int i = 0; i < 40; ++i) {
            RawHandle raw = openRaw(path);
            if (!raw || IdentifyRawData(raw.get()) != 0 || textOf(GetModel, raw.get()) != model)
                ++*mismatches;
            EmbeddedThumbnail(raw.get());
        }
    };
    int mismatchesA = 0, mismatchesB = 0;
    std::thread a(worker, nef, "NIKON D70", &mismatchesA);
    std::thread b(worker, dng, "Canon EOS 6D", &mismatchesB);
    a.join();
    b.join();
    EXPECT_EQ(mismatchesA, 0);
    EXPECT_EQ(mismatchesB, 0);
}
