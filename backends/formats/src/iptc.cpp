// SPDX-License-Identifier: MIT
// IPTC-IIM dataset parsing, names, text decoding and writing.
#include "mio/formats/iptc.h"

#include "byte_io.h"

#include <algorithm>
#include <array>
#include <new>

namespace mio::formats {

namespace {

struct NameRow {
    uint8_t record;
    uint8_t dataset;
    std::string_view name;
};

// Record 2 first so that name lookups prefer the application record.
constexpr NameRow kNames[] = {
    {2, 0, "Record Version"},
    {2, 3, "Object Type Reference"},
    {2, 4, "Object Attribute Reference"},
    {2, 5, "Object Name"},
    {2, 7, "Edit Status"},
    {2, 8, "Editorial Update"},
    {2, 10, "Urgency"},
    {2, 12, "Subject Reference"},
    {2, 15, "Category"},
    {2, 20, "Supplemental Categories"},
    {2, 22, "Fixture Identifier"},
    {2, 25, "Keywords"},
    {2, 26, "Content Location Code"},
    {2, 27, "Content Location Name"},
    {2, 30, "Release Date"},
    {2, 35, "Release Time"},
    {2, 37, "Expiration Date"},
    {2, 38, "Expiration Time"},
    {2, 40, "Special Instructions"},
    {2, 42, "Action Advised"},
    {2, 45, "Reference Service"},
    {2, 47, "Reference Date"},
    {2, 50, "Reference Number"},
    {2, 55, "Date Created"},
    {2, 60, "Time Created"},
    {2, 62, "Digital Creation Date"},
    {2, 63, "Digital Creation Time"},
    {2, 65, "Originating Program"},
    {2, 70, "Program Version"},
    {2, 75, "Object Cycle"},
    {2, 80, "By-line"},
    {2, 85, "By-line Title"},
    {2, 90, "City"},
    {2, 92, "Sub-location"},
    {2, 95, "Province-State"},
    {2, 100, "Country-Primary Location Code"},
    {2, 101, "Country-Primary Location Name"},
    {2, 103, "Original Transmission Reference"},
    {2, 105, "Headline"},
    {2, 110, "Credit"},
    {2, 115, "Source"},
    {2, 116, "Copyright Notice"},
    {2, 118, "Contact"},
    {2, 120, "Caption-Abstract"},
    {2, 122, "Writer-Editor"},
    {2, 125, "Rasterized Caption"},
    {2, 130, "Image Type"},
    {2, 131, "Image Orientation"},
    {2, 135, "Language Identifier"},
    {2, 150, "Audio Type"},
    {2, 151, "Audio Sampling Rate"},
    {2, 152, "Audio Sampling Resolution"},
    {2, 153, "Audio Duration"},
    {2, 154, "Audio Outcue"},
    {2, 200, "ObjectData Preview File Format"},
    {2, 201, "ObjectData Preview File Format Version"},
    {2, 202, "ObjectData Preview Data"},
    {1, 0, "Model Version"},
    {1, 5, "Destination"},
    {1, 20, "File Format"},
    {1, 22, "File Format Version"},
    {1, 30, "Service Identifier"},
    {1, 40, "Envelope Number"},
    {1, 50, "Product ID"},
    {1, 60, "Envelope Priority"},
    {1, 70, "Date Sent"},
    {1, 80, "Time Sent"},
    {1, 90, "Coded Character Set"},
    {1, 100, "Unique Name of Object"},
    {1, 120, "ARM Identifier"},
    {1, 122, "ARM Version"},
};

constexpr std::string_view kUtf8Marker{"\x1B%G", 3};

// Windows-1252 code points for 0x80..0x9F; the rest of the range is Latin-1.
constexpr std::array<char16_t, 32> kCp1252High{
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void appendUtf8(std::string& out, char32_t c)
{
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

bool equalsIgnoreCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

} // namespace

std::string_view iptcDatasetName(uint8_t record, uint8_t dataset) noexcept
{
    for (const NameRow& r : kNames)
        if (r.record == record && r.dataset == dataset) return r.name;
    return {};
}

std::optional<std::pair<uint8_t, uint8_t>> iptcDatasetByName(std::string_view name) noexcept
{
    for (const NameRow& r : kNames)
        if (equalsIgnoreCase(r.name, name)) return std::pair{r.record, r.dataset};
    return std::nullopt;
}

bool iptcDatasetIsBinary(uint8_t record, uint8_t dataset) noexcept
{
    if (record == 1)
        return dataset == 0 || dataset == 20 || dataset == 22 || dataset == 120 || dataset == 122;
    return record == 2 && (dataset == 0 || dataset == 200 || dataset == 201 || dataset == 202);
}

std::string iptcTextToUtf8(std::string_view raw, bool utf8)
{
    if (utf8) return std::string(raw);
    std::string out;
    out.reserve(raw.size());
    for (char ch : raw) {
        const auto b = static_cast<uint8_t>(ch);
        if (b >= 0x80 && b < 0xA0)
            appendUtf8(out, kCp1252High[b - 0x80]);
        else
            appendUtf8(out, b);
    }
    return out;
}

Result<IptcData> parseIptc(std::span<const uint8_t> block, const IptcOptions& options)
{
    try {
        IptcData data;
        size_t pos = 0;
        while (pos < block.size()) {
            if (block[pos] != 0x1C) {
                const bool padding = std::all_of(block.begin() + static_cast<ptrdiff_t>(pos),
                                                 block.end(), [](uint8_t b) { return b == 0; });
                if (data.datasets.empty() && !padding) return Error::NotRecognised;
                data.damaged = !padding;
                break;
            }
            if (data.datasets.size() >= options.maxDatasets) {
                data.damaged = true;
                break;
            }
            // Tag marker, record, dataset, then a 16-bit length or, with the top bit set, the
            // byte count of a longer length.
            if (block.size() - pos < 5) {
                if (data.datasets.empty()) return Error::Truncated;
                data.damaged = true;
                break;
            }
            IptcDataset d;
            d.offset = static_cast<uint32_t>(pos);
            d.record = block[pos + 1];
            d.dataset = block[pos + 2];
            uint64_t length = detail::load16(block.data() + pos + 3, ByteOrder::BigEndian);
            size_t at = pos + 5;
            bool bad = false;
            if (length & 0x8000) {
                const size_t n = length & 0x7FFF;
                if (n == 0 || n > 4 || block.size() - at < n) {
                    bad = true;
                } else {
                    length = 0;
                    for (size_t i = 0; i < n; ++i)
                        length = (length << 8) | block[at + i];
                    at += n;
                }
            }
            if (bad || length > block.size() - at) {
                if (data.datasets.empty()) return bad ? Error::Malformed : Error::Truncated;
                data.damaged = true;
                break;
            }
            d.value.assign(reinterpret_cast<const char*>(block.data() + at), length);
            pos = at + length;
            if (d.record == 1 && d.dataset == 90) data.utf8 = d.value == kUtf8Marker;
            data.datasets.push_back(std::move(d));
        }
        return data;
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

std::vector<IptcItem> groupIptc(const IptcData& data)
{
    std::vector<IptcItem> items;
    for (const IptcDataset& d : data.datasets) {
        auto it = std::find_if(items.begin(), items.end(), [&](const IptcItem& i) {
            return i.record == d.record && i.dataset == d.dataset;
        });
        if (it == items.end()) {
            items.push_back({d.record, d.dataset, iptcDatasetName(d.record, d.dataset), {}});
            it = items.end() - 1;
        }
        it->values.push_back(d.value);
    }
    return items;
}

Result<std::vector<uint8_t>> writeIptc(std::span<const IptcDataset> datasets, bool markUtf8)
{
    try {
        std::vector<IptcDataset> sorted;
        if (markUtf8) sorted.push_back({1, 90, std::string(kUtf8Marker), 0});
        for (const IptcDataset& d : datasets)
            if (!(markUtf8 && d.record == 1 && d.dataset == 90)) sorted.push_back(d);
        std::stable_sort(
            sorted.begin(), sorted.end(),
            [](const IptcDataset& a, const IptcDataset& b) { return a.record < b.record; });
        std::vector<uint8_t> out;
        for (const IptcDataset& d : sorted) {
            if (d.value.size() > UINT32_MAX) return Error::TooLarge;
            out.push_back(0x1C);
            out.push_back(d.record);
            out.push_back(d.dataset);
            if (d.value.size() < 0x8000) {
                detail::append16(out, static_cast<uint16_t>(d.value.size()), ByteOrder::BigEndian);
            } else {
                detail::append16(out, 0x8004, ByteOrder::BigEndian);
                detail::append32(out, static_cast<uint32_t>(d.value.size()), ByteOrder::BigEndian);
            }
            out.insert(out.end(), d.value.begin(), d.value.end());
        }
        return out;
    } catch (const std::bad_alloc&) {
        return Error::OutOfMemory;
    }
}

} // namespace mio::formats
