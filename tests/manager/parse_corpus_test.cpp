// SPDX-License-Identifier: MIT
// Every corpus file through the server module as a host loads it: which object ParseFile makes,
// its properties, a thumbnail and each metadata family, each file bounded by a watchdog; then
// the whole corpus parsed again and again, which must not grow the heap, RSS or open handles.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <tavrelmediaio/MediaFileIO.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define MIO_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define MIO_UNDER_ASAN 1
#endif
#endif

namespace {

namespace fs = std::filesystem;

// The short form for CI; thumbnails (the slow part: full camera-raw decodes) every tenth pass.
constexpr int kDefaultIterations = 20;
constexpr int kThumbnailPeriod = 10;
// Longest a single file may take (a full camera-raw decode on a loaded machine, or under a
// sanitizer) before the watchdog calls it a hang.
constexpr std::chrono::seconds kFileLimit{120};
// A leak of one small block per file and pass (about 180 files) stays above these; what settles
// after the warm-up (allocator bins, a cache entry) stays below.
constexpr double kSlopeLimit = 1024;
constexpr size_t kGrowthLimit = 256 << 10;
// Resident memory also moves with the allocator keeping or returning pages after the big
// buffers of raw decodes, so it gets a wide margin; a thumbnail kept per file would exceed it.
constexpr size_t kRssMargin = 8 << 20;

// What ParseFile must make of a file: the image object, a media object of a GetFileType kind,
// E_FAIL with the library's error text, or E_FAIL for an extension no library lists (no library
// is asked, so there is no text).
enum class Outcome { ImageObject, Video, Audio, Still, Fail, Unlisted };

struct Expectation {
    Outcome outcome;
    int32_t width = 0; // frame size from the file itself (0: not checked)
    int32_t height = 0;
};

// Decided from the file's content (file(1), ffprobe, ExifTool as listed in the corpus MANIFEST),
// not from the engine. A file missing here fails the walk, so new corpus files are noticed.
const std::map<std::string, Expectation>& expectations()
{
    using O = Outcome;
    static const std::map<std::string, Expectation> table = {
        {"audio/alac.m4a", {O::Audio}},
        {"audio/ape-id3v1.mp3", {O::Audio}},
        {"audio/duplicate_id3v2.mp3", {O::Audio}},
        {"audio/example.opus", {O::Audio}},
        {"audio/fixture-adts-mpeg4.aac", {O::Audio}},
        {"audio/fixture-bad-offset.mp3", {O::Audio}},
        {"audio/fixture-monkeysaudio.ape", {O::Audio}},
        {"audio/fixture.amr", {O::Audio}},
        {"audio/fixture.mp2", {O::Audio}},
        {"audio/has-tags.m4a", {O::Audio}},
        {"audio/id3v1v2-combined.mp3", {O::Audio}},
        {"audio/id3v22-test.mp3", {O::Audio}},
        {"audio/issue_29.wma", {O::Audio}},
        {"audio/itunes10.mp3", {O::Audio}},
        {"audio/lossless.wma", {O::Audio}},
        // Ogg page CRC mismatch in the setup header: no demuxer accepts it.
        {"audio/lowercase-fields.ogg", {O::Fail}},
        {"audio/multipage-setup.ogg", {O::Audio}},
        {"audio/multiple-vc.flac", {O::Audio}},
        {"audio/real_example.wma", {O::Audio}},
        {"audio/silence-1.wma", {O::Audio}},
        {"audio/silence-2s-PCM-44100-16-ID3v23.wav", {O::Audio}},
        {"audio/silence-44-s-v1.mp3", {O::Audio}},
        {"audio/silence-44-s.ac3", {O::Audio}},
        {"audio/silence-44-s.flac", {O::Audio}},
        {"audio/silence-44-s.mp3", {O::Audio}},
        {"audio/silence-44-s.wv", {O::Audio}},
        {"audio/taglibsharp_sample.wma", {O::Audio}},
        {"audio/variable-block.flac", {O::Audio}},
        {"audio/vbri.mp3", {O::Audio}},
        {"audio/with-id3.aif", {O::Audio}},
        {"audio/xing.mp3", {O::Audio}},

        {"bmp/hopper.bmp", {O::ImageObject, 128, 128}},
        {"bmp/pal1.bmp", {O::ImageObject, 127, 64}},
        {"bmp/pal4rle.bmp", {O::ImageObject, 127, 64}},
        {"bmp/pal8.bmp", {O::ImageObject, 127, 64}},
        {"bmp/pal8os2.bmp", {O::ImageObject, 127, 64}},
        {"bmp/pal8topdown.bmp", {O::ImageObject, 127, 64}},
        {"bmp/rgb16-565.bmp", {O::ImageObject, 127, 64}},
        {"bmp/rgb32bf.bmp", {O::ImageObject, 127, 64}},
        {"bmp/rgba32.bmp", {O::ImageObject, 127, 64}},

        {"broken/Canon_40D_truncated_4000B.jpg", {O::Fail}},
        {"broken/broken.png", {O::Fail}},
        {"broken/emptyfile.mp3", {O::Fail}},
        {"broken/fixture-corrupt.mkv", {O::Fail}},
        // Its header survives the cut; its first frame does not.
        {"broken/fixture-imovie_truncated_half.mp4", {O::Video, 640, 356}},
        {"broken/fixture-sony-zv-e10_truncated.arw", {O::Fail}},
        {"broken/fixture_truncated.cr3", {O::Fail}},
        // A JPEG under a PNG name: the imaging component goes by content.
        {"broken/hopper_gray_jpeg_named.png", {O::ImageObject, 128, 128}},
        // Header and size are readable; the cut pixel data fails the thumbnail, not the parse.
        {"broken/hopper_truncated_10000B.png", {O::ImageObject, 128, 128}},
        {"broken/id3v1v2-combined_truncated_half.mp3", {O::Fail}},
        {"broken/image01137_invalid_exif.jpg", {O::ImageObject, 88, 64}},
        // Cut inside its first image: no complete frame for any decoder.
        {"broken/iss634_truncated_60000B.gif", {O::Fail}},
        {"broken/silence-1_zeroed_header.wma", {O::Fail}},
        {"broken/truncated_image.png", {O::ImageObject, 640, 480}},
        {"broken/truncated_jpeg.jpg", {O::ImageObject, 100, 100}},

        // Animated GIFs go to the video library.
        {"gif/chi.gif", {O::Video, 320, 240}},
        {"gif/dispose_bgnd.gif", {O::Video, 100, 100}},
        {"gif/fixture.gif", {O::ImageObject, 200, 133}},
        {"gif/hopper.gif", {O::ImageObject, 128, 128}},
        {"gif/iss634.gif", {O::Video, 245, 245}},
        {"gif/transparent.gif", {O::ImageObject, 200, 150}},

        {"ico/deerstalker.cur", {O::Still, 32, 32}},
        {"ico/hopper.ico", {O::Still, 16, 16}},
        {"ico/hopper_256x256.ico", {O::Still, 256, 256}},
        {"ico/pillow.ico", {O::Still, 256, 256}},

        {"jpeg/BlueSquare_xmp.jpg", {O::ImageObject, 360, 216}},
        {"jpeg/Canon_40D.jpg", {O::ImageObject, 100, 68}},
        {"jpeg/Canon_40D_photoshop_import.jpg", {O::ImageObject, 100, 77}},
        {"jpeg/DSCN0010_gps.jpg", {O::ImageObject, 640, 480}},
        {"jpeg/Fujifilm_FinePix_E500.jpg", {O::ImageObject, 59, 100}},
        {"jpeg/Nikon_D70.jpg", {O::ImageObject, 100, 66}},
        {"jpeg/Pentax_K10D.jpg", {O::ImageObject, 100, 72}},
        {"jpeg/Reagan_xmp_keywords.jpg", {O::ImageObject, 200, 130}},
        {"jpeg/exif_gps.jpg", {O::ImageObject, 8, 8}},
        {"jpeg/exiftool_IPTC.jpg", {O::ImageObject, 8, 8}},
        {"jpeg/exiftool_XMP.jpg", {O::ImageObject, 8, 8}},
        {"jpeg/flower.jpg", {O::ImageObject, 480, 360}},
        {"jpeg/hopper_gray.jpg", {O::ImageObject, 128, 128}},
        {"jpeg/iptc-agency-photographer-example.jpg", {O::ImageObject, 527, 350}},
        {"jpeg/iptc.jpg", {O::ImageObject, 640, 480}},
        {"jpeg/landscape_1.jpg", {O::ImageObject, 600, 450}},
        {"jpeg/landscape_3.jpg", {O::ImageObject, 600, 450}},
        {"jpeg/landscape_6.jpg", {O::ImageObject, 450, 600}},
        {"jpeg/landscape_8.jpg", {O::ImageObject, 450, 600}},
        {"jpeg/long_description.jpg", {O::ImageObject, 100, 73}},
        // 12-bit samples: no decoder here reads them.
        {"jpeg/monkey12.jpg", {O::Fail}},
        {"jpeg/no_exif.jpg", {O::ImageObject, 322, 466}},
        {"jpeg/pil_sample_cmyk.jpg", {O::ImageObject, 100, 100}},
        {"jpeg/portrait_5.jpg", {O::ImageObject, 600, 450}},
        {"jpeg/sample_sony1.jpg", {O::ImageObject, 3872, 2592}},
        {"jpeg/testimgari.jpg", {O::ImageObject, 227, 149}},
        {"jpeg/testimgint.jpg", {O::ImageObject, 227, 149}},
        {"jpeg/ultrahdr.jpg", {O::ImageObject, 1512, 2688}},

        {"other-images/16bit.cropped.j2k", {O::Still, 64, 64}},
        // The TIFF preview (72 x 48, 1 bit) is what can be decoded; the PostScript is not rendered.
        {"other-images/1_tiff_preview.eps", {O::Still, 72, 48}},
        {"other-images/200x32_rgba_tl_rle.tga", {O::Still, 200, 32}},
        {"other-images/DSC_0307_small.wbmp", {O::Still, 300, 225}},
        // Listed by the still-image library, which cannot read them (it says so).
        {"other-images/FLAG_B24.pct", {O::Fail}},
        {"other-images/IMG_5195.HEIC", {O::Still}},
        {"other-images/cow.pict", {O::Fail}},
        {"other-images/drawing.wmf", {O::Fail}},
        {"other-images/fixture.cur", {O::Still, 60, 60}},
        // Extensions that no library lists: refused before any library is asked.
        {"other-images/fixture.jxl", {O::Unlisted}},
        {"other-images/gradient_ilbm.iff", {O::Still, 320, 200}},
        {"other-images/gray.sct", {O::Fail}},
        {"other-images/hopper.avif", {O::Still, 128, 128}},
        {"other-images/hopper.msp", {O::Still, 128, 128}},
        {"other-images/hopper.pcd", {O::Fail}},
        {"other-images/hopper.ppm", {O::Still, 128, 128}},
        {"other-images/hopper.psd", {O::Still, 128, 128}},
        {"other-images/hopper.pxr", {O::Fail}},
        {"other-images/hopper.ras", {O::Still, 128, 128}},
        {"other-images/hopper.sgi", {O::Unlisted}},
        {"other-images/hopper.webp", {O::Still, 128, 128}},
        {"other-images/hopper_16bit.pgm", {O::Still, 128, 128}},
        {"other-images/input_bw_one_band.fpx", {O::Fail}},
        {"other-images/iss634_animated.webp", {O::Still, 245, 245}},
        {"other-images/pil184.pcx", {O::Still, 447, 144}},
        {"other-images/porsches.mac", {O::Still, 576, 720}},
        {"other-images/samplefilehub.heif", {O::Still, 640, 426}},
        {"other-images/star.avifs", {O::Still, 159, 159}},
        {"other-images/sugarshack.mpo", {O::Unlisted}},
        {"other-images/test-card-lossless.jp2", {O::Still, 640, 480}},
        {"other-images/test.ani", {O::Unlisted}},
        {"other-images/testcard_pbm.iff", {O::Still, 112, 112}},
        {"other-images/transparent.webp", {O::Still, 200, 150}},
        {"other-images/xmp_tags_orientation.avif", {O::Still, 326, 268}},

        {"png/apng_num_plays.png", {O::ImageObject, 128, 64}},
        {"png/exif.png", {O::ImageObject, 512, 512}},
        {"png/hopper.png", {O::ImageObject, 128, 128}},
        {"png/icc_profile.png", {O::ImageObject, 57, 57}},
        {"png/iss634.apng", {O::ImageObject, 245, 245}},
        {"png/itxt_chunks.png", {O::ImageObject, 2400, 2000}},
        {"png/monkey16.png", {O::ImageObject, 149, 227}},
        {"png/pil123p.png", {O::ImageObject, 162, 150}},
        {"png/transparent.png", {O::ImageObject, 200, 150}},
        {"png/xmp_tags_orientation.png", {O::ImageObject, 326, 268}},

        {"raw/RAW_KODAK_DC50.KDC", {O::Still}},
        {"raw/canon_eos_6d.dng", {O::Still}},
        {"raw/colorchart_magiclantern.dng", {O::Still}},
        {"raw/exiftool_CanonRaw.cr2", {O::Still}},
        {"raw/exiftool_CanonRaw.cr3", {O::Still}},
        {"raw/exiftool_CanonRaw.crw", {O::Still}},
        {"raw/exiftool_FujiFilm.raf", {O::Still}},
        {"raw/exiftool_Minolta.mrw", {O::Still}},
        {"raw/exiftool_Nikon.nef", {O::Still}},
        {"raw/exiftool_Panasonic.rw2", {O::Still}},

        {"tiff/10ct_32bit_128.tiff", {O::Still, 128, 128}},
        {"tiff/12bit.cropped.tif", {O::Still, 100, 100}},
        {"tiff/DudleyLeavittUtah.tiff", {O::Still, 196, 257}},
        {"tiff/hopper_bigtiff.tif", {O::Still, 128, 128}},
        {"tiff/hopper_g4.tif", {O::Still, 128, 128}},
        {"tiff/hopper_lzw.tif", {O::Still, 128, 128}},
        {"tiff/multipage.tiff", {O::Still, 10, 10}},
        {"tiff/rdf.tif", {O::Still, 518, 556}},
        {"tiff/tiff_16bit_RGB.tiff", {O::Still, 100, 40}},
        {"tiff/tiff_strip_cmyk_jpeg.tif", {O::Still, 100, 100}},
        {"tiff/tiff_tiled_planar_lzw.tiff", {O::Still, 278, 374}},

        {"video/Turning_Lime.mpg", {O::Video}},
        {"video/blank_video.m4v", {O::Video, 640, 360}},
        {"video/echo-hereweare.webm", {O::Video, 480, 270}},
        {"video/exiftool_DV.dv", {O::Video, 720, 576}},
        // A metadata stub without media data: no demuxer opens it.
        {"video/exiftool_Real.rm", {O::Fail}},
        {"video/fixture-imovie.mp4", {O::Video, 640, 356}},
        {"video/fixture-mjpeg.mov", {O::Video, 640, 480}},
        {"video/fixture-raw.mts", {O::Video, 1920, 1080}},
        {"video/fixture-realmedia-video.rm", {O::Video, 352, 288}},
        {"video/fixture.3gp", {O::Video, 352, 288}},
        {"video/fixture.avi", {O::Video, 640, 356}},
        {"video/fixture.flv", {O::Video, 268, 156}},
        {"video/fixture.m4v", {O::Video, 640, 356}},
        {"video/fixture.mkv", {O::Video, 640, 356}},
        {"video/fixture.mov", {O::Video, 268, 156}},
        {"video/fixture.mpg", {O::Video, 160, 120}},
        {"video/fixture.webm", {O::Video, 640, 356}},
        {"video/fixture.wmv", {O::Video, 640, 356}},
        {"video/no-tags.3g2", {O::Audio}},
        {"video/optimized.mkv", {O::Video, 176, 144}},
        // Stored 1280 x 720 with a quarter turn in its display matrix.
        {"video/quicktime-hvc1.mov", {O::Video, 720, 1280}},
        {"video/sample.ogv", {O::Video, 300, 200}},
        {"video/small_video_hevc.mp4", {O::Video, 216, 384}},
        {"video/taglibsharp_sample_drm.m4v", {O::Video}},
    };
    return table;
}

const char* outcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::ImageObject:
        return "image object";
    case Outcome::Video:
        return "media object (video)";
    case Outcome::Audio:
        return "media object (audio)";
    case Outcome::Still:
        return "media object (still image)";
    case Outcome::Fail:
        return "E_FAIL";
    case Outcome::Unlisted:
        return "E_FAIL (unlisted)";
    }
    return "?";
}

std::vector<std::string> corpusFiles()
{
    std::vector<std::string> files;
    const fs::path root = support::corpusDir();
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_regular_file()) continue;
        const std::string relative = fs::relative(it->path(), root).generic_string();
        if (relative == "MANIFEST.md") continue;
        files.push_back(relative);
    }
    std::sort(files.begin(), files.end());
    return files;
}

// A file that hangs ends the process with its name, so ctest reports a failure instead of
// waiting for its own timeout.
class Watchdog {
  public:
    Watchdog() : m_thread([this] { run(); }) {}
    ~Watchdog()
    {
        {
            std::lock_guard lock(m_mutex);
            m_stop = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }
    void arm(const std::string& what, std::chrono::seconds limit)
    {
        std::lock_guard lock(m_mutex);
        m_what = what;
        m_deadline = std::chrono::steady_clock::now() + limit;
        m_armed = true;
        m_wake.notify_all();
    }
    void disarm()
    {
        std::lock_guard lock(m_mutex);
        m_armed = false;
    }

  private:
    void run()
    {
        std::unique_lock lock(m_mutex);
        while (!m_stop) {
            if (!m_armed) {
                m_wake.wait(lock);
                continue;
            }
            if (m_wake.wait_until(lock, m_deadline) == std::cv_status::timeout && m_armed &&
                std::chrono::steady_clock::now() >= m_deadline) {
                std::fprintf(stderr, "watchdog: no answer within the limit for %s\n",
                             m_what.c_str());
                std::fflush(stderr);
                std::_Exit(124);
            }
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::string m_what;
    std::chrono::steady_clock::time_point m_deadline{};
    bool m_armed = false;
    bool m_stop = false;
    std::thread m_thread;
};

// The server module, loaded once for the run as a host keeps it while objects may live.
struct Server {
    void* handle = nullptr;
    HRESULT (*getClassObject)(REFCLSID, REFIID, LPVOID*) = nullptr;
};

const Server& server()
{
    static const Server s = [] {
        Server x;
        x.handle = dlopen(MIO_SERVER_MODULE, RTLD_NOW | RTLD_LOCAL);
        if (x.handle)
            x.getClassObject =
                reinterpret_cast<decltype(x.getClassObject)>(dlsym(x.handle, "DllGetClassObject"));
        return x;
    }();
    return s;
}

ComPtr<IMediaFileIOMan2> newManager()
{
    ComPtr<IMediaFileIOMan2> manager;
    ComPtr<IClassFactory> factory;
    if (!server().getClassObject) return manager;
    if (FAILED(server().getClassObject(CLSID_MediaFileIOMan, IID_IClassFactory,
                                       reinterpret_cast<void**>(factory.GetAddressOf()))))
        return manager;
    factory->CreateInstance(nullptr, IID_IMediaFileIOMan2,
                            reinterpret_cast<void**>(manager.GetAddressOf()));
    return manager;
}

bool isImageObject(IMediaFileIO* object)
{
    ComPtr<IMediaFile> media;
    return SUCCEEDED(
        object->QueryInterface(IID_IMediaFile, reinterpret_cast<void**>(media.GetAddressOf())));
}

Outcome outcomeOf(HRESULT hr, IMediaFileIO* object)
{
    if (FAILED(hr) || !object) return Outcome::Fail;
    if (isImageObject(object)) return Outcome::ImageObject;
    int32_t type = 0;
    if (FAILED(object->GetFileType(&type))) return Outcome::Fail;
    return type == 1 ? Outcome::Video : type == 2 ? Outcome::Audio : Outcome::Still;
}

// Text that a user can be shown: printable, no stray control characters.
bool readable(const std::u16string& text)
{
    if (text.empty()) return false;
    return std::all_of(text.begin(), text.end(), [](char16_t c) { return c >= 0x20 || c == '\t'; });
}

// A returned bitmap is a packed DIB that fits the 160 x 120 box, and a picture larger than the
// box fills it on one side.
void checkThumbnail(const std::string& what, HRESULT hr, PackedDib dib, int32_t width,
                    int32_t height)
{
    if (FAILED(hr)) return;
    ASSERT_EQ(hr, S_OK) << what;
    ASSERT_NE(dib, nullptr) << what;
    EXPECT_GE(dib->biSize, 40u) << what;
    EXPECT_GE(dib->biWidth, 1) << what;
    EXPECT_LE(dib->biWidth, 160) << what;
    const int32_t rows = dib->biHeight < 0 ? -dib->biHeight : dib->biHeight;
    EXPECT_GE(rows, 1) << what;
    EXPECT_LE(rows, 120) << what;
    EXPECT_TRUE(dib->biBitCount == 1 || dib->biBitCount == 4 || dib->biBitCount == 8 ||
                dib->biBitCount == 16 || dib->biBitCount == 24 || dib->biBitCount == 32)
        << what << " bits " << dib->biBitCount;
    if (width > 160 || height > 120) {
        EXPECT_TRUE(dib->biWidth == 160 || rows == 120)
            << what << " " << dib->biWidth << "x" << rows << " from " << width << "x" << height;
    }
}

// Tag lists of each family, and the text of every listed tag.
void checkMetadata(IMediaFileIO* object, const std::string& file)
{
    for (int32_t code = MetaFormatExif; code <= MetaFormatXmp; ++code) {
        SCOPED_TRACE("metadata format " + std::to_string(code));
        std::array<int32_t, 96> tags{};
        int32_t total = -1;
        const HRESULT hr =
            object->GetMetaTags(code, &total, tags.data(), static_cast<int32_t>(tags.size()));
        if (FAILED(hr)) continue;
        ASSERT_GE(total, 0) << file;
        ASSERT_LT(total, 100000) << file;
        const int32_t listed = std::min<int32_t>(total, static_cast<int32_t>(tags.size()));
        for (int32_t i = 0; i < listed; ++i) {
            std::array<WCHAR, 1024> text;
            text.fill(u'\xffff');
            const HRESULT got = object->GetMetaDataStr(code, tags[static_cast<size_t>(i)],
                                                       text.data(), sizeof text);
            if (SUCCEEDED(got)) {
                EXPECT_NE(std::find(text.begin(), text.end(), u'\0'), text.end())
                    << file << " tag " << tags[static_cast<size_t>(i)] << " unterminated";
            }
        }
    }
}

struct FileReport {
    Outcome outcome = Outcome::Fail;
    HRESULT parse = E_FAIL;
    int32_t width = 0, height = 0, bits = 0;
    double duration = -1;
    HRESULT thumbnail = E_FAIL;
    int32_t thumbWidth = 0, thumbHeight = 0;
    std::u16string error;
    long long parseMs = 0, thumbnailMs = 0;
};

long long msSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

// Everything the walk asks of one file.
FileReport examine(IMediaFileIOMan2* manager, const fs::path& path, const std::string& file)
{
    FileReport report;
    ComPtr<IMediaFileIO> object;
    const auto start = std::chrono::steady_clock::now();
    report.parse = manager->ParseFile(path.u16string().c_str(), object.GetAddressOf());
    report.parseMs = msSince(start);
    report.outcome = outcomeOf(report.parse, object.Get());
    if (FAILED(report.parse)) {
        EXPECT_EQ(object.Get(), nullptr) << file;
        std::array<WCHAR, 256> text{};
        if (manager->GetErrorString(text.data(), sizeof text) == S_OK) report.error = text.data();
        if (report.error.empty()) report.outcome = Outcome::Unlisted;
        return report;
    }
    EXPECT_EQ(report.parse, S_OK) << file;

    const HRESULT size = object->GetFrameSize(&report.width, &report.height);
    const bool audio = report.outcome == Outcome::Audio;
    const bool timed = audio || report.outcome == Outcome::Video;
    if (SUCCEEDED(size) && audio) {
        // The record of a file without a video stream has no frame.
        EXPECT_EQ(report.width, 0) << file;
        EXPECT_EQ(report.height, 0) << file;
    } else if (SUCCEEDED(size)) {
        EXPECT_GE(report.width, 1) << file;
        EXPECT_GE(report.height, 1) << file;
        EXPECT_LE(report.width, 65535) << file;
        EXPECT_LE(report.height, 65535) << file;
    }
    if (SUCCEEDED(object->GetFrameBitCount(&report.bits))) {
        EXPECT_TRUE(audio ? report.bits == 0 : report.bits > 0 && report.bits <= 64)
            << file << " bits " << report.bits;
    }
    const HRESULT duration = object->GetDuration(&report.duration);
    EXPECT_EQ(SUCCEEDED(duration), timed) << file;
    if (SUCCEEDED(duration)) {
        EXPECT_TRUE(std::isfinite(report.duration) && report.duration >= 0 &&
                    report.duration < 24 * 3600)
            << file << " duration " << report.duration;
    }
    uint64_t bytes = 0;
    if (SUCCEEDED(object->GetFileSize(&bytes))) {
        EXPECT_EQ(bytes, fs::file_size(path)) << file;
    }

    PackedDib dib = nullptr;
    const auto thumbnailStart = std::chrono::steady_clock::now();
    if (report.outcome == Outcome::Video) {
        report.thumbnail = object->GetFrameThumbnail(&dib, 160, 120, 0, FALSE, FALSE);
        checkThumbnail(file + " frame thumbnail", report.thumbnail, dib, report.width,
                       report.height);
    }
    if (FAILED(report.thumbnail)) {
        dib = nullptr;
        report.thumbnail = object->GetPreviewThumbnail(&dib, 160, 120, TRUE, FALSE);
        checkThumbnail(file + " preview thumbnail", report.thumbnail, dib, report.width,
                       report.height);
    }
    report.thumbnailMs = msSince(thumbnailStart);
    if (SUCCEEDED(report.thumbnail) && dib) {
        report.thumbWidth = dib->biWidth;
        report.thumbHeight = dib->biHeight;
    }
    checkMetadata(object.Get(), file);
    return report;
}

class ParseCorpus : public ::testing::Test {
  protected:
    void SetUp() override
    {
        if (support::corpusDir().empty() || !fs::is_directory(support::corpusDir()))
            GTEST_SKIP() << "corpus not available";
        ASSERT_NE(server().handle, nullptr) << dlerror();
        m_manager = newManager();
        ASSERT_NE(m_manager.Get(), nullptr);
        ASSERT_EQ(m_manager->Initialize(0), S_OK);
    }
    ComPtr<IMediaFileIOMan2> m_manager;
};

TEST_F(ParseCorpus, EveryFileGivesTheObjectItsContentCallsFor)
{
    const auto files = corpusFiles();
    ASSERT_FALSE(files.empty());
    Watchdog watchdog;
    std::map<Outcome, int> counts;
    for (const auto& file : files) {
        SCOPED_TRACE(file);
        const auto found = expectations().find(file);
        EXPECT_NE(found, expectations().end()) << "no expectation for " << file;
        watchdog.arm(file, kFileLimit);
        const auto start = std::chrono::steady_clock::now();
        const FileReport report = examine(m_manager.Get(), support::corpusDir() / file, file);
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::steady_clock::now() - start)
                            .count();
        watchdog.disarm();
        ++counts[report.outcome];
        std::printf(
            "%-48s %-28s %5dx%-5d bits %2d dur %8.3f thumb 0x%08x %dx%d %lld/%lld/%lldms %s\n",
            file.c_str(), outcomeName(report.outcome), report.width, report.height, report.bits,
            report.duration, static_cast<unsigned>(report.thumbnail), report.thumbWidth,
            report.thumbHeight, report.parseMs, report.thumbnailMs, static_cast<long long>(ms),
            support::u8(report.error).c_str());
        if (found == expectations().end()) continue;
        const Expectation& want = found->second;
        EXPECT_EQ(outcomeName(report.outcome), std::string(outcomeName(want.outcome)));
        if (want.outcome == Outcome::Fail || want.outcome == Outcome::Unlisted) {
            EXPECT_EQ(report.parse, E_FAIL);
        }
        if (report.outcome == Outcome::Fail) {
            EXPECT_TRUE(readable(report.error))
                << "error text \"" << support::u8(report.error) << "\"";
        }
        if (report.outcome == want.outcome && want.width > 0) {
            EXPECT_EQ(report.width, want.width);
            EXPECT_EQ(report.height, want.height);
        }
        // Whole pictures and videos give a thumbnail; cut ones may fail it.
        const bool whole = file.rfind("broken/", 0) != 0;
        if (whole && (report.outcome == Outcome::Video || report.outcome == Outcome::ImageObject)) {
            EXPECT_EQ(report.thumbnail, S_OK) << "no thumbnail";
        }
    }
    for (const auto& [outcome, count] : counts) {
        std::printf("%-28s %d\n", outcomeName(outcome), count);
        RecordProperty(outcomeName(outcome), count);
    }
}

// Kind of object (or failure) and, for pictures, the thumbnail's result and size.
struct Answer {
    HRESULT parse = E_FAIL;
    Outcome outcome = Outcome::Fail;
    HRESULT thumbnail = E_FAIL;
    int32_t thumbWidth = 0, thumbHeight = 0;
    bool operator==(const Answer&) const = default;
};

Answer answerOf(HRESULT hr, IMediaFileIO* object)
{
    Answer answer;
    answer.parse = hr;
    answer.outcome = outcomeOf(hr, object);
    if (answer.outcome == Outcome::ImageObject) {
        PackedDib dib = nullptr;
        answer.thumbnail = object->GetPreviewThumbnail(&dib, 160, 120, TRUE, FALSE);
        if (SUCCEEDED(answer.thumbnail) && dib) {
            answer.thumbWidth = dib->biWidth;
            answer.thumbHeight = dib->biHeight;
        }
    }
    return answer;
}

// The four entry points give one answer per file; the unbuffered reads of the image object
// (sector-aligned, past the end of short files) decode the same pictures as buffered ones.
TEST_F(ParseCorpus, EveryEntryPointAndBufferingModeAgrees)
{
    const auto files = corpusFiles();
    ASSERT_FALSE(files.empty());
    Watchdog watchdog;
    int images = 0;
    for (const auto& file : files) {
        SCOPED_TRACE(file);
        watchdog.arm(file, kFileLimit);
        const std::u16string path = (support::corpusDir() / file).u16string();
        BSTR bstr = SysAllocString(path.c_str());
        ASSERT_NE(bstr, nullptr);
        Answer answers[4];
        for (int variant = 0; variant < 4; ++variant) {
            ComPtr<IMediaFileIO> object;
            HRESULT hr = E_UNEXPECTED;
            switch (variant) {
            case 0:
                hr = m_manager->ParseFile(path.c_str(), object.GetAddressOf());
                break;
            case 1:
                hr = m_manager->ParseFile_BSTR(bstr, object.GetAddressOf());
                break;
            case 2:
                hr = m_manager->ParseFileEx(path.c_str(), object.GetAddressOf(), 1);
                break;
            case 3:
                hr = m_manager->ParseFileEx_BSTR(bstr, object.GetAddressOf(), 1);
                break;
            }
            answers[variant] = answerOf(hr, object.Get());
        }
        SysFreeString(bstr);
        watchdog.disarm();
        images += answers[0].outcome == Outcome::ImageObject;
        for (int variant = 1; variant < 4; ++variant) {
            EXPECT_EQ(answers[variant].parse, answers[0].parse) << "variant " << variant;
            EXPECT_EQ(outcomeName(answers[variant].outcome),
                      std::string(outcomeName(answers[0].outcome)))
                << "variant " << variant;
            EXPECT_EQ(answers[variant].thumbnail, answers[0].thumbnail) << "variant " << variant;
            EXPECT_EQ(answers[variant].thumbWidth, answers[0].thumbWidth) << "variant " << variant;
            EXPECT_EQ(answers[variant].thumbHeight, answers[0].thumbHeight)
                << "variant " << variant;
        }
    }
    EXPECT_GT(images, 0);
}

size_t openDescriptors()
{
    size_t count = 0;
    std::error_code ec;
    for (fs::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec))
        ++count;
    return count;
}

// Bytes the allocator has handed out and not had back.
size_t heapInUse()
{
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

size_t residentBytes()
{
    std::ifstream statm("/proc/self/statm");
    size_t pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

// Least-squares slope of the samples, in bytes per iteration.
double slope(const std::vector<size_t>& samples)
{
    const double n = static_cast<double>(samples.size());
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (size_t i = 0; i < samples.size(); ++i) {
        const double x = static_cast<double>(i), y = static_cast<double>(samples[i]);
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    const double d = n * sxx - sx * sx;
    return d > 0 ? (n * sxy - sx * sy) / d : 0;
}

int iterationsFromEnvironment(int fallback)
{
    const char* text = std::getenv("MIO_PARSE_CORPUS_ITERATIONS");
    if (!text || !*text) return fallback;
    const int value = std::atoi(text);
    return value > 0 ? value : fallback;
}

// One pass: parse every file, read one metadata family of each object (a different family each
// pass, or all of them), and on the passes that ask for it take a thumbnail; release everything.
void parseAll(IMediaFileIOMan2* manager, const std::vector<std::string>& files, int pass,
              bool thumbnails, bool allFamilies, Watchdog& watchdog)
{
    for (const auto& file : files) {
        watchdog.arm(file + " (pass " + std::to_string(pass) + ")", kFileLimit);
        ComPtr<IMediaFileIO> object;
        const auto path = (support::corpusDir() / file).u16string();
        if (SUCCEEDED(manager->ParseFile(path.c_str(), object.GetAddressOf()))) {
            PackedDib dib = nullptr;
            int32_t type = 0;
            object->GetFileType(&type);
            if (thumbnails &&
                (type != 1 || FAILED(object->GetFrameThumbnail(&dib, 160, 120, 0, FALSE, FALSE))))
                object->GetPreviewThumbnail(&dib, 160, 120, TRUE, FALSE);
            for (int32_t code = MetaFormatExif; code <= MetaFormatXmp; ++code) {
                if (!allFamilies && code != 1 + pass % 7) continue;
                std::array<int32_t, 64> tags{};
                int32_t total = 0;
                if (SUCCEEDED(object->GetMetaTags(code, &total, tags.data(), 64)) && total > 0) {
                    std::array<WCHAR, 512> text{};
                    object->GetMetaDataStr(code, tags[0], text.data(), sizeof text);
                }
            }
        }
        object.Reset();
        watchdog.disarm();
    }
}

TEST_F(ParseCorpus, RepeatedParsingLeaksNoMemoryOrHandles)
{
    // CI runs the short form; MIO_PARSE_CORPUS_ITERATIONS=100 runs the long one.
    const int iterations = std::max(4, iterationsFromEnvironment(kDefaultIterations));
    const int warmUp = 2;
    const auto files = corpusFiles();
    ASSERT_FALSE(files.empty());
    Watchdog watchdog;

    const auto start = std::chrono::steady_clock::now();
    // The warm-up reaches every lazily made state (decoders, metadata sources) once.
    for (int pass = 0; pass < warmUp; ++pass)
        parseAll(m_manager.Get(), files, pass, true, true, watchdog);
    const size_t descriptors = openDescriptors();
    std::vector<size_t> heap{heapInUse()}, rss{residentBytes()};
    for (int pass = warmUp; pass < iterations; ++pass) {
        parseAll(m_manager.Get(), files, pass, pass % kThumbnailPeriod == 0, false, watchdog);
        heap.push_back(heapInUse());
        rss.push_back(residentBytes());
        EXPECT_EQ(openDescriptors(), descriptors) << "after pass " << pass;
    }
    std::printf("heap in use after each pass (bytes):");
    for (const size_t bytes : heap)
        std::printf(" %zu", bytes);
    std::printf("\n");
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%d passes over %zu files in %.1f s; heap %zu -> %zu (slope %.0f B/pass), "
                "RSS %zu -> %zu KiB (slope %.0f B/pass), %zu descriptors\n",
                iterations, files.size(), seconds, heap.front(), heap.back(), slope(heap),
                rss.front() / 1024, rss.back() / 1024, slope(rss), descriptors);
    RecordProperty("Seconds", std::to_string(seconds));
    RecordProperty("Passes", iterations);
#ifndef MIO_UNDER_ASAN
    // Under a sanitizer's allocator (built in or preloaded) mallinfo2 describes nothing and
    // pages move differently; LeakSanitizer does the checking there.
    if (heap.front() == 0) {
        std::printf("allocator without mallinfo2 figures: heap and RSS not judged\n");
        return;
    }
    EXPECT_LT(slope(heap), kSlopeLimit) << "heap in use grows with every pass";
    EXPECT_LT(heap.back(), heap.front() + kGrowthLimit) << "heap in use grew";
    // Resident memory only has to settle: the later passes stay near the peak of the earlier.
    const size_t earlyPeak = *std::max_element(rss.begin(), rss.begin() + rss.size() / 2 + 1);
    EXPECT_LE(rss.back(), earlyPeak + kRssMargin) << "resident memory keeps growing";
#endif
}

} // namespace
