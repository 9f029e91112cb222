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

class DamagedFile : public ::testing::TestWithParam<const char*> {};

TEST_P(DamagedFile, CutsAndChangedBytesFailCleanly)
{
    const std::string ext = GetParam();
    support::TempDir dir;
    const std::string original = (dir / ("good." + ext)).string();
    sitest::Source src = sitest::gradient(23, 17);
    ASSERT_GT(sitest::write(original, qfFileGetFormatID(ext.c_str()), src), 0)
        << sitest::lastError();
    const std::vector<uint8_t> bytes = support::readFile(original);
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

INSTANTIATE_TEST_SUITE_P(Formats, DamagedFile,
                         ::testing::Values("bmp", "png", "jpg", "tif", "gif", "pcx", "tga", "ppm",
                                           "webp", "jp2", "j2k"),
                         [](const auto& info) { return std::string(info.param); });

} // namespace
