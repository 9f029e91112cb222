// SPDX-License-Identifier: MIT
// Tests of the CIFF (CRW) record reader on small files built byte by byte.
#include "ciff_reader.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

// Little-endian CIFF writer: header, then one heap whose records and table are appended.
class CiffBuilder {
  public:
    // A heap's bytes: records first, then the table (count, 10-byte entries), then the table
    // offset in the last 4 bytes.
    struct Heap {
        std::vector<uint8_t> bytes;
        std::vector<std::array<uint32_t, 3>> entries; // type, size, offset
        uint32_t add(uint16_t type, const std::vector<uint8_t>& data)
        {
            const auto offset = static_cast<uint32_t>(bytes.size());
            bytes.insert(bytes.end(), data.begin(), data.end());
            entries.push_back({type, static_cast<uint32_t>(data.size()), offset});
            return offset;
        }
        std::vector<uint8_t> finish() const
        {
            std::vector<uint8_t> out = bytes;
            const auto table = static_cast<uint32_t>(out.size());
            put16(out, static_cast<uint16_t>(entries.size()));
            for (const auto& e : entries) {
                put16(out, static_cast<uint16_t>(e[0]));
                put32(out, e[1]);
                put32(out, e[2]);
            }
            put32(out, table);
            return out;
        }
    };

    static void put16(std::vector<uint8_t>& out, uint16_t v)
    {
        out.push_back(static_cast<uint8_t>(v));
        out.push_back(static_cast<uint8_t>(v >> 8));
    }
    static void put32(std::vector<uint8_t>& out, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            out.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }

    static std::vector<uint8_t> file(const Heap& root)
    {
        std::vector<uint8_t> out = {'I', 'I'};
        put32(out, 26); // header length
        for (char c : std::string("HEAPCCDR"))
            out.push_back(static_cast<uint8_t>(c));
        put32(out, 0x00010002); // version
        out.resize(26, 0);      // reserved
        const std::vector<uint8_t> heap = root.finish();
        out.insert(out.end(), heap.begin(), heap.end());
        return out;
    }

    static std::vector<uint8_t> makeModel(const std::string& make, const std::string& model)
    {
        std::vector<uint8_t> out(make.begin(), make.end());
        out.push_back(0);
        out.insert(out.end(), model.begin(), model.end());
        out.push_back(0);
        return out;
    }

    // Shot information: 23 int16 values; index 21 aperture, 22 time, in 1/32 EV.
    static std::vector<uint8_t> shotInfo(int16_t av, int16_t tv)
    {
        std::vector<uint8_t> out;
        for (int i = 0; i < 23; ++i)
            put16(out, static_cast<uint16_t>(i == 21 ? av : i == 22 ? tv : (i == 0 ? 46 : 0)));
        return out;
    }
};

std::optional<mio::CiffShootingData> readBytes(const std::vector<uint8_t>& bytes)
{
    support::TempDir dir;
    const auto path = dir / "test.crw";
    support::writeFile(path, bytes);
    return mio::readCiffShootingData(path.string());
}

} // namespace

TEST(CiffReader, CanonEvReadsThirdStepCodes)
{
    EXPECT_DOUBLE_EQ(mio::canonEv(192), 6.0);               // 6 EV
    EXPECT_DOUBLE_EQ(mio::canonEv(96 + 0x0C), 3 + 1.0 / 3); // 3 1/3 EV
    EXPECT_DOUBLE_EQ(mio::canonEv(96 + 0x14), 3 + 2.0 / 3); // 3 2/3 EV
    EXPECT_DOUBLE_EQ(mio::canonEv(96 + 0x10), 3.5);         // half steps are plain
    EXPECT_DOUBLE_EQ(mio::canonEv(-(32 + 0x0C)), -(1 + 1.0 / 3));
}

TEST(CiffReader, FindsRecordsInNestedHeaps)
{
    CiffBuilder::Heap camera;
    camera.add(0x080A, CiffBuilder::makeModel("Canon", "Canon EOS TEST"));
    CiffBuilder::Heap shot;
    shot.add(0x102A, CiffBuilder::shotInfo(96 + 0x14, 192));
    CiffBuilder::Heap root;
    root.add(0x300A, camera.finish());
    root.add(0x300B, shot.finish());

    const auto data = readBytes(CiffBuilder::file(root));
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(data->make, "Canon");
    EXPECT_EQ(data->model, "Canon EOS TEST");
    ASSERT_TRUE(data->fNumber.has_value());
    EXPECT_NEAR(*data->fNumber, 3.56359487256136, 1e-12);
    ASSERT_TRUE(data->exposureTime.has_value());
    EXPECT_DOUBLE_EQ(*data->exposureTime, 1.0 / 64);
}

TEST(CiffReader, ZeroShotValuesAndInEntryValuesAreNotRecords)
{
    CiffBuilder::Heap root;
    root.add(0x102A, CiffBuilder::shotInfo(0, 0));
    // Type bits 14..15 = 01: the value lives in the entry; its "offset" must not be followed.
    root.entries.push_back({0x480A, 0xFFFFFFFFu, 0xFFFFFFFFu});
    const auto data = readBytes(CiffBuilder::file(root));
    ASSERT_TRUE(data.has_value());
    EXPECT_FALSE(data->fNumber.has_value());
    EXPECT_FALSE(data->exposureTime.has_value());
    EXPECT_FALSE(data->make.has_value());
}

TEST(CiffReader, DamagedHeapsOnlyLoseValues)
{
    CiffBuilder::Heap root;
    root.add(0x080A, CiffBuilder::makeModel("Canon", "Canon EOS TEST"));
    root.entries.push_back({0x102A, 46, 0x7FFFFFF0u}); // record past the heap
    root.entries.push_back({0x300A, 0x10000, 0});      // sub-heap larger than its parent
    std::vector<uint8_t> bytes = CiffBuilder::file(root);
    auto data = readBytes(bytes);
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(data->model, "Canon EOS TEST");
    EXPECT_FALSE(data->fNumber.has_value());

    // A sub-heap that is its own parent: the walk stops at its depth bound.
    CiffBuilder::Heap self;
    self.add(0x080A, CiffBuilder::makeModel("Canon", "Loop"));
    self.entries.insert(self.entries.begin(), {0x300A, 0, 0});
    self.entries[0][1] = static_cast<uint32_t>(self.finish().size()); // the whole heap
    data = readBytes(CiffBuilder::file(self));
    ASSERT_TRUE(data.has_value());
    EXPECT_EQ(data->model, "Loop");

    // Table offset outside the heap.
    std::vector<uint8_t> badTable = bytes;
    for (int i = 1; i <= 4; ++i)
        badTable[badTable.size() - i] = 0xFF;
    data = readBytes(badTable);
    ASSERT_TRUE(data.has_value());
    EXPECT_FALSE(data->make.has_value());

    // A file cut anywhere loses its table (it sits at the end), so nothing is read from the
    // bytes that are gone.
    CiffBuilder::Heap valid;
    valid.add(0x080A, CiffBuilder::makeModel("Canon", "Canon EOS TEST"));
    valid.add(0x102A, CiffBuilder::shotInfo(96, 192));
    const std::vector<uint8_t> whole = CiffBuilder::file(valid);
    ASSERT_EQ(readBytes(whole)->model, "Canon EOS TEST");
    for (size_t length = 0; length < whole.size(); ++length) {
        const auto cut = readBytes(std::vector<uint8_t>(whole.begin(), whole.begin() + length));
        if (cut) {
            EXPECT_FALSE(cut->make.has_value() || cut->fNumber.has_value()) << length;
        }
    }
}

TEST(CiffReader, NonCiffFilesGiveNothing)
{
    EXPECT_FALSE(readBytes({}).has_value());
    EXPECT_FALSE(readBytes(std::vector<uint8_t>(64, 0)).has_value());
    std::vector<uint8_t> tiff = {'I', 'I', 0x2A, 0};
    tiff.resize(64, 0);
    EXPECT_FALSE(readBytes(tiff).has_value());
    EXPECT_FALSE(mio::readCiffShootingData("/nonexistent/file.crw").has_value());
}
