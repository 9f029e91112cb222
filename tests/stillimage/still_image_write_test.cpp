// SPDX-License-Identifier: MIT
// Writers: each format written from rows and read back through the library.
#include <gtest/gtest.h>

#include <cstdlib>

#include "tavrel/platform/gdi.h"
#include "tavrel/platform/profile.h"

#include "still_image_test_support.h"
#include "support/test_support.h"

namespace {

struct RoundTrip {
    const char* ext;
    int tolerance; // mean per-sample difference allowed after the round trip
};

class WriteRoundTrip : public ::testing::TestWithParam<RoundTrip> {};

TEST_P(WriteRoundTrip, ReadsBackTheWrittenPixels)
{
    const RoundTrip& rt = GetParam();
    support::TempDir dir;
    const std::string path = (dir / (std::string("out.") + rt.ext)).string();
    sitest::Source src = sitest::gradient(37, 21); // odd width: rows need padding
    ASSERT_GT(sitest::write(path, qfFileGetFormatID(rt.ext), src), 0) << sitest::lastError();

    sitest::Record rec = sitest::open(path);
    ASSERT_NE(rec.handle, nullptr) << sitest::lastError();
    const ImageFileData d = rec.copy();
    ASSERT_EQ(d.main.width, 37);
    ASSERT_EQ(d.main.height, 21);
    sitest::Pixels px;
    ASSERT_GT(sitest::read(rec, sitest::Want::Main, px), 0) << sitest::lastError();
    ASSERT_EQ(d.main.colorType, QF_COLOR_RGB);
    const int channels = d.main.bitCount / 8;
    // Lossless formats must match exactly; JPEG within its loss on average.
    long total = 0;
    for (int y = 0; y < 21; ++y)
        for (int x = 0; x < 37; ++x)
            for (int c = 0; c < 3; ++c)
                total += std::abs(px.row(y)[channels * x + c] - src.rows[y][3 * x + c]);
    EXPECT_LE(total / (21 * 37 * 3), rt.tolerance);
    if (rt.tolerance == 0) {
        EXPECT_EQ(total, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Formats, WriteRoundTrip,
                         ::testing::Values(RoundTrip{"bmp", 0}, RoundTrip{"png", 0},
                                           RoundTrip{"tif", 0}, RoundTrip{"jpg", 8},
                                           RoundTrip{"ppm", 0}, RoundTrip{"tga", 0},
                                           RoundTrip{"pcx", 0}, RoundTrip{"webp", 0},
                                           RoundTrip{"jp2", 0}, RoundTrip{"j2k", 0}),
                         [](const auto& info) { return std::string(info.param.ext); });

TEST(StillImageWrite, JpegCarriesThePreviewAsExifThumbnail)
{
    support::TempDir dir;
    const std::string path = (dir / "thumb.jpg").string();
    sitest::Source src = sitest::gradient(200, 100);
    sitest::Source small = sitest::gradient(96, 48);
    src.previewRows = small.rows;
    ASSERT_GT(sitest::write(path, qfFileGetFormatID("jpg"), src, 0, true), 0)
        << sitest::lastError();
    sitest::Record rec = sitest::open(path);
    ASSERT_NE(rec.handle, nullptr);
    const ImageFileData d = rec.copy();
    ASSERT_EQ(d.hasPreview, 1);
    EXPECT_EQ(d.preview.width, 96);
    EXPECT_EQ(d.preview.height, 48);
    EXPECT_EQ(d.main.xResolution, 720000);
}

TEST(StillImageWrite, GifQuantisesTrueColourAndKeepsTheSize)
{
    support::TempDir dir;
    const std::string path = (dir / "q.gif").string();
    sitest::Source src = sitest::gradient(40, 30);
    ASSERT_GT(sitest::write(path, qfFileGetFormatID("gif"), src), 0) << sitest::lastError();
    sitest::Record rec = sitest::open(path);
    ASSERT_NE(rec.handle, nullptr) << sitest::lastError();
    EXPECT_EQ(rec.copy().main.width, 40);
    sitest::Pixels px;
    ASSERT_GT(sitest::read(rec, sitest::Want::Main, px), 0);
}

TEST(StillImageWrite, RefusalsLeaveNoFileBehind)
{
    support::TempDir dir;
    sitest::Source src = sitest::gradient(8, 8);
    const std::string mac = (dir / "x.mac").string();
    EXPECT_LE(sitest::write(mac, qfFileGetFormatID("mac"), src), 0);
    EXPECT_NE(sitest::lastError().find("cannot write"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(mac));

    // The callback runs out of rows half way: the target must not appear.
    const std::string png = (dir / "short.png").string();
    src.rows.resize(4);
    src.height = 8;
    EXPECT_LE(sitest::write(png, qfFileGetFormatID("png"), src), 0);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    EXPECT_LE(sitest::write("/nonexistent/dir/a.bmp", qfFileGetFormatID("bmp"), src), 0);
    EXPECT_NE(sitest::lastError().find("folder not found"), std::string::npos);
}

// Short-path aliases are links: overwriting through one must change the real file, keep the
// link, and keep the file's permissions.
TEST(StillImageWrite, OverwriteThroughALinkReplacesTheTargetAndKeepsItsMode)
{
    support::TempDir dir;
    sitest::Source first = sitest::gradient(8, 8);
    const auto real = dir / "real.bmp";
    const auto link = dir / "alias.bmp";
    ASSERT_GT(sitest::write(real.string(), qfFileGetFormatID("bmp"), first), 0);
    std::filesystem::permissions(real, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_write);
    std::filesystem::create_symlink(real, link);

    sitest::Source second = sitest::gradient(16, 4);
    ASSERT_GT(sitest::write(link.string(), qfFileGetFormatID("bmp"), second), 0)
        << sitest::lastError();
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    sitest::Record rec = sitest::open(real);
    ASSERT_NE(rec.handle, nullptr);
    EXPECT_EQ(rec.copy().main.width, 16);
    EXPECT_EQ(std::filesystem::status(real).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

} // namespace

namespace {

TEST(StillImageWrite, JpegQualityComesFromTheSettingsFile)
{
    support::TempDir dir;
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string savedValue = saved ? saved : "";
    ::setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
    char ini[260] = {};
    ASSERT_GT(q32GetKelvraIniFileName(ini, sizeof(ini)), 0);
    sitest::Source src = sitest::gradient(120, 90);
    auto sizeAt = [&](const char* quality) {
        WritePrivateProfileStringA("QF_IJPG", "Quality", quality, ini);
        const std::string path =
            (dir / (std::string("q") + (quality ? quality : "none") + ".jpg")).string();
        EXPECT_GT(sitest::write(path, qfFileGetFormatID("jpg"), src), 0) << sitest::lastError();
        return std::filesystem::file_size(path);
    };
    const auto low = sizeAt("10"), high = sizeAt("98"), standard = sizeAt(nullptr);
    EXPECT_LT(low, standard);
    EXPECT_LT(standard, high);
    if (saved)
        ::setenv("XDG_CONFIG_HOME", savedValue.c_str(), 1);
    else
        ::unsetenv("XDG_CONFIG_HOME");
}

TEST(StillImageWrite, EightBitBitmapsTakeTheirColoursFromThePaletteHandle)
{
    support::TempDir dir;
    sitest::Source src;
    src.width = 4;
    src.height = 2;
    src.bitCount = 8;
    src.rows = {{0, 1, 2, 3}, {3, 2, 1, 0}};
    PALETTEENTRY entries[4] = {{255, 0, 0, 0}, {0, 255, 0, 0}, {0, 0, 255, 0}, {9, 8, 7, 0}};
    std::vector<uint8_t> storage(sizeof(LOGPALETTE) + 4 * sizeof(PALETTEENTRY));
    auto* log = reinterpret_cast<LOGPALETTE*>(storage.data());
    log->palVersion = 0x300;
    log->palNumEntries = 4;
    std::memcpy(log->palPalEntry, entries, sizeof(entries));
    HPALETTE palette = CreatePalette(log);
    ASSERT_NE(palette, nullptr);
    const std::string path = (dir / "p.png").string();
    ASSERT_GT(sitest::write(path, qfFileGetFormatID("png"), src, QfPaletteToField(palette)), 0)
        << sitest::lastError();

    sitest::Record rec = sitest::open(path);
    const ImageFileData d = rec.copy();
    ASSERT_EQ(d.main.colorType, QF_COLOR_PALETTE8);
    PALETTEENTRY back[4] = {};
    ASSERT_EQ(GetPaletteEntries(QfPaletteFromField(d.main.palette), 0, 4, back), 4u);
    EXPECT_EQ(back[3].peRed, 9);
    EXPECT_EQ(back[3].peBlue, 7);
    sitest::Pixels px;
    ASSERT_GT(sitest::read(rec, sitest::Want::Main, px), 0);
    EXPECT_EQ(px.row(1)[0], 3);

    // Freeing the record releases its palette.
    const HPALETTE held = QfPaletteFromField(d.main.palette);
    q32FileFreeFileData(rec.handle);
    rec.handle = nullptr;
    EXPECT_EQ(GetPaletteEntries(held, 0, 4, back), 0u);
}

} // namespace

namespace {

// A source in the engine's layout for a depth: 8-bit indices, 16-bit 5-5-5, 32-bit
// blue-green-red-x; with the red-green-blue picture it stands for.
struct DepthSource {
    sitest::Source src;
    std::vector<uint8_t> expectedRgb;
};

DepthSource depthSource(int bits, int w, int h)
{
    DepthSource d;
    d.src.width = w;
    d.src.height = h;
    d.src.bitCount = bits;
    for (int y = 0; y < h; ++y) {
        std::vector<uint8_t> row(size_t(w) * size_t(bits / 8));
        for (int x = 0; x < w; ++x) {
            const int r = (x * 37 + y * 11) & 0xF8, g = (y * 29) & 0xF8, b = (x * y * 7) & 0xF8;
            if (bits == 8) {
                row[x] = uint8_t((x + 3 * y) % 8); // colour i of the palette below
                const int i = row[x];
                d.expectedRgb.insert(d.expectedRgb.end(),
                                     {uint8_t(i * 30), uint8_t(255 - i * 30), uint8_t(i * 17)});
            } else if (bits == 16) {
                const unsigned v =
                    unsigned(r >> 3) << 10 | unsigned(g >> 3) << 5 | unsigned(b >> 3);
                row[2 * x] = uint8_t(v);
                row[2 * x + 1] = uint8_t(v >> 8);
                d.expectedRgb.insert(d.expectedRgb.end(), {uint8_t(r | r >> 5), uint8_t(g | g >> 5),
                                                           uint8_t(b | b >> 5)});
            } else {
                row[4 * x] = uint8_t(b), row[4 * x + 1] = uint8_t(g), row[4 * x + 2] = uint8_t(r);
                row[4 * x + 3] = 0;
                d.expectedRgb.insert(d.expectedRgb.end(), {uint8_t(r), uint8_t(g), uint8_t(b)});
            }
        }
        d.src.rows.push_back(std::move(row));
    }
    return d;
}

HPALETTE eightColours()
{
    std::vector<uint8_t> storage(sizeof(LOGPALETTE) + 8 * sizeof(PALETTEENTRY));
    auto* log = reinterpret_cast<LOGPALETTE*>(storage.data());
    log->palVersion = 0x300;
    log->palNumEntries = 8;
    PALETTEENTRY* e = log->palPalEntry;
    for (int i = 0; i < 8; ++i)
        e[i] = {BYTE(i * 30), BYTE(255 - i * 30), BYTE(i * 17), 0};
    return CreatePalette(log);
}

TEST(StillImageWrite, EveryLosslessWriterKeepsEightSixteenAndThirtyTwoBitSources)
{
    for (int bits : {8, 16, 32}) {
        for (const char* ext : {"bmp", "png", "tif", "tga", "pcx", "ppm", "webp", "jp2", "gif"}) {
            if (std::string(ext) == "gif" && bits != 8) continue; // GIF quantises true colour
            support::TempDir dir;
            const std::string path = (dir / (std::string("d.") + ext)).string();
            DepthSource d = depthSource(bits, 19, 7);
            // As in the engine, the write record owns its palette: freeing the record frees it.
            HPALETTE palette = bits == 8 ? eightColours() : nullptr;
            ASSERT_GT(sitest::write(path, qfFileGetFormatID(ext), d.src, QfPaletteToField(palette)),
                      0)
                << ext << " " << bits << ": " << sitest::lastError();
            EXPECT_EQ(sitest::decodeRgb(path), d.expectedRgb) << ext << " from " << bits << " bits";
            if (palette) {
                EXPECT_EQ(GetPaletteEntries(palette, 0, 8, nullptr), 0u) << "record left it";
            }
        }
    }
}

TEST(StillImageWrite, RecordsAndBlocksThatMakeNoSenseAreRefused)
{
    support::TempDir dir;
    sitest::Source src = sitest::gradient(4, 4);
    src.bitCount = 12;
    EXPECT_LE(sitest::write((dir / "a.png").string(), qfFileGetFormatID("png"), src), 0);
    EXPECT_NE(sitest::lastError().find("8, 16, 24 or 32 bits"), std::string::npos);
    src.bitCount = 24;
    EXPECT_LE(sitest::write((dir / "a.png").string(), 999, src), 0);
    EXPECT_NE(sitest::lastError().find("unknown format"), std::string::npos);
    QfTransferBlock block{};
    EXPECT_LE(qfFileWrite(nullptr, &block, sitest::supplyRows), 0);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

} // namespace
