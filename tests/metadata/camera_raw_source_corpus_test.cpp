// SPDX-License-Identifier: MIT
// The camera-raw source over the real camera-raw library on the corpus raw files, against the
// values ExifTool reads from the same files.
#include <contracts/still_image_library.h>
#include <gtest/gtest.h>
#include <tavrel/platform/memory.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "metadata/camera_raw_source.h"
#include "support/test_support.h"

namespace {

// ExifTool's numeric values of the nine tags, tab-separated, "-" for absent.
std::vector<std::string> exiftoolValues(const std::filesystem::path& file)
{
    const std::string command = "exiftool -n -T -Make -Model -ISO -ExposureTime -FNumber "
                                "-FocalLength -DateTimeOriginal -Orientation -ModifyDate '" +
                                file.string() + "' 2>/dev/null";
    std::vector<std::string> fields;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return fields;
    std::string line;
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, pipe))
        line += chunk;
    pclose(pipe);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.pop_back();
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    return fields;
}

bool present(const std::string& v)
{
    return !v.empty() && v != "-";
}

std::string narrow(const std::u16string& text)
{
    return support::u8(text);
}

class RawCorpus : public ::testing::TestWithParam<const char*> {};

TEST_P(RawCorpus, ShootingDataMatchesExifTool)
{
    MIO_CORPUS_FILE(file, std::string("raw/") + GetParam());
    const auto expected = exiftoolValues(file);
    if (expected.size() != 9) GTEST_SKIP() << "exiftool is not available";

    tavrel::GlobalBlock block(GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(ImageFileData)));
    {
        tavrel::GlobalLockGuard lock(block.get());
        std::strncpy(static_cast<ImageFileData*>(lock.data())->path, file.c_str(), 259);
    }
    mio::CCameraRawSource source(block.get());
    ASSERT_TRUE(source.identified());

    auto text = [&](int32_t tag) {
        WCHAR buffer[128] = {};
        const HRESULT hr = source.GetMetaDataStr(tag, buffer, sizeof buffer);
        return hr == S_OK ? narrow(buffer) : std::string("-");
    };
    auto pair = [&](int32_t tag) {
        int32_t value[2] = {};
        EXPECT_EQ(source.GetMetaData(tag, reinterpret_cast<BYTE*>(value), sizeof value, nullptr),
                  S_OK)
            << tag;
        return std::make_pair(value[0], value[1]);
    };
    int32_t count = 0;
    int32_t tags[16] = {};
    ASSERT_EQ(source.GetMetaTags(&count, tags, 16), S_OK);
    auto listed = [&](int32_t tag) { return std::find(tags, tags + count, tag) != tags + count; };

    EXPECT_EQ(text(100), expected[0]);
    EXPECT_EQ(text(101), expected[1]);
    const bool hasIso = present(expected[2]) && std::stod(expected[2]) != 0;
    // The raw library may know a camera's ISO where the file records none (the DC50 gives
    // 84): only a value ExifTool shows is compared.
    if (hasIso) {
        EXPECT_TRUE(listed(19));
        EXPECT_EQ(text(19), std::to_string(std::lround(std::stod(expected[2]))));
    }
    const bool hasExposure = present(expected[3]) && std::stod(expected[3]) != 0;
    EXPECT_EQ(listed(15), hasExposure);
    if (hasExposure) {
        const double t = std::stod(expected[3]);
        EXPECT_EQ(pair(15), std::make_pair(1, static_cast<int32_t>(1.0 / t + 0.5)));
    }
    const bool hasFNumber = present(expected[4]) && std::stod(expected[4]) != 0;
    EXPECT_EQ(listed(16), hasFNumber);
    if (hasFNumber) {
        EXPECT_NEAR(pair(16).first, std::stod(expected[4]) * 1000, 1.0);
    }
    const bool hasFocal = present(expected[5]) && std::stod(expected[5]) != 0;
    EXPECT_EQ(listed(30), hasFocal);
    if (hasFocal) {
        EXPECT_EQ(pair(30), std::make_pair(static_cast<int32_t>(std::stod(expected[5])), 1));
    }
    // Without a date of capture the library reports the file's modification date.
    const std::string& taken = present(expected[6]) ? expected[6] : expected[8];
    EXPECT_EQ(listed(10), present(taken));
    if (present(taken)) {
        EXPECT_EQ(text(10), taken);
    }
    if (present(expected[7])) {
        EXPECT_EQ(text(103), expected[7]);
    }
}

INSTANTIATE_TEST_SUITE_P(Files, RawCorpus,
                         ::testing::Values("RAW_KODAK_DC50.KDC", "canon_eos_6d.dng",
                                           "colorchart_magiclantern.dng", "exiftool_CanonRaw.cr2",
                                           "exiftool_CanonRaw.cr3", "exiftool_CanonRaw.crw",
                                           "exiftool_FujiFilm.raf", "exiftool_Minolta.mrw",
                                           "exiftool_Nikon.nef", "exiftool_Panasonic.rw2"));

} // namespace
