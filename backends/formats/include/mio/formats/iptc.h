// SPDX-License-Identifier: MIT
// IPTC-IIM datasets: parsing, the dataset names the platform uses, text decoding and writing.
#pragma once

#include "mio/formats/common.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mio::formats {

struct IptcDataset {
    uint8_t record = 0;
    uint8_t dataset = 0;
    std::string value;   // raw bytes as stored
    uint32_t offset = 0; // of the 0x1C tag marker inside the parsed block
};

struct IptcData {
    std::vector<IptcDataset> datasets; // in file order
    bool utf8 = false;                 // 1:90 CodedCharacterSet is ESC % G
    bool damaged = false;              // parsing stopped early at bytes that are not a dataset
};

struct IptcOptions {
    uint32_t maxDatasets = 65536;
};

// Parses IIM datasets, including extended (over 32767 bytes) lengths. Fails when the block
// does not start with a dataset; a later damaged or cut dataset ends the list and sets
// `damaged`. Zero padding after the last dataset is normal and not damage.
Result<IptcData> parseIptc(std::span<const uint8_t> block, const IptcOptions& options = {});

// The platform's name of a dataset ("Keywords", "By-line", "Caption-Abstract"...), or empty.
std::string_view iptcDatasetName(uint8_t record, uint8_t dataset) noexcept;

// The dataset of a name, compared without regard to ASCII case; record 2 names win.
std::optional<std::pair<uint8_t, uint8_t>> iptcDatasetByName(std::string_view name) noexcept;

// Datasets whose value is a binary number rather than text (versions, file format...).
bool iptcDatasetIsBinary(uint8_t record, uint8_t dataset) noexcept;

// Text of a dataset as UTF-8: unchanged when the block declares UTF-8, else read as
// Windows-1252 (the usual legacy encoding).
std::string iptcTextToUtf8(std::string_view raw, bool utf8);

// Datasets with the same record and number gathered into one list, in order of first
// appearance (repeatable datasets such as Keywords become several values).
struct IptcItem {
    uint8_t record = 0;
    uint8_t dataset = 0;
    std::string_view name;
    std::vector<std::string> values; // raw bytes, in file order
};
std::vector<IptcItem> groupIptc(const IptcData& data);

// IIM bytes for the datasets, sorted by record (stable, so repeated datasets keep their order).
// With `markUtf8`, a 1:90 ESC % G dataset is written (replacing any other 1:90).
Result<std::vector<uint8_t>> writeIptc(std::span<const IptcDataset> datasets, bool markUtf8);

} // namespace mio::formats
