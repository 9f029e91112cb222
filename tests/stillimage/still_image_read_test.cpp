// SPDX-License-Identifier: MIT
// Header records and decoded rows of real files, and the failures of bad input.
#include <gtest/gtest.h>

#include "still_image_test_support.h"
#include "support/test_support.h"

namespace {

struct Expect {
    const char* file;
    int32_t width, height, bitCount, colorType;
    int32_t masks;
    uint16_t frames;
};

// Width and height as ExifTool reports them; bit count as the record's whole-pixel depth.
const Expect kCorpus[] = {
    {"jpeg/testimgint.jpg", 227, 149, 24, QF_COLOR_RGB, 0, 1},
    {"jpeg/hopper_gray.jpg", 128, 128, 8, QF_COLOR_GREY8, 0, 1},
    {"jpeg/pil_sample_cmyk.jpg", 100, 100, 32, QF_COLOR_CMYK32, 0, 1},
    {"jpeg/testimgari.jpg", 227, 149, 24, QF_COLOR_RGB, 0, 1},
    {"jpeg/Canon_40D.jpg", 100, 68, 24, QF_COLOR_RGB, 0, 1},
    {"png/hopper.png", 128, 128, 24, QF_COLOR_RGB, 0, 1},
    {"png/pil123p.png", 162, 150, 8, QF_COLOR_PALETTE8, 1, 1},
    {"png/transparent.png", 200, 150, 32, QF_COLOR_RGB, 1, 1},
    {"png/monkey16.png", 149, 227, 48, QF_COLOR_RGB48, 0, 1},
    {"png/iss634.apng", 245, 245, 32, QF_COLOR_RGB, 1, 41},
    {"png/itxt_chunks.png", 2400, 2000, 24, QF_COLOR_RGB, 0, 1},
    {"gif/chi.gif", 320, 240, 8, QF_COLOR_PALETTE8, 1, 31},
    {"gif/iss634.gif", 245, 245, 8, QF_COLOR_PALETTE8, 0, 42},
    {"gif/dispose_bgnd.gif", 100, 100, 8, QF_COLOR_PALETTE8, 0, 5},
    {"gif/transparent.gif", 200, 150, 8, QF_COLOR_PALETTE8, 1, 1},
    {"bmp/hopper.bmp", 128, 128, 24, QF_COLOR_RGB, 0, 1},
    {"bmp/pal1.bmp", 127, 64, 1, QF_COLOR_PALETTE4, 0, 1},
    {"bmp/pal4rle.bmp", 127, 64, 4, QF_COLOR_PALETTE4, 0, 1},
    {"bmp/pal8.bmp", 127, 64, 8, QF_COLOR_PALETTE8, 0, 1},
    {"bmp/pal8os2.bmp", 127, 64, 8, QF_COLOR_PALETTE8, 0, 1},
    {"bmp/pal8topdown.bmp", 127, 64, 8, QF_COLOR_PALETTE8, 0, 1},
    {"bmp/rgb16-565.bmp", 127, 64, 16, QF_COLOR_16BIT, 0, 1},
    {"bmp/rgb32bf.bmp", 127, 64, 32, QF_COLOR_RGB, 0, 1},
    {"bmp/rgba32.bmp", 127, 64, 32, QF_COLOR_RGB, 1, 1},
    {"tiff/hopper_lzw.tif", 128, 128, 24, QF_COLOR_RGB, 0, 1},
    {"tiff/hopper_bigtiff.tif", 128, 128, 24, QF_COLOR_RGB, 0, 1},
    {"tiff/hopper_g4.tif", 128, 128, 1, QF_COLOR_BILEVEL, 0, 1},
    {"tiff/multipage.tiff", 10, 10, 1, QF_COLOR_PALETTE4, 0, 3},
    {"tiff/12bit.cropped.tif", 100, 100, 16, QF_COLOR_GREY16, 0, 1},
    {"tiff/10ct_32bit_128.tiff", 128, 128, 16, QF_COLOR_GREY16, 0, 1}, // float samples
    {"tiff/tiff_16bit_RGB.tiff", 100, 40, 48, QF_COLOR_RGB48, 0, 1},   // tiled
    {"tiff/tiff_strip_cmyk_jpeg.tif", 100, 100, 32, QF_COLOR_CMYK32, 0, 1},
    {"tiff/DudleyLeavittUtah.tiff", 196, 257, 32, QF_COLOR_RGB, 1, 1},
    {"tiff/rdf.tif", 518, 556, 32, QF_COLOR_RGB, 1, 1},
    {"tiff/tiff_tiled_planar_lzw.tiff", 278, 374, 24, QF_COLOR_RGB, 0, 1},
    {"other-images/hopper.ppm", 128, 128, 24, QF_COLOR_RGB, 0, 1},
    {"other-images/porsches.mac", 576, 720, 1, QF_COLOR_BILEVEL, 0, 1},
    {"other-images/hopper.msp", 128, 128, 1, QF_COLOR_BILEVEL, 0, 1},
    {"other-images/gradient_ilbm.iff", 320, 200, 8, QF_COLOR_PALETTE8, 0, 1},
    {"other-images/testcard_pbm.iff", 112, 112, 8, QF_COLOR_PALETTE8, 0, 1},
    // Only the TIFF preview of an EPS is decodable (ExifTool reports the document's 100 x 67).
    {"other-images/1_tiff_preview.eps", 72, 48, 1, QF_COLOR_BILEVEL, 0, 1},
    {"other-images/hopper.psd", 128, 128, 24, QF_COLOR_RGB, 0, 1},
    {"other-images/hopper.webp", 128, 128, 24, QF_COLOR_RGB, 0, 1},
    {"other-images/IMG_5195.HEIC", 2566, 3313, 24, QF_COLOR_RGB, 0, 1},
    {"other-images/samplefilehub.heif", 640, 426, 24, QF_COLOR_RGB, 0, 1},
    {"other-images/hopper.avif", 128, 128, 24, QF_COLOR_RGB, 0, 1},
    {"other-images/16bit.cropped.j2k", 64, 64, 16, QF_COLOR_GREY16, 0, 1},
    {"other-images/test-card-lossless.jp2", 640, 480, 24, QF_COLOR_RGB, 0, 1},
    {"other-images/star.avifs", 159, 159, 32, QF_COLOR_RGB, 1, 1},
    {"other-images/transparent.webp", 200, 150, 32, QF_COLOR_RGB, 1, 1},
    {"other-images/iss634_animated.webp", 245, 245, 32, QF_COLOR_RGB, 1, 42},
    {"ico/hopper.ico", 16, 16, 8, QF_COLOR_PALETTE8, 1, 1},
    {"ico/hopper_256x256.ico", 256, 256, 24, QF_COLOR_RGB, 1, 1},
    {"ico/pillow.ico", 256, 256, 32, QF_COLOR_RGB, 1, 1},
    {"ico/deerstalker.cur", 32, 32, 32, QF_COLOR_RGB, 1, 1},
    {"other-images/hopper_16bit.pgm", 128, 128, 16, QF_COLOR_GREY16, 0, 1},
    {"other-images/hopper.ras", 128, 128, 24, QF_COLOR_RGB, 0, 1},
    {"other-images/DSC_0307_small.wbmp", 300, 225, 1, QF_COLOR_BILEVEL, 0, 1},
    {"other-images/pil184.pcx", 447, 144, 1, QF_COLOR_PALETTE4, 0, 1},
    {"other-images/200x32_rgba_tl_rle.tga", 200, 32, 32, QF_COLOR_RGB, 1, 1},
};

class CorpusRecord : public ::testing::TestWithParam<Expect> {};

TEST_P(CorpusRecord, DescribesTheFileAndReadsEveryRow)
{
    const Expect& e = GetParam();
    MIO_CORPUS_FILE(path, e.file);
    sitest::Record rec = sitest::open(path);
    ASSERT_NE(rec.handle, nullptr) << sitest::lastError();
    const ImageFileData d = rec.copy();
    EXPECT_EQ(d.main.width, e.width);
    EXPECT_EQ(d.main.height, e.height);
    EXPECT_EQ(d.main.bitCount, e.bitCount);
    EXPECT_EQ(d.main.colorType, e.colorType);
    EXPECT_EQ(d.maskCount, e.masks);
    EXPECT_EQ(d.frameCount, e.frames);
    EXPECT_EQ(d.fileSize, static_cast<int32_t>(std::filesystem::file_size(path)));
    EXPECT_STREQ(d.path, path.string().c_str());

    sitest::Pixels px;
    ASSERT_GT(sitest::read(rec, sitest::Want::Main, px), 0) << sitest::lastError();
    EXPECT_EQ(px.rowsSeen, e.height);
    if (e.masks > 0) {
        sitest::Pixels mask;
        ASSERT_GT(sitest::read(rec, sitest::Want::Mask, mask), 0) << sitest::lastError();
        EXPECT_EQ(mask.rowsSeen, e.height);
    }
}

INSTANTIATE_TEST_SUITE_P(Corpus, CorpusRecord, ::testing::ValuesIn(kCorpus), [](const auto& info) {
    std::string name = info.param.file;
    for (char& c : name)
        if (!isalnum(static_cast<unsigned char>(c))) c = '_';
    return name;
});

TEST(StillImageRead, FormatIdFollowsContentNotExtension)
{
    MIO_CORPUS_FILE(path, "broken/hopper_gray_jpeg_named.png");
    sitest::Record rec = sitest::open(path);
    ASSERT_NE(rec.handle, nullptr) << sitest::lastError();
    EXPECT_EQ(rec.copy().formatId, qfFileGetFormatID("jpg"));
}

TEST(StillImageRead, JpegExifThumbnailIsThePreview)
{
    MIO_CORPUS_FILE(path, "jpeg/Canon_40D.jpg");
    sitest::Record rec = sitest::open(path);
    ASSERT_NE(rec.handle, nullptr);
    const ImageFileData d = rec.copy();
    ASSERT_EQ(d.hasPreview, 1);
    EXPECT_EQ(d.preview.width, 68);
    EXPECT_EQ(d.preview.height, 46);
    sitest::Pixels px;
    ASSERT_GT(sitest::read(rec, sitest::Want::Preview, px), 0) << sitest::lastError();
    EXPECT_EQ(px.rowsSeen, 46);
}

TEST(StillImageRead, PaletteRowsAreIndicesAndRgbRowsAreRedFirst)
{
    MIO_CORPUS_FILE(path, "bmp/hopper.bmp");
    const std::vector<uint8_t> bytes = support::readFile(path);
    sitest::Record rec = sitest::open(path);
    sitest::Pixels px;
    ASSERT_GT(sitest::read(rec, sitest::Want::Main, px), 0);
    // The file is bottom-up BGR: the last stored row is the top row.
    const size_t off = bytes[10] | (bytes[11] << 8);
    const uint8_t* stored = bytes.data() + off + 127 * 384;
    EXPECT_EQ(px.row(0)[0], stored[2]);
    EXPECT_EQ(px.row(0)[1], stored[1]);
    EXPECT_EQ(px.row(0)[2], stored[0]);
}

TEST(StillImageRead, TransparentGifMaskMarksTheTransparentIndex)
{
    MIO_CORPUS_FILE(path, "gif/transparent.gif");
    sitest::Record rec = sitest::open(path);
    sitest::Pixels mask;
    ASSERT_GT(sitest::read(rec, sitest::Want::Mask, mask), 0);
    size_t clear = 0, opaque = 0;
    for (uint8_t v : mask.data) {
        clear += v == 0;
        opaque += v == 255;
    }
    EXPECT_EQ(clear + opaque, mask.data.size());
    EXPECT_GT(clear, 0u);
    EXPECT_GT(opaque, 0u);
}

TEST(StillImageRead, CallbackStopEndsTheRead)
{
    MIO_CORPUS_FILE(path, "png/hopper.png");
    sitest::Record rec = sitest::open(path);
    sitest::Pixels px;
    EXPECT_LE(sitest::read(rec, sitest::Want::Main, px, 10), 0);
    EXPECT_EQ(px.rowsSeen, 10);
}

TEST(StillImageRead, MaskAndPreviewRequestsFailWhenTheFileHasNone)
{
    MIO_CORPUS_FILE(path, "png/hopper.png");
    sitest::Record rec = sitest::open(path);
    sitest::Pixels px;
    EXPECT_LE(sitest::read(rec, sitest::Want::Mask, px), 0);
    EXPECT_EQ(px.rowsSeen, 0);
}

struct BadInput {
    const char* file;
    const char* textPart;
};

TEST(StillImageRead, BadInputFailsWithASpecificText)
{
    c32ResetDLLErrInfo();
    EXPECT_EQ(qfFileGetFileData("/nonexistent/folder/x.jpg", 0), nullptr);
    EXPECT_NE(sitest::lastError().find("file not found"), std::string::npos);
    EXPECT_EQ(qfFileGetFileData(nullptr, 0), nullptr);

    const BadInput cases[] = {
        {"broken/emptyfile.mp3", "empty file"},
        {"broken/broken.png", "corrupt"},
        {"jpeg/monkey12.jpg", "12-bit"},
        {"other-images/hopper.pcd", "unsupported format"},
        {"audio/xing.mp3", "unknown image format"},
    };
    for (const BadInput& c : cases) {
        const auto path = support::corpusPathOrEmpty(c.file);
        if (path.empty()) continue;
        c32ResetDLLErrInfo();
        sitest::Record rec = sitest::open(path);
        EXPECT_EQ(rec.handle, nullptr) << c.file;
        EXPECT_NE(sitest::lastError().find(c.textPart), std::string::npos)
            << c.file << ": " << sitest::lastError();
    }
}

TEST(StillImageRead, TruncatedFilesParseButFailToDecode)
{
    // ultrahdr.jpg's primary image ends early too (libjpeg would pad it with grey).
    for (const char* file : {"broken/hopper_truncated_10000B.png", "broken/truncated_jpeg.jpg",
                             "broken/truncated_image.png", "jpeg/ultrahdr.jpg"}) {
        const auto path = support::corpusPathOrEmpty(file);
        if (path.empty()) continue;
        sitest::Record rec = sitest::open(path);
        if (!rec.handle) continue; // refused at the header: also a clean failure
        sitest::Pixels px;
        c32ResetDLLErrInfo();
        EXPECT_LE(sitest::read(rec, sitest::Want::Main, px), 0) << file;
        EXPECT_NE(sitest::lastError().find("corrupt or truncated"), std::string::npos)
            << file << ": " << sitest::lastError();
    }
}

TEST(StillImageRead, AbsurdDeclaredSizesAreRefusedBeforeAllocating)
{
    support::TempDir dir;
    // A PNG signature and an IHDR declaring 60000 x 60000 RGB, nothing else.
    std::vector<uint8_t> png = {0x89, 'P',  'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0,    0, 0,
                                13,   'I',  'H', 'D', 'R',  0,    0,    0xEA, 0x60, 0, 0,
                                0xEA, 0x60, 8,   2,   0,    0,    0,    0,    0,    0, 0};
    support::writeFile(dir / "bomb.png", png);
    EXPECT_EQ(sitest::open(dir / "bomb.png").handle, nullptr);
    EXPECT_NE(sitest::lastError().find("size out of range"), std::string::npos);

    // A BMP header declaring 16000 x 16000 at 24 bits over 60 bytes of file.
    std::vector<uint8_t> bmp(60, 0);
    bmp[0] = 'B';
    bmp[1] = 'M';
    bmp[10] = 54;
    bmp[14] = 40;
    bmp[18] = 0x80, bmp[19] = 0x3E; // 16000
    bmp[22] = 0x80, bmp[23] = 0x3E;
    bmp[26] = 1;
    bmp[28] = 24;
    support::writeFile(dir / "bomb.bmp", bmp);
    EXPECT_EQ(sitest::open(dir / "bomb.bmp").handle, nullptr);
    EXPECT_NE(sitest::lastError().find("truncated"), std::string::npos);
}

TEST(StillImageRead, CameraRawIsKnownByExtensionAndHeader)
{
    MIO_CORPUS_FILE(nef, "raw/exiftool_Nikon.nef");
    EXPECT_NE(q32FileIsDSCRawDataFile(nef.string().c_str()), 0);
    MIO_CORPUS_FILE(tif, "tiff/hopper_lzw.tif");
    EXPECT_EQ(q32FileIsDSCRawDataFile(tif.string().c_str()), 0);
    EXPECT_EQ(q32FileIsDSCRawDataFile("/nonexistent/x.nef"), 0);
}

} // namespace

namespace {

// The same 128 x 128 picture in several formats: lossless copies decode identically; the PSD
// and PPM copies were saved from a slightly different version, so they only come close.
TEST(StillImageRead, CopiesOfOnePictureDecodeAlike)
{
    MIO_CORPUS_FILE(reference, "bmp/hopper.bmp");
    sitest::Record ref = sitest::open(reference);
    sitest::Pixels expected;
    ASSERT_GT(sitest::read(ref, sitest::Want::Main, expected), 0);
    const std::pair<const char*, double> copies[] = {
        {"other-images/hopper.ras", 0.0}, {"png/hopper.png", 0.0},
        {"tiff/hopper_lzw.tif", 0.0},     {"tiff/hopper_bigtiff.tif", 0.0},
        {"other-images/hopper.psd", 2.0}, {"other-images/hopper.ppm", 2.0}};
    for (const auto& [file, meanLimit] : copies) {
        const auto path = support::corpusPathOrEmpty(file);
        if (path.empty()) continue;
        sitest::Record rec = sitest::open(path);
        sitest::Pixels px;
        ASSERT_GT(sitest::read(rec, sitest::Want::Main, px), 0) << file;
        ASSERT_EQ(px.data.size(), expected.data.size()) << file;
        double total = 0;
        for (size_t i = 0; i < px.data.size(); ++i)
            total += std::abs(int(px.data[i]) - int(expected.data[i]));
        EXPECT_LE(total / double(px.data.size()), meanLimit) << file;
    }
}

} // namespace

namespace {

TEST(StillImageRead, CameraRawDevelopsTheSensorDataAndReadsTheEmbeddedPreview)
{
    MIO_CORPUS_FILE(dng, "raw/canon_eos_6d.dng");
    sitest::Record rec = sitest::open(dng);
    ASSERT_NE(rec.handle, nullptr) << sitest::lastError();
    const ImageFileData d = rec.copy();
    EXPECT_EQ(d.formatId, qfFileGetFormatID("raw"));
    EXPECT_EQ(d.main.width, 1224);
    EXPECT_EQ(d.main.height, 816);
    ASSERT_EQ(d.hasPreview, 1);
    EXPECT_EQ(d.preview.width, 1024);
    EXPECT_EQ(d.preview.height, 683);
    sitest::Pixels main, preview;
    ASSERT_GT(sitest::read(rec, sitest::Want::Main, main), 0) << sitest::lastError();
    EXPECT_EQ(main.rowsSeen, 816);
    ASSERT_GT(sitest::read(rec, sitest::Want::Preview, preview), 0) << sitest::lastError();
    EXPECT_EQ(preview.rowsSeen, 683);
}

TEST(StillImageRead, CameraRawStubsFallBackToTheirTiffStructure)
{
    // ExifTool's CR2 sample has its sensor data stripped: LibRaw cannot develop it, but
    // IFD0 holds a readable picture.
    MIO_CORPUS_FILE(cr2, "raw/exiftool_CanonRaw.cr2");
    sitest::Record rec = sitest::open(cr2);
    ASSERT_NE(rec.handle, nullptr) << sitest::lastError();
    const ImageFileData d = rec.copy();
    EXPECT_EQ(d.formatId, qfFileGetFormatID("cr2"));
    EXPECT_EQ(d.main.width, 1536);
    EXPECT_EQ(d.main.height, 1024);
}

} // namespace

namespace {

TEST(StillImageRead, ReadRefusesAFileThatChangedSinceItsRecord)
{
    support::TempDir dir;
    const std::string path = (dir / "c.png").string();
    sitest::Source small = sitest::gradient(20, 10), large = sitest::gradient(30, 10);
    ASSERT_GT(sitest::write(path, qfFileGetFormatID("png"), small), 0);
    sitest::Record rec = sitest::open(path);
    ASSERT_NE(rec.handle, nullptr);
    ASSERT_GT(sitest::write(path, qfFileGetFormatID("png"), large), 0);
    sitest::Pixels px;
    EXPECT_LE(sitest::read(rec, sitest::Want::Main, px), 0);
    EXPECT_NE(sitest::lastError().find("changed"), std::string::npos) << sitest::lastError();
    EXPECT_EQ(px.rowsSeen, 0);
}

TEST(StillImageRead, TransferBlocksThatAskForNothingOrLackArgumentsFail)
{
    MIO_CORPUS_FILE(path, "png/hopper.png");
    sitest::Record rec = sitest::open(path);
    sitest::Pixels px;
    QfTransferBlock block{};
    block.context = &px;
    EXPECT_LE(qfFileRead(rec.handle, &block, sitest::collectRows), 0);
    EXPECT_NE(sitest::lastError().find("asks for no image"), std::string::npos);
    block.mainWanted = 1;
    block.mainMode = QF_MODE_ROWS;
    EXPECT_LE(qfFileRead(rec.handle, &block, nullptr), 0);
    EXPECT_LE(qfFileRead(nullptr, &block, sitest::collectRows), 0);
    EXPECT_LE(qfFileRead(rec.handle, nullptr, sitest::collectRows), 0);
    EXPECT_EQ(q32FileFreeFileData(nullptr), 0);
}

TEST(StillImageRead, OverlongPathsAndFoldersAreRefused)
{
    const std::string longPath = "/tmp/" + std::string(300, 'a') + ".png";
    EXPECT_EQ(qfFileGetFileData(longPath.c_str(), 0), nullptr);
    EXPECT_NE(sitest::lastError().find("259"), std::string::npos);
    support::TempDir dir;
    std::filesystem::create_directory(dir / "folder.png");
    EXPECT_EQ(qfFileGetFileData((dir / "folder.png").c_str(), 0), nullptr);
    EXPECT_NE(sitest::lastError().find("not a file"), std::string::npos) << sitest::lastError();
}

} // namespace
