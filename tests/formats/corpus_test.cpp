// SPDX-License-Identifier: MIT
// The parsers on every real JPEG of the shared corpus, checked against ExifTool's reading.
#include "mio/formats/jpeg_segments.h"

#include "support/test_support.h"
#include "test_bytes.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace mio::formats;
using namespace formats_test;

TEST(JpegWalkCorpus, EveryCorpusJpegReachesTheScan)
{
    MIO_CORPUS_FILE(probe, "jpeg/Canon_40D.jpg");
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(probe.parent_path())) {
        const Bytes f = support::readFile(entry.path());
        auto layout = walkJpeg(ByteSource(f));
        ASSERT_TRUE(layout.ok()) << entry.path();
        EXPECT_EQ(layout->end, WalkEnd::StartOfScan) << entry.path();
        ++files;
    }
    EXPECT_GE(files, 20u);

    MIO_CORPUS_FILE(cut, "broken/Canon_40D_truncated_4000B.jpg");
    const Bytes f = support::readFile(cut);
    auto layout = walkJpeg(ByteSource(f));
    ASSERT_TRUE(layout.ok());
    EXPECT_NE(layout->end, WalkEnd::StartOfScan);
}
