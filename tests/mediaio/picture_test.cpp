// SPDX-License-Identifier: MIT
// The tool's reading of engine bitmaps (every depth, both row orders, malformed blocks) and its
// PNG and BMP writers, read back with libpng and byte by byte.
#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <filesystem>
#include <vector>

#include "picture.h"
#include "support/test_support.h"

namespace {

using mediaio::Picture;

// A packed bitmap in a locked movable global block, built from explicit parts.
class TestDib {
  public:
    TestDib(int32_t width, int32_t height, uint16_t bits, std::vector<uint32_t> extra,
            std::vector<uint8_t> rows, size_t shrinkBy = 0, uint32_t compression = BI_RGB,
            uint32_t clrUsed = 0)
    {
        const size_t size = sizeof(BITMAPINFOHEADER) + extra.size() * 4 + rows.size() - shrinkBy;
        m_block = tavrel::GlobalBlock(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size));
        m_header = static_cast<BITMAPINFOHEADER*>(GlobalLock(m_block.get()));
        BITMAPINFOHEADER header{};
        header.biSize = sizeof header;
        header.biWidth = width;
        header.biHeight = height;
        header.biPlanes = 1;
        header.biBitCount = bits;
        header.biCompression = compression;
        header.biClrUsed = clrUsed;
        auto* bytes = reinterpret_cast<uint8_t*>(m_header);
        std::memcpy(bytes, &header, sizeof header);
        if (!extra.empty()) std::memcpy(bytes + sizeof header, extra.data(), extra.size() * 4);
        std::memcpy(bytes + sizeof header + extra.size() * 4, rows.data(), rows.size() - shrinkBy);
    }
    ~TestDib() { GlobalUnlock(m_block.get()); }
    const BITMAPINFOHEADER* get() const { return m_header; }

  private:
    tavrel::GlobalBlock m_block;
    BITMAPINFOHEADER* m_header = nullptr;
};

std::vector<uint8_t> pixel(const Picture& p, uint32_t x, uint32_t y)
{
    const uint8_t* at = p.rgba.data() + (static_cast<size_t>(y) * p.width + x) * 4;
    return {at[0], at[1], at[2], at[3]};
}

TEST(MediaioPicture, ReadsEveryDepthTopRowFirst)
{
    std::string error;
    Picture p;
    // 24-bit, 2x2, bottom-up, rows padded to 8 bytes: bottom row first in memory.
    TestDib bgr(2, 2, 24, {},
                {1, 2, 3, 4, 5, 6, 0, 0,         // bottom row
                 10, 20, 30, 40, 50, 60, 0, 0}); // top row
    ASSERT_TRUE(mediaio::pictureFromDib(bgr.get(), p, error)) << error;
    EXPECT_EQ(p.width, 2u);
    EXPECT_EQ(p.height, 2u);
    EXPECT_FALSE(p.hasAlpha);
    EXPECT_EQ(pixel(p, 0, 0), (std::vector<uint8_t>{30, 20, 10, 255}));
    EXPECT_EQ(pixel(p, 1, 1), (std::vector<uint8_t>{6, 5, 4, 255}));

    // Negative height: rows are already top-down.
    TestDib topDown(1, -2, 24, {}, {1, 2, 3, 0, 7, 8, 9, 0});
    ASSERT_TRUE(mediaio::pictureFromDib(topDown.get(), p, error)) << error;
    EXPECT_EQ(pixel(p, 0, 0), (std::vector<uint8_t>{3, 2, 1, 255}));
    EXPECT_EQ(pixel(p, 0, 1), (std::vector<uint8_t>{9, 8, 7, 255}));

    // 8-bit with a two-colour table (biClrUsed 2).
    TestDib indexed(3, 1, 8, {0x00112233, 0x00AABBCC}, {1, 0, 1, 0}, 0, BI_RGB, 2);
    ASSERT_TRUE(mediaio::pictureFromDib(indexed.get(), p, error)) << error;
    EXPECT_EQ(pixel(p, 0, 0), (std::vector<uint8_t>{0xAA, 0xBB, 0xCC, 255}));
    EXPECT_EQ(pixel(p, 1, 0), (std::vector<uint8_t>{0x11, 0x22, 0x33, 255}));

    // 1-bit: the most significant bit is the leftmost pixel.
    TestDib mono(10, 1, 1, {0x00000000, 0x00FFFFFF}, {0b10000000, 0b01000000, 0, 0});
    ASSERT_TRUE(mediaio::pictureFromDib(mono.get(), p, error)) << error;
    EXPECT_EQ(pixel(p, 0, 0)[0], 255);
    EXPECT_EQ(pixel(p, 1, 0)[0], 0);
    EXPECT_EQ(pixel(p, 9, 0)[0], 255);

    // 4-bit: high nibble first.
    std::vector<uint32_t> sixteen(16, 0);
    sixteen[2] = 0x00FF0000;
    sixteen[5] = 0x000000FF;
    TestDib nibbles(2, 1, 4, sixteen, {0x25, 0, 0, 0});
    ASSERT_TRUE(mediaio::pictureFromDib(nibbles.get(), p, error)) << error;
    EXPECT_EQ(pixel(p, 0, 0), (std::vector<uint8_t>{255, 0, 0, 255}));
    EXPECT_EQ(pixel(p, 1, 0), (std::vector<uint8_t>{0, 0, 255, 255}));

    // 16-bit 5-5-5: full red, full blue.
    TestDib rgb555(2, 1, 16, {}, {0x00, 0x7C, 0x1F, 0x00});
    ASSERT_TRUE(mediaio::pictureFromDib(rgb555.get(), p, error)) << error;
    EXPECT_EQ(pixel(p, 0, 0), (std::vector<uint8_t>{255, 0, 0, 255}));
    EXPECT_EQ(pixel(p, 1, 0), (std::vector<uint8_t>{0, 0, 255, 255}));

    // 16-bit 5-6-5 through explicit masks: full green.
    TestDib rgb565(1, 1, 16, {0xF800, 0x07E0, 0x001F}, {0xE0, 0x07, 0, 0}, 0, BI_BITFIELDS);
    ASSERT_TRUE(mediaio::pictureFromDib(rgb565.get(), p, error)) << error;
    EXPECT_EQ(pixel(p, 0, 0), (std::vector<uint8_t>{0, 255, 0, 255}));
}

TEST(MediaioPicture, ThirtyTwoBitAlphaOnlyWhenPresent)
{
    std::string error;
    Picture p;
    // Fourth byte zero everywhere: plain BGR, shown opaque rather than invisible.
    TestDib noAlpha(2, 1, 32, {}, {1, 2, 3, 0, 4, 5, 6, 0});
    ASSERT_TRUE(mediaio::pictureFromDib(noAlpha.get(), p, error)) << error;
    EXPECT_FALSE(p.hasAlpha);
    EXPECT_EQ(pixel(p, 0, 0), (std::vector<uint8_t>{3, 2, 1, 255}));

    TestDib withAlpha(2, 1, 32, {}, {1, 2, 3, 0, 4, 5, 6, 128});
    ASSERT_TRUE(mediaio::pictureFromDib(withAlpha.get(), p, error)) << error;
    EXPECT_TRUE(p.hasAlpha);
    EXPECT_EQ(pixel(p, 0, 0), (std::vector<uint8_t>{3, 2, 1, 0}));
    EXPECT_EQ(pixel(p, 1, 0), (std::vector<uint8_t>{6, 5, 4, 128}));
}

TEST(MediaioPicture, RefusesMalformedBitmaps)
{
    std::string error;
    Picture p;
    // Rows cut short by one byte.
    TestDib truncated(2, 2, 24, {}, std::vector<uint8_t>(16, 0), 1);
    EXPECT_FALSE(mediaio::pictureFromDib(truncated.get(), p, error));
    EXPECT_NE(error.find("truncated"), std::string::npos) << error;
    // A colour table larger than the depth allows.
    TestDib palette(1, 1, 8, std::vector<uint32_t>(300, 0), {0, 0, 0, 0}, 0, BI_RGB, 300);
    EXPECT_FALSE(mediaio::pictureFromDib(palette.get(), p, error));
    // A header claiming a huge picture inside a tiny block: refused before any allocation.
    TestDib huge(100000, 100000, 24, {}, {0, 0, 0, 0});
    EXPECT_FALSE(mediaio::pictureFromDib(huge.get(), p, error));
    EXPECT_TRUE(p.rgba.empty());
    TestDib zero(0, 5, 24, {}, {0, 0, 0, 0});
    EXPECT_FALSE(mediaio::pictureFromDib(zero.get(), p, error));
    TestDib rle(1, 1, 8, std::vector<uint32_t>(256, 0), {0, 0, 0, 0}, 0, BI_RLE8);
    EXPECT_FALSE(mediaio::pictureFromDib(rle.get(), p, error));
    TestDib oddDepth(1, 1, 12, {}, {0, 0, 0, 0});
    EXPECT_FALSE(mediaio::pictureFromDib(oddDepth.get(), p, error));
    // Memory that is not a global block has no size to trust.
    BITMAPINFOHEADER onStack{};
    onStack.biSize = sizeof onStack;
    onStack.biWidth = onStack.biHeight = 1;
    onStack.biBitCount = 24;
    EXPECT_FALSE(mediaio::pictureFromDib(&onStack, p, error));
    EXPECT_FALSE(mediaio::pictureFromDib(nullptr, p, error));
}

struct PngRead {
    uint32_t width = 0, height = 0;
    int colorType = -1;
    std::vector<std::pair<std::string, std::string>> texts;
    std::vector<uint8_t> rgba;
};

PngRead readPng(const std::filesystem::path& path)
{
    PngRead out;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    // Text chunks through the classic interface, pixels through the simplified one.
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return out;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(f);
        return PngRead{};
    }
    png_init_io(png, f);
    png_read_info(png, info);
    out.width = png_get_image_width(png, info);
    out.height = png_get_image_height(png, info);
    out.colorType = png_get_color_type(png, info);
    png_textp texts = nullptr;
    int count = 0;
    png_get_text(png, info, &texts, &count);
    for (int i = 0; i < count; ++i)
        out.texts.emplace_back(texts[i].key, texts[i].text);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    if (png_image_begin_read_from_file(&image, path.c_str())) {
        image.format = PNG_FORMAT_RGBA;
        out.rgba.resize(PNG_IMAGE_SIZE(image));
        if (!png_image_finish_read(&image, nullptr, out.rgba.data(), 0, nullptr)) out.rgba.clear();
    }
    return out;
}

TEST(MediaioPicture, PngKeepsPixelsAlphaAndTexts)
{
    support::TempDir dir;
    const Picture sample = mediaio::samplePicture(40, 30);
    std::string error;
    ASSERT_TRUE(mediaio::writePng((dir / "a.png").string(), sample,
                                  {{"Thumb::URI", "file:///x%20y.jpg"}, {"Thumb::MTime", "12"}},
                                  error))
        << error;
    const PngRead back = readPng(dir / "a.png");
    EXPECT_EQ(back.width, 40u);
    EXPECT_EQ(back.height, 30u);
    EXPECT_EQ(back.colorType, PNG_COLOR_TYPE_RGB_ALPHA);
    EXPECT_EQ(back.rgba, sample.rgba);
    ASSERT_EQ(back.texts.size(), 2u);
    EXPECT_EQ(back.texts[0],
              (std::pair<std::string, std::string>{"Thumb::URI", "file:///x%20y.jpg"}));
    EXPECT_EQ(back.texts[1], (std::pair<std::string, std::string>{"Thumb::MTime", "12"}));

    // An opaque picture is written as RGB.
    Picture opaque = sample;
    opaque.hasAlpha = false;
    for (size_t i = 3; i < opaque.rgba.size(); i += 4)
        opaque.rgba[i] = 255;
    ASSERT_TRUE(mediaio::writePicture((dir / "b.PNG").string(), opaque, {}, error)) << error;
    const PngRead rgb = readPng(dir / "b.PNG");
    EXPECT_EQ(rgb.colorType, PNG_COLOR_TYPE_RGB);
    EXPECT_EQ(rgb.rgba, opaque.rgba);
}

TEST(MediaioPicture, BmpLayoutAndRefusals)
{
    support::TempDir dir;
    Picture p;
    p.width = 3;
    p.height = 2;
    p.rgba = {1,  2,  3,  255, 4,  5,  6,  255, 7,  8,  9,  255, // top row
              10, 11, 12, 255, 13, 14, 15, 255, 16, 17, 18, 255};
    std::string error;
    ASSERT_TRUE(mediaio::writePicture((dir / "p.bmp").string(), p, {}, error)) << error;
    const auto bytes = support::readFile(dir / "p.bmp");
    // 24-bit rows of 9 bytes pad to 12; two rows after the 54-byte headers.
    ASSERT_EQ(bytes.size(), 54u + 24u);
    EXPECT_EQ(bytes[0], 'B');
    EXPECT_EQ(bytes[28], 24);
    // First stored row is the bottom one, in BGR order.
    EXPECT_EQ((std::vector<uint8_t>(bytes.begin() + 54, bytes.begin() + 60)),
              (std::vector<uint8_t>{12, 11, 10, 15, 14, 13}));
    EXPECT_EQ((std::vector<uint8_t>(bytes.begin() + 66, bytes.begin() + 69)),
              (std::vector<uint8_t>{3, 2, 1}));

    p.hasAlpha = true;
    ASSERT_TRUE(mediaio::writeBmp((dir / "a.bmp").string(), p, error)) << error;
    EXPECT_EQ(support::readFile(dir / "a.bmp").size(), 54u + 24u);

    EXPECT_FALSE(mediaio::writePicture((dir / "p.jpg").string(), p, {}, error));
    EXPECT_FALSE(std::filesystem::exists(dir / "p.jpg"));
    EXPECT_FALSE(mediaio::writePng((dir / "missing" / "p.png").string(), p, {}, error));
    EXPECT_NE(error.find("cannot create"), std::string::npos) << error;
}

} // namespace
