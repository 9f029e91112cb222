// SPDX-License-Identifier: MIT
// Damaged files: every format's own output, cut short and with bytes changed, must parse and
// read to a clean result: all rows, or a failure with a reason, never a crash.
#include <gtest/gtest.h>

#include <random>

#include "still_image_test_support.h"
#include "support/test_support.h"

namespace {

// Parses and reads a file; on failure a last-error text must say why.
void expectCleanOutcome(const std::filesystem::path& path, const std::string& label)
{
    c32ResetDLLErrInfo();
    sitest::Record rec = sitest::open(path);
    if (!rec.handle) {
        EXPECT_FALSE(sitest::lastError().empty()) << label;
        return;
    }
    const ImageFileData d = rec.copy();
    if (size_t(d.main.width) * size_t(d.main.height) > (size_t{1} << 24)) return; // stays cheap
    sitest::Pixels px;
    c32ResetDLLErrInfo();
    if (sitest::read(rec, sitest::Want::Main, px) > 0) {
        EXPECT_EQ(px.rowsSeen, d.main.height) << label;
    } else {
        EXPECT_FALSE(sitest::lastError().empty()) << label;
    }
    if (d.maskCount > 0) {
        sitest::Pixels mask;
        if (sitest::read(rec, sitest::Want::Mask, mask) <= 0) {
            EXPECT_FALSE(sitest::lastError().empty()) << label << " (mask)";
        }
    }
}

void damageAndRead(const std::vector<uint8_t>& bytes, const support::TempDir& dir,
                   const std::string& ext)
{
    const auto damaged = dir / ("bad." + ext);

    for (size_t cut = 1; cut < bytes.size(); cut += std::max<size_t>(1, bytes.size() / 40)) {
        support::writeFile(damaged, std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(cut)));
        expectCleanOutcome(damaged, ext + " cut at " + std::to_string(cut));
    }
    std::mt19937 rng(1234);
    for (int round = 0; round < 60; ++round) {
        std::vector<uint8_t> changed = bytes;
        for (int k = 0; k < 3; ++k) {
            // Headers matter most: half the changes land in the first 64 bytes.
            const size_t limit = (k == 0) ? std::min<size_t>(64, changed.size()) : changed.size();
            changed[rng() % limit] = static_cast<uint8_t>(rng());
        }
        support::writeFile(damaged, changed);
        expectCleanOutcome(damaged, ext + " round " + std::to_string(round));
    }
}

class DamagedFile : public ::testing::TestWithParam<const char*> {};

TEST_P(DamagedFile, CutsAndChangedBytesFailCleanly)
{
    const std::string ext = GetParam();
    support::TempDir dir;
    const std::string original = (dir / ("good." + ext)).string();
    sitest::Source src = sitest::gradient(23, 17);
    ASSERT_GT(sitest::write(original, qfFileGetFormatID(ext.c_str()), src), 0)
        << sitest::lastError();
    damageAndRead(support::readFile(original), dir, ext);
}

// Formats the library only reads, damaged from corpus samples.
class DamagedCorpusFile : public ::testing::TestWithParam<const char*> {};

TEST_P(DamagedCorpusFile, CutsAndChangedBytesFailCleanly)
{
    MIO_CORPUS_FILE(path, GetParam());
    support::TempDir dir;
    std::string ext = path.extension().string().substr(1);
    damageAndRead(support::readFile(path), dir, ext);
}

INSTANTIATE_TEST_SUITE_P(
    Corpus, DamagedCorpusFile,
    ::testing::Values("other-images/porsches.mac", "other-images/hopper.msp",
                      "other-images/gradient_ilbm.iff", "other-images/testcard_pbm.iff",
                      "other-images/1_tiff_preview.eps", "other-images/hopper.psd",
                      "other-images/pil184.pcx", "other-images/200x32_rgba_tl_rle.tga",
                      "other-images/hopper.ras", "other-images/DSC_0307_small.wbmp",
                      "ico/hopper.ico", "bmp/pal4rle.bmp", "bmp/rgba32.bmp",
                      "other-images/hopper.avif", "other-images/transparent.webp"),
    [](const auto& info) {
        std::string name = info.param;
        for (char& c : name)
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

INSTANTIATE_TEST_SUITE_P(Formats, DamagedFile,
                         ::testing::Values("bmp", "png", "jpg", "tif", "gif", "pcx", "tga", "ppm",
                                           "webp", "jp2", "j2k"),
                         [](const auto& info) { return std::string(info.param); });

} // namespace
