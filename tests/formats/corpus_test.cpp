// SPDX-License-Identifier: MIT
// The parsers on every real JPEG of the shared corpus, checked against ExifTool's reading.
#include "mio/formats/iptc.h"
#include "mio/formats/jpeg_segments.h"
#include "mio/formats/photoshop.h"
#include "mio/formats/tiff_ifd.h"
#include "mio/formats/xmp_packet.h"
#include "mio/formats/xmp_reader.h"

#include "support/test_support.h"
#include "test_bytes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <sstream>

using namespace mio::formats;
using namespace formats_test;

namespace {

struct ToolTag {
    std::string group, id, name, value;
};

// `exiftool -a -u -G1 -n -D -s`: "[Group]   id Name   : value" per line.
// Cached per file: the three corpus tests read the same files.
const std::vector<ToolTag>& runExifTool(const std::filesystem::path& file)
{
    static std::map<std::filesystem::path, std::vector<ToolTag>> cache;
    if (auto it = cache.find(file); it != cache.end()) return it->second;
    std::vector<ToolTag>& tags = cache[file];
    const std::string cmd =
        "exiftool -a -u -G1 -n -D -s -charset iptc=latin '" + file.string() + "' 2>/dev/null";
    FILE* pipe = popen(cmd.c_str(), "r");
    if (!pipe) return tags;
    std::string out;
    char buf[4096];
    while (size_t n = fread(buf, 1, sizeof buf, pipe))
        out.append(buf, n);
    pclose(pipe);
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.size() < 3 || line[0] != '[') continue;
        const auto close = line.find(']');
        const auto colon = line.find(" : ");
        if (close == std::string::npos || colon == std::string::npos) continue;
        ToolTag t;
        t.group = line.substr(1, close - 1);
        std::istringstream head(line.substr(close + 1, colon - close - 1));
        head >> t.id >> t.name;
        t.value = line.substr(colon + 3);
        tags.push_back(std::move(t));
    }
    return tags;
}

bool exifToolAvailable()
{
    return std::system("exiftool -ver >/dev/null 2>&1") == 0;
}

std::string trimRight(std::string s)
{
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0'))
        s.pop_back();
    return s;
}

std::string utf8(const std::u16string& s)
{
    std::string out;
    for (char16_t c : s) {
        if (c < 0x80)
            out.push_back(static_cast<char>(c));
        else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// Our value as numbers, when it is numeric.
std::optional<std::vector<double>> numbers(const TagValue& v)
{
    std::vector<double> out;
    bool numeric = true;
    std::visit(
        [&](const auto& d) {
            using V = std::decay_t<decltype(d)>;
            if constexpr (std::is_same_v<V, std::vector<uint64_t>>) {
                for (uint64_t x : d)
                    out.push_back(static_cast<double>(static_cast<uint32_t>(x)) /
                                  static_cast<double>(x >> 32));
            } else if constexpr (std::is_same_v<V, std::vector<int64_t>>) {
                for (int64_t x : d)
                    out.push_back(static_cast<double>(static_cast<int32_t>(x & 0xFFFFFFFF)) /
                                  static_cast<double>(static_cast<int32_t>(x >> 32)));
            } else if constexpr (std::is_same_v<V, std::string> ||
                                 std::is_same_v<V, std::u16string>) {
                numeric = false;
            } else {
                for (auto x : d)
                    out.push_back(static_cast<double>(x));
            }
        },
        v.data);
    if (!numeric || v.type == ValueType::Blob) return std::nullopt;
    return out;
}

bool sameNumbers(const std::vector<double>& ours, const std::string& theirs)
{
    std::istringstream in(theirs);
    std::string word;
    size_t i = 0;
    while (in >> word) {
        if (i >= ours.size()) return false;
        const double o = ours[i++];
        if (word == "inf" || word == "undef" || word == "-inf") {
            if (std::isfinite(o)) return false;
            continue;
        }
        char* end = nullptr;
        const double t = std::strtod(word.c_str(), &end);
        if (*end != '\0') return false;
        if (std::fabs(o - t) > 1e-6 * std::max(1.0, std::fabs(t))) return false;
    }
    return i == ours.size();
}

// ExifTool shows UNDEFINED fields as text, as byte numbers or as a binary-size note.
bool sameBlob(const std::vector<uint8_t>& ours, const std::string& theirs)
{
    const std::string note = "(Binary data " + std::to_string(ours.size()) + " bytes";
    if (theirs.rfind(note, 0) == 0) return true;
    if (trimRight(std::string(ours.begin(), ours.end())) == trimRight(theirs)) return true;
    std::vector<double> asNumbers(ours.begin(), ours.end());
    return sameNumbers(asNumbers, theirs);
}

// Tags ExifTool lists elsewhere: sub-directory pointers, maker notes, PrintIM.
bool isPointerTag(uint16_t tag)
{
    return tag == kTagExifIfd || tag == kTagGpsIfd || tag == kTagInteropIfd || tag == 37500 ||
           tag == kTagSubIfds || tag == 50341;
}

// ExifTool's -s output shows control characters as '.' and drops trailing blanks.
std::string printable(std::string s)
{
    s = trimRight(std::move(s));
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20) c = '.';
    return trimRight(s);
}

// The few value conversions ExifTool applies even with -n, applied to our raw values.
void exifToolValueConv(const std::string& group, uint16_t tag, std::vector<double>& ours,
                       std::string& theirs, uint64_t tiffBase)
{
    if (group == "ExifIFD" && tag == 37377 && ours.size() == 1) ours[0] = std::pow(2.0, -ours[0]);
    if (group == "ExifIFD" && (tag == 37378 || tag == 37381) && ours.size() == 1)
        ours[0] = std::pow(2.0, ours[0] / 2);
    if (group == "IFD1" && tag == kTagThumbnailOffset && ours.size() == 1)
        ours[0] += static_cast<double>(tiffBase); // ExifTool gives file offsets
    if (group == "GPS" && (tag == 2 || tag == 4 || tag == 20 || tag == 22) && ours.size() == 3)
        ours = {ours[0] + ours[1] / 60 + ours[2] / 3600};
    if (group == "GPS" && tag == 7) std::replace(theirs.begin(), theirs.end(), ':', ' ');
}

// ExifTool shows IIM dates CCYYMMDD as CCYY:MM:DD and times HHMMSS+HHMM as HH:MM:SS+HH:MM.
std::string iptcDateTimeAsExifTool(uint8_t record, uint8_t dataset, std::string v)
{
    const bool date = record == 2 && (dataset == 30 || dataset == 37 || dataset == 47 ||
                                      dataset == 55 || dataset == 62);
    const bool time =
        record == 2 && (dataset == 35 || dataset == 38 || dataset == 60 || dataset == 63);
    if (date && v.size() == 8) return v.substr(0, 4) + ":" + v.substr(4, 2) + ":" + v.substr(6);
    if (time && v.size() == 11)
        return v.substr(0, 2) + ":" + v.substr(2, 2) + ":" + v.substr(4, 2) + v.substr(6, 3) + ":" +
               v.substr(9);
    return v;
}

std::string xmpDateAsExifTool(std::string v)
{
    // 2005-09-07T15:07:40-07:00 -> 2005:09:07 15:07:40-07:00
    if (v.size() >= 10 && v[4] == '-' && v[7] == '-' &&
        std::isdigit(static_cast<unsigned char>(v[0]))) {
        v[4] = ':';
        v[7] = ':';
        if (v.size() > 10 && v[10] == 'T') v[10] = ' ';
    }
    return v;
}

constexpr std::string_view kNsXmpNote = "http://ns.adobe.com/xmp/note/";

// Top-level XMP values as ExifTool shows them: arrays joined with ", ", dates reformatted.
void compareXmp(const std::string& packet, const std::vector<ToolTag>& tool, size_t& compared,
                size_t& matched)
{
    auto xmp = XmpPacket::parse(packet);
    ASSERT_TRUE(xmp.ok());
    auto props = xmp->properties();
    ASSERT_TRUE(props.ok());
    // Top-level values as ExifTool shows them: arrays joined with ", ", dates reformatted.
    for (size_t i = 0; i < props->size(); ++i) {
        const XmpProperty& p = (*props)[i];
        if (p.depth != 0 || p.kind == XmpKind::Struct) continue;
        // ExifTool converts these schemas' values (APEX, GPS, vocabulary URIs).
        if (p.prefix == "exif" || p.prefix == "aux" || p.prefix == "plus") continue;
        std::string ours = p.value;
        if (p.kind != XmpKind::Simple) {
            ours.clear();
            for (size_t j = i + 1; j < props->size() && (*props)[j].depth > 0; ++j) {
                if ((*props)[j].depth != 1 || (*props)[j].kind != XmpKind::Simple) continue;
                if (p.kind == XmpKind::AltText && (*props)[j].lang != "x-default") continue;
                if (!ours.empty()) ours += ", ";
                ours += (*props)[j].value;
            }
        }
        const std::string local = p.path.substr(p.path.find(':') + 1);
        auto sameName = [&](const ToolTag& t) {
            return t.group.rfind("XMP-", 0) == 0 &&
                   std::equal(t.name.begin(), t.name.end(), local.begin(), local.end(),
                              [](char a, char b) { return std::tolower(a) == std::tolower(b); });
        };
        auto named = std::find_if(tool.begin(), tool.end(), sameName);
        if (named == tool.end()) continue; // ExifTool renames some tags
        ++compared;
        const bool equal = std::any_of(tool.begin(), tool.end(), [&](const ToolTag& t) {
            if (!sameName(t)) return false;
            if (trimRight(t.value) == printable(xmpDateAsExifTool(ours))) return true;
            // Rationals ("720000/10000") come out as numbers.
            const auto slash = ours.find('/');
            if (slash != std::string::npos &&
                ours.find_first_not_of("0123456789/-") == std::string::npos) {
                const double v =
                    std::stod(ours.substr(0, slash)) / std::stod(ours.substr(slash + 1));
                return sameNumbers({v}, t.value);
            }
            return false;
        });
        if (equal)
            ++matched;
        else
            ADD_FAILURE() << p.path << " = [" << ours << "] ExifTool [" << named->value << "]";
    }
}

class CorpusJpeg : public ::testing::Test {
  protected:
    void SetUp() override
    {
        const auto probe = support::corpusPathOrEmpty("jpeg/Canon_40D.jpg");
        if (probe.empty()) GTEST_SKIP() << "corpus not available";
        if (!exifToolAvailable()) GTEST_SKIP() << "exiftool not installed";
        for (const auto& e : std::filesystem::directory_iterator(probe.parent_path()))
            m_files.push_back(e.path());
        std::sort(m_files.begin(), m_files.end());
    }
    std::vector<std::filesystem::path> m_files;
};

} // namespace

TEST_F(CorpusJpeg, ExifTagsAndValuesAgreeWithExifTool)
{
    size_t compared = 0;
    for (const auto& file : m_files) {
        SCOPED_TRACE(file.filename().string());
        const Bytes bytes = support::readFile(file);
        ByteSource src(bytes);
        auto layout = walkJpeg(src);
        ASSERT_TRUE(layout.ok());
        const Segment* app1 = findSegment(*layout, SegmentKind::Exif);
        const auto& tool = runExifTool(file);
        const bool toolHasExif = std::any_of(tool.begin(), tool.end(), [](const ToolTag& t) {
            return t.group == "IFD0" || t.group == "ExifIFD";
        });
        if (!app1) {
            EXPECT_FALSE(toolHasExif);
            continue;
        }
        auto content = readContent(src, *app1);
        ASSERT_TRUE(content.ok());
        auto tree = parseTiff(*content);
        ASSERT_TRUE(tree.ok());

        std::map<std::string, const Ifd*> ifds{{"IFD0", &tree->ifd0}};
        if (tree->exif) ifds["ExifIFD"] = &*tree->exif;
        if (tree->gps) ifds["GPS"] = &*tree->gps;
        if (tree->interop) ifds["InteropIFD"] = &*tree->interop;
        if (tree->ifd1) ifds["IFD1"] = &*tree->ifd1;

        // Every numbered tag ExifTool lists in these directories, with its value.
        for (const ToolTag& t : tool) {
            auto it = ifds.find(t.group);
            if (it == ifds.end() || t.id == "-") continue;
            SCOPED_TRACE(t.group + ":" + t.name);
            const IfdEntry* e = it->second->find(static_cast<uint16_t>(std::stoul(t.id)));
            ASSERT_NE(e, nullptr);
            ++compared;
            if (e->value.type == ValueType::LpStr) {
                EXPECT_EQ(printable(std::get<std::string>(e->value.data)), trimRight(t.value));
            } else if (e->value.type == ValueType::LpWStr) {
                EXPECT_EQ(printable(utf8(std::get<std::u16string>(e->value.data))),
                          trimRight(t.value));
            } else if (e->tag >= 40091 && e->tag <= 40095 && t.group == "IFD0") {
                // XP* fields: UTF-16LE text in BYTE arrays, shown as text.
                const auto& b = std::get<std::vector<uint8_t>>(e->value.data);
                std::u16string text;
                for (size_t k = 0; k + 1 < b.size(); k += 2)
                    text.push_back(static_cast<char16_t>(b[k] | (b[k + 1] << 8)));
                EXPECT_EQ(printable(utf8(text)), trimRight(t.value));
            } else if (e->value.type == ValueType::Blob) {
                if (e->tag == 41730) continue; // CFAPattern is re-laid out by ExifTool
                EXPECT_TRUE(sameBlob(std::get<std::vector<uint8_t>>(e->value.data), t.value))
                    << t.group << ":" << t.name << " ExifTool [" << t.value << "]";
            } else {
                std::vector<double> ours = *numbers(e->value);
                std::string theirs = t.value;
                exifToolValueConv(t.group, e->tag, ours, theirs, app1->contentOffset());
                EXPECT_TRUE(sameNumbers(ours, theirs))
                    << t.group << ":" << t.name << " ExifTool [" << t.value << "] ours "
                    << ::testing::PrintToString(ours);
            }
        }
        // And nothing we list is unknown to ExifTool (pointers and maker notes aside).
        for (const auto& named : ifds) {
            const std::string& group = named.first;
            for (const IfdEntry& e : named.second->entries) {
                if (isPointerTag(e.tag)) continue;
                const bool listed = std::any_of(tool.begin(), tool.end(), [&](const ToolTag& t) {
                    return t.group == group && t.id == std::to_string(e.tag);
                });
                EXPECT_TRUE(listed) << group << " tag " << e.tag;
            }
        }
        if (const IfdEntry* len = tree->ifd1 ? tree->ifd1->find(kTagThumbnailLength) : nullptr) {
            EXPECT_EQ(tree->thumbnail.size(), static_cast<size_t>((*numbers(len->value))[0]));
        }
    }
    EXPECT_GT(compared, 500u);
}

TEST_F(CorpusJpeg, IptcDatasetsAgreeWithExifTool)
{
    size_t compared = 0;
    for (const auto& file : m_files) {
        SCOPED_TRACE(file.filename().string());
        const Bytes bytes = support::readFile(file);
        ByteSource src(bytes);
        auto layout = walkJpeg(src);
        ASSERT_TRUE(layout.ok());
        const auto& tool = runExifTool(file);
        const bool toolHasIptc = std::any_of(tool.begin(), tool.end(),
                                             [](const ToolTag& t) { return t.group == "IPTC"; });
        auto block = assemblePhotoshop(src, *layout);
        if (!block) {
            EXPECT_FALSE(toolHasIptc);
            continue;
        }
        auto resources = parseImageResources(*block);
        ASSERT_TRUE(resources.ok());
        const ImageResource* r = findResource(*resources, kResourceIptc);
        EXPECT_EQ(r != nullptr, toolHasIptc);
        if (!r) continue;
        auto iptc = parseIptc(r->data);
        ASSERT_TRUE(iptc.ok());
        for (const IptcItem& item : groupIptc(*iptc)) {
            SCOPED_TRACE(std::string(item.name));
            std::string ours;
            if (iptcDatasetIsBinary(item.record, item.dataset)) {
                uint32_t n = 0;
                for (char c : item.values[0])
                    n = (n << 8) | static_cast<uint8_t>(c);
                ours = std::to_string(n);
            } else {
                for (const std::string& v : item.values) {
                    if (!ours.empty()) ours += ", ";
                    // ExifTool is told to read IPTC text as Latin; so is our decoder unless
                    // the block declares UTF-8.
                    ours += iptcTextToUtf8(v, iptc->utf8);
                }
            }
            if (item.record == 1 && item.dataset == 90) continue; // shown with escapes
            ours = iptcDateTimeAsExifTool(item.record, item.dataset, printable(ours));
            const bool found = std::any_of(tool.begin(), tool.end(), [&](const ToolTag& t) {
                return t.group == "IPTC" && t.id == std::to_string(item.dataset) &&
                       trimRight(t.value) == trimRight(ours);
            });
            EXPECT_TRUE(found) << ours;
            ++compared;
        }
    }
    EXPECT_GT(compared, 50u);
}

// Our read-only XMP reader lists a packet node for node as the toolkit does.
void expectReaderMatchesToolkit(const std::string& packet)
{
    auto toolkit = XmpPacket::parse(packet);
    ASSERT_TRUE(toolkit.ok());
    auto expected = toolkit->properties();
    ASSERT_TRUE(expected.ok());
    auto ours = readXmpProperties(packet);
    ASSERT_TRUE(ours.ok()) << errorText(ours.error());
    ASSERT_EQ(ours->size(), expected->size());
    for (size_t i = 0; i < ours->size(); ++i) {
        const XmpProperty &a = (*ours)[i], &b = (*expected)[i];
        EXPECT_EQ(a.path, b.path) << i;
        EXPECT_EQ(a.ns, b.ns) << a.path;
        EXPECT_EQ(a.prefix, b.prefix) << a.path;
        EXPECT_EQ(a.value, b.value) << a.path;
        EXPECT_EQ(a.lang, b.lang) << a.path;
        EXPECT_EQ(a.kind, b.kind) << a.path;
        EXPECT_EQ(a.depth, b.depth) << a.path;
    }
}

TEST_F(CorpusJpeg, XmpPropertiesAgreeWithExifTool)
{
    size_t compared = 0, matched = 0, extendedPackets = 0;
    for (const auto& file : m_files) {
        SCOPED_TRACE(file.filename().string());
        const Bytes bytes = support::readFile(file);
        ByteSource src(bytes);
        auto layout = walkJpeg(src);
        ASSERT_TRUE(layout.ok());
        const Segment* seg = findSegment(*layout, SegmentKind::Xmp);
        const auto& tool = runExifTool(file);
        const bool toolHasXmp = std::any_of(tool.begin(), tool.end(), [](const ToolTag& t) {
            return t.group.rfind("XMP-", 0) == 0;
        });
        if (!seg) {
            EXPECT_FALSE(toolHasXmp);
            continue;
        }
        auto content = readContent(src, *seg);
        ASSERT_TRUE(content.ok());
        const std::string main(content->begin(), content->end());
        compareXmp(main, tool, compared, matched);
        expectReaderMatchesToolkit(main);
        // Extended XMP: the main packet names the GUID of the chunks that continue it.
        auto parsedMain = XmpPacket::parse(main);
        ASSERT_TRUE(parsedMain.ok());
        if (auto guid = parsedMain->get(kNsXmpNote, "xmpNote:HasExtendedXMP")) {
            auto extended = assembleExtendedXmp(src, *layout, *guid);
            ASSERT_TRUE(extended.ok());
            const size_t before = compared;
            compareXmp(*extended, tool, compared, matched);
            expectReaderMatchesToolkit(*extended);
            EXPECT_GT(compared, before);
            ++extendedPackets;
        }
    }
    EXPECT_GT(compared, 100u);
    EXPECT_EQ(matched, compared);
    EXPECT_EQ(extendedPackets, 1u); // ultrahdr.jpg
}

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

TEST(TiffWriteCorpus, EveryCorpusExifRoundTripsThroughTheWriter)
{
    MIO_CORPUS_FILE(probe, "jpeg/Canon_40D.jpg");
    size_t trees = 0;
    for (const auto& entry : std::filesystem::directory_iterator(probe.parent_path())) {
        SCOPED_TRACE(entry.path().filename().string());
        const Bytes f = support::readFile(entry.path());
        ByteSource src(f);
        auto layout = walkJpeg(src);
        const Segment* app1 = layout ? findSegment(*layout, SegmentKind::Exif) : nullptr;
        if (!app1) continue;
        auto tree = parseTiff(*readContent(src, *app1));
        ASSERT_TRUE(tree.ok());
        for (auto order : {ByteOrder::LittleEndian, ByteOrder::BigEndian}) {
            TiffWriteOptions options;
            options.order = order;
            options.ifd0Padding = 100;
            options.exifPadding = 4096;
            auto bytes = writeTiff(*tree, options);
            ASSERT_TRUE(bytes.ok());
            auto back = parseTiff(*bytes);
            ASSERT_TRUE(back.ok());
            EXPECT_TRUE(back->problems.empty());
            auto same = [](const Ifd& a, const Ifd& b) {
                std::map<uint16_t, const TagValue*> values;
                for (const IfdEntry& e : b.entries)
                    values[e.tag] = &e.value;
                for (const IfdEntry& e : a.entries) {
                    if (isPointerTag(e.tag) && e.tag != 37500 && e.tag != 50341) continue;
                    if (e.tag == kTagThumbnailOffset) continue;
                    auto it = values.find(e.tag);
                    if (it == values.end() || it->second->type != e.value.type ||
                        it->second->data != e.value.data)
                        return false;
                }
                return true;
            };
            EXPECT_TRUE(same(tree->ifd0, back->ifd0));
            ASSERT_EQ(back->exif.has_value(), tree->exif.has_value());
            EXPECT_TRUE(!tree->exif || same(*tree->exif, *back->exif));
            ASSERT_EQ(back->gps.has_value(), tree->gps.has_value());
            EXPECT_TRUE(!tree->gps || same(*tree->gps, *back->gps));
            ASSERT_EQ(back->interop.has_value(), tree->interop.has_value());
            EXPECT_EQ(back->thumbnail, tree->thumbnail);
        }
        ++trees;
    }
    EXPECT_GE(trees, 20u);
}
