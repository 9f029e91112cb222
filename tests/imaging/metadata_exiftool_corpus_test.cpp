// SPDX-License-Identifier: MIT
// Every corpus JPEG through the query readers, tag by tag against ExifTool
// (-X -n -a -G1 -b -D): EXIF (IFD0, EXIF, GPS, interoperability, IFD1) and IPTC by tag id and
// value, XMP by namespace, name and value.
//
// ExifTool applies value conversions even with -n; where it does, the comparison converts our raw
// value the same way (rationals to decimals, IPTC dates and times, XMP dates, GPS coordinates in
// XMP) or, for conversions that are not one-to-one, only checks the tag is there (listed in
// kConvertedExif). XMP structures are left out: ExifTool flattens their fields into new tag
// names. Tags ExifTool synthesises (ThumbnailImage) have no id and are skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "imaging_test_util.h"
#include "support/test_support.h"

using namespace imgtest;

namespace {

struct EtTag {
    std::string group, name, id;
    bool base64 = false;
    std::vector<std::string> values; // one, or the items of a list
    std::vector<std::string> langs;  // xml:lang of each item, when given
    std::string joined() const
    {
        std::string s;
        for (const auto& v : values)
            s += (s.empty() ? "" : "|") + v;
        return s;
    }
};

std::string unescape(std::string_view s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '&') {
            out += s[i];
            continue;
        }
        const size_t semi = s.find(';', i);
        if (semi == std::string_view::npos) {
            out += s[i];
            continue;
        }
        const std::string_view e = s.substr(i + 1, semi - i - 1);
        if (e == "amp")
            out += '&';
        else if (e == "lt")
            out += '<';
        else if (e == "gt")
            out += '>';
        else if (e == "quot")
            out += '"';
        else if (e == "apos" || e == "#39")
            out += '\'';
        else if (!e.empty() && e[0] == '#') {
            const unsigned long cp = e.size() > 1 && e[1] == 'x'
                                         ? std::stoul(std::string(e.substr(2)), nullptr, 16)
                                         : std::stoul(std::string(e.substr(1)));
            if (cp < 0x80)
                out += static_cast<char>(cp);
            else if (cp < 0x800) {
                out += static_cast<char>(0xC0 | (cp >> 6));
                out += static_cast<char>(0x80 | (cp & 0x3F));
            } else {
                out += static_cast<char>(0xE0 | (cp >> 12));
                out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
                out += static_cast<char>(0x80 | (cp & 0x3F));
            }
        } else {
            out.append(s.substr(i, semi - i + 1));
        }
        i = semi;
    }
    return out;
}

std::string base64Decode(std::string_view s)
{
    std::string out;
    uint32_t acc = 0;
    int bits = 0;
    for (char c : s) {
        int v;
        if (c >= 'A' && c <= 'Z')
            v = c - 'A';
        else if (c >= 'a' && c <= 'z')
            v = c - 'a' + 26;
        else if (c >= '0' && c <= '9')
            v = c - '0' + 52;
        else if (c == '+')
            v = 62;
        else if (c == '/')
            v = 63;
        else
            continue;
        acc = acc << 6 | static_cast<uint32_t>(v);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((acc >> bits) & 0xFF);
        }
    }
    return out;
}

// The tags of ExifTool's -X output: one per " <Group:Name ...>" line at the top level.
std::vector<EtTag> exiftoolTags(const std::filesystem::path& file)
{
    const std::string cmd = "exiftool -X -n -a -G1 -b -D -EXIF:all -IPTC:all -XMP:all '" +
                            file.string() + "' 2>/dev/null";
    std::string xml;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[65536];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0)
            xml.append(buf, n);
        pclose(p);
    }
    std::vector<EtTag> tags;
    for (size_t at = xml.find("\n <"); at != std::string::npos; at = xml.find("\n <", at + 1)) {
        const size_t start = at + 3;
        const size_t gt = xml.find('>', start);
        if (gt == std::string::npos) break;
        const std::string head = xml.substr(start, gt - start);
        const size_t space = std::min(head.find(' '), head.size());
        const std::string qname = head.substr(0, space);
        const size_t colon = qname.find(':');
        if (colon == std::string::npos) continue;
        const std::string close = "</" + qname + ">";
        const size_t end = xml.find(close, gt);
        if (end == std::string::npos) break;
        EtTag t;
        t.group = qname.substr(0, colon);
        t.name = qname.substr(colon + 1);
        if (const size_t id = head.find("et:id='"); id != std::string::npos)
            t.id = head.substr(id + 7, head.find('\'', id + 7) - id - 7);
        t.base64 = head.find("base64") != std::string::npos;
        const std::string body = xml.substr(gt + 1, end - gt - 1);
        if (body.find("<rdf:li") != std::string::npos) {
            for (size_t li = body.find("<rdf:li"); li != std::string::npos;
                 li = body.find("<rdf:li", li + 1)) {
                const size_t liGt = body.find('>', li);
                const std::string attrs = body.substr(li, liGt - li);
                if (attrs.back() == '/') {
                    t.values.emplace_back();
                    t.langs.emplace_back();
                    continue;
                }
                const size_t liEnd = body.find("</rdf:li>", liGt);
                t.values.push_back(unescape(body.substr(liGt + 1, liEnd - liGt - 1)));
                const size_t lang = attrs.find("xml:lang='");
                t.langs.push_back(
                    lang == std::string::npos
                        ? ""
                        : attrs.substr(lang + 10, attrs.find('\'', lang + 10) - lang - 10));
            }
        } else {
            t.values.push_back(t.base64 ? base64Decode(body) : unescape(body));
        }
        tags.push_back(std::move(t));
        at = end;
    }
    return tags;
}

// ---- our side ----

ComPtr<IWICMetadataQueryReader> nestedReader(IWICMetadataQueryReader* r, const char* path)
{
    tavrel::PropVariant v;
    if (FAILED(r->GetMetadataByName(support::u16(path).c_str(), &v)) || v.vt != VT_UNKNOWN)
        return nullptr;
    ComPtr<IWICMetadataQueryReader> nested;
    v.punkVal->QueryInterface(IID_IWICMetadataQueryReader,
                              reinterpret_cast<void**>(nested.GetAddressOf()));
    return nested;
}

std::vector<std::string> enumerate(IWICMetadataQueryReader* r)
{
    std::vector<std::string> out;
    ComPtr<IEnumString> e;
    if (FAILED(r->GetEnumerator(e.GetAddressOf()))) return out;
    LPOLESTR s = nullptr;
    ULONG got = 0;
    while (e->Next(1, &s, &got) == S_OK) {
        out.push_back(support::u8(s));
        CoTaskMemFree(s);
    }
    return out;
}

// Items of a value as text, the way ExifTool prints them with -n: numbers in decimal, rationals
// as a quotient, strings as they are, blobs as their bytes.
std::vector<std::string> valueTexts(const PROPVARIANT& v)
{
    std::vector<std::string> out;
    auto rational = [](uint64_t packed, bool isSigned) {
        const auto lo = static_cast<uint32_t>(packed), hi = static_cast<uint32_t>(packed >> 32);
        const double num = isSigned ? static_cast<int32_t>(lo) : lo;
        const double den = isSigned ? static_cast<int32_t>(hi) : hi;
        if (den == 0) return std::string(num == 0 ? "undef" : "inf");
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.15g", num / den);
        return std::string(buf);
    };
    const VARTYPE base = v.vt & ~VT_VECTOR;
    const bool vec = (v.vt & VT_VECTOR) != 0;
    const ULONG n = vec ? v.caub.cElems : 1;
    for (ULONG i = 0; i < n; ++i) {
        switch (base) {
        case VT_UI1:
            out.push_back(std::to_string(vec ? v.caub.pElems[i] : v.bVal));
            break;
        case VT_I1:
            out.push_back(std::to_string(vec ? v.cac.pElems[i] : v.cVal));
            break;
        case VT_UI2:
            out.push_back(std::to_string(vec ? v.caui.pElems[i] : v.uiVal));
            break;
        case VT_I2:
            out.push_back(std::to_string(vec ? v.cai.pElems[i] : v.iVal));
            break;
        case VT_UI4:
            out.push_back(std::to_string(vec ? v.caul.pElems[i] : v.ulVal));
            break;
        case VT_I4:
            out.push_back(std::to_string(vec ? v.cal.pElems[i] : v.lVal));
            break;
        case VT_UI8:
            out.push_back(rational(vec ? v.cauh.pElems[i].QuadPart : v.uhVal.QuadPart, false));
            break;
        case VT_I8:
            out.push_back(rational(
                static_cast<uint64_t>(vec ? v.cah.pElems[i].QuadPart : v.hVal.QuadPart), true));
            break;
        case VT_R4:
            out.push_back(std::to_string(vec ? v.caflt.pElems[i] : v.fltVal));
            break;
        case VT_R8:
            out.push_back(std::to_string(vec ? v.cadbl.pElems[i] : v.dblVal));
            break;
        case VT_LPSTR:
            out.push_back(vec ? v.calpstr.pElems[i] : v.pszVal);
            break;
        case VT_LPWSTR:
            out.push_back(support::u8(vec ? v.calpwstr.pElems[i] : v.pwszVal));
            break;
        case VT_BLOB:
            out.emplace_back(reinterpret_cast<const char*>(v.blob.pBlobData), v.blob.cbSize);
            break;
        default:
            out.push_back("<vt " + std::to_string(v.vt) + ">");
            break;
        }
    }
    return out;
}

// Trailing spaces and NULs go, and control characters, which ExifTool's XML cannot carry.
std::string trimEnd(std::string s)
{
    std::erase_if(s, [](char c) { return c != 0 && c != '\n' && c > 0 && c < 0x20; });
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0' || s.back() == '\n'))
        s.pop_back();
    return s;
}

bool numberOf(const std::string& s, double& out)
{
    if (s.empty()) return false;
    char* end = nullptr;
    const size_t slash = s.find('/');
    if (slash != std::string::npos) {
        double a, b;
        if (!numberOf(s.substr(0, slash), a) || !numberOf(s.substr(slash + 1), b) || b == 0)
            return false;
        out = a / b;
        return true;
    }
    out = std::strtod(s.c_str(), &end);
    return end && *end == 0;
}

bool sameNumber(const std::string& a, const std::string& b)
{
    double x, y;
    if (!numberOf(a, x) || !numberOf(b, y)) return false;
    return std::fabs(x - y) <= 1e-9 * std::max(1.0, std::fabs(x));
}

// Space-separated numbers compared one by one; otherwise exact text.
bool sameText(const std::string& ours, const std::string& theirs)
{
    const std::string a = trimEnd(ours), b = trimEnd(theirs);
    if (a == b || sameNumber(a, b)) return true;
    std::istringstream sa(a), sb(b);
    std::vector<std::string> ta, tb;
    for (std::string t; sa >> t;)
        ta.push_back(t);
    for (std::string t; sb >> t;)
        tb.push_back(t);
    if (ta.size() < 2 || ta.size() != tb.size()) return false;
    for (size_t i = 0; i < ta.size(); ++i)
        if (!sameNumber(ta[i], tb[i])) return false;
    return true;
}

// ---- EXIF ----

// Tags whose ExifTool value is not a one-to-one image of the stored one even with -n: APEX
// values it turns into seconds or f-numbers, character-coded comments and UCS-2 Windows tags
// it decodes, GPS coordinates and times it turns into decimals, maker notes it parses, the CFA
// pattern it re-packs, and ExposureCompensation, which it reads as signed whatever type the
// file gives (we keep the stored type, as the platform does).
const std::set<std::string> kConvertedExif = {
    "37377", "37378", "37381", "37510", "40091", "40092", "40093", "40094", "40095", "37500",
    "2",     "4",     "7",     "20",    "22",    "27",    "28",    "0",     "36880", "36881",
    "36882", "37520", "37521", "37522", "41728", "41729", "33723", "34665", "34853", "40965",
    "513",   "514",   "50341", "59932", "37393", "18246", "18249", "41730", "37380"};

struct ExifBlock {
    const char* group;
    const char* path;
};
const ExifBlock kExifBlocks[] = {{"IFD0", "/app1/ifd"},
                                 {"ExifIFD", "/app1/ifd/exif"},
                                 {"GPS", "/app1/ifd/gps"},
                                 {"InteropIFD", "/app1/ifd/exif/interop"},
                                 {"IFD1", "/app1/thumb"}};

void compareExif(IWICMetadataQueryReader* root, const std::vector<EtTag>& tags, size_t& compared)
{
    for (const ExifBlock& b : kExifBlocks) {
        auto block = nestedReader(root, b.path);
        std::set<std::string> theirIds;
        for (const EtTag& t : tags) {
            if (t.group != b.group || t.id.empty() ||
                t.id.find_first_not_of("0123456789") != std::string::npos)
                continue;
            theirIds.insert(t.id);
            ASSERT_TRUE(block) << b.path << " missing, ExifTool has " << t.name;
            tavrel::PropVariant v;
            const std::string q = "/{ushort=" + t.id + "}";
            ASSERT_EQ(block->GetMetadataByName(support::u16(q).c_str(), &v), S_OK)
                << b.path << q << " (" << t.name << ")";
            if (kConvertedExif.count(t.id)) continue;
            const auto ours = valueTexts(v);
            std::string joined;
            for (const auto& s : ours)
                joined += (joined.empty() ? "" : " ") + s;
            const std::string theirs = t.joined();
            bool same = sameText(joined, theirs);
            if (!same && v.vt == VT_BLOB) {
                // Undefined bytes: ExifTool prints short ones as numbers or as text.
                std::string bytes;
                for (unsigned char c : ours[0])
                    bytes += (bytes.empty() ? "" : " ") + std::to_string(c);
                same = bytes == theirs || trimEnd(ours[0]) == trimEnd(theirs);
            }
            EXPECT_TRUE(same) << b.path << q << " (" << t.name << "): ours '" << joined
                              << "', ExifTool '" << theirs << "'";
            ++compared;
        }
        // Our side: every tag we list is one ExifTool lists, bar pointers and maker notes.
        if (!block) continue;
        for (const std::string& name : enumerate(block.Get())) {
            if (name.rfind("/{ushort=", 0) != 0) continue; // nested blocks
            const std::string id = name.substr(9, name.size() - 10);
            // Pointers, maker notes, the PrintIM block (its own ExifTool group) and the
            // Windows padding tag ExifTool hides.
            if (id == "37500" || id == "34665" || id == "34853" || id == "40965" || id == "513" ||
                id == "514" || id == "50341" || id == "59932")
                continue;
            EXPECT_TRUE(theirIds.count(id)) << b.path << name << " is not listed by ExifTool";
        }
    }
}

// ---- IPTC ----

std::string iptcDate(const std::string& s)
{
    if (s.size() == 8 && s.find_first_not_of("0123456789") == std::string::npos)
        return s.substr(0, 4) + ":" + s.substr(4, 2) + ":" + s.substr(6, 2);
    return s;
}
std::string iptcTime(const std::string& s)
{
    if (s.size() == 11 && (s[6] == '+' || s[6] == '-'))
        return s.substr(0, 2) + ":" + s.substr(2, 2) + ":" + s.substr(4, 2) + s.substr(6, 3) + ":" +
               s.substr(9, 2);
    return s;
}

void compareIptc(IWICMetadataQueryReader* root, const std::vector<EtTag>& tags, size_t& compared)
{
    auto iptc = nestedReader(root, "/app13/irb/8bimiptc/iptc");
    for (const EtTag& t : tags) {
        if (t.group != "IPTC" || t.id.empty()) continue;
        ASSERT_TRUE(iptc) << "no IPTC block, ExifTool has " << t.name;
        const int dataset = std::stoi(t.id);
        // The enumerated items whose dataset number is this one (records 1 and 2 share numbers).
        bool found = false, matched = false;
        std::string oursSeen;
        for (int record : {2, 1, 3, 7, 8, 9}) {
            tavrel::PropVariant v;
            const std::string q = "/{ushort=" + std::to_string(record << 8 | dataset) + "}";
            if (FAILED(iptc->GetMetadataByName(support::u16(q).c_str(), &v))) continue;
            found = true;
            auto ours = valueTexts(v);
            for (auto& s : ours) {
                s = iptcTime(iptcDate(trimEnd(s)));
                oursSeen += s + "|";
            }
            // A dataset repeated where the format allows one: ExifTool lists each copy as a
            // tag of its own, we give them together.
            if (t.values.size() == 1 && ours.size() > 1) {
                for (const std::string& one : ours)
                    matched = matched || sameText(one, trimEnd(t.values[0]));
                continue;
            }
            if (ours.size() != t.values.size()) continue;
            bool all = true;
            for (size_t i = 0; i < ours.size(); ++i) {
                std::string theirs = trimEnd(t.values[i]);
                bool same = sameText(ours[i], theirs);
                if (!same && v.vt == VT_BLOB && ours[i].size() <= 4) { // binary datasets
                    uint32_t n = 0;
                    for (unsigned char c : ours[i])
                        n = n << 8 | c;
                    same = std::to_string(n) == theirs;
                }
                all = all && same;
            }
            matched = matched || all;
        }
        EXPECT_TRUE(found) << "IPTC dataset " << dataset << " (" << t.name << ") missing";
        EXPECT_TRUE(!found || matched)
            << "IPTC " << t.name << ": ours '" << oursSeen << "', ExifTool '" << t.joined() << "'";
        ++compared;
    }
}

// ---- XMP ----

// ExifTool's group names for the prefixes whose name it changes.
std::string groupOf(const std::string& prefix)
{
    static const std::map<std::string, std::string> kGroups = {{"Iptc4xmpCore", "iptcCore"},
                                                               {"Iptc4xmpExt", "iptcExt"},
                                                               {"MicrosoftPhoto", "microsoft"},
                                                               {"MP", "MP"},
                                                               {"xap", "xmp"},
                                                               {"xapMM", "xmpMM"},
                                                               {"xapRights", "xmpRights"},
                                                               {"mwg-rs", "mwg-rs"}};
    auto it = kGroups.find(prefix);
    return "XMP-" + (it == kGroups.end() ? prefix : it->second);
}

bool equalNoCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(x) == std::tolower(y);
           });
}

// XMP text the way ExifTool converts it: dates with colons and a space, GPS coordinates
// ("38,53.4142N") in signed decimal degrees, PLUS vocabulary URIs without their base.
std::string xmpText(const std::string& s)
{
    constexpr std::string_view kPlusVocab = "http://ns.useplus.org/ldf/vocab/";
    if (s.starts_with(kPlusVocab)) return s.substr(kPlusVocab.size());
    if (s.size() >= 10 && s[4] == '-' && s[7] == '-' && std::isdigit(s[0])) {
        std::string d = s.substr(0, 4) + ":" + s.substr(5, 2) + ":" + s.substr(8, 2);
        if (s.size() > 10 && s[10] == 'T')
            d += " " + s.substr(11);
        else
            d += s.substr(10);
        return d;
    }
    if (s.size() > 3 &&
        (s.back() == 'N' || s.back() == 'S' || s.back() == 'E' || s.back() == 'W')) {
        const size_t comma = s.find(',');
        if (comma != std::string::npos) {
            double deg, rest;
            const std::string r = s.substr(comma + 1, s.size() - comma - 2);
            double minutes = 0;
            if (numberOf(s.substr(0, comma), deg)) {
                const size_t c2 = r.find(',');
                if (c2 == std::string::npos
                        ? numberOf(r, minutes)
                        : (numberOf(r.substr(0, c2), minutes) && numberOf(r.substr(c2 + 1), rest) &&
                           (minutes += rest / 60, true))) {
                    double v = deg + minutes / 60;
                    if (s.back() == 'S' || s.back() == 'W') v = -v;
                    char buf[64];
                    std::snprintf(buf, sizeof buf, "%.15g", v);
                    return buf;
                }
            }
        }
    }
    return s;
}

// XMP-exif values ExifTool converts beyond decimals (APEX values, flags it renders).
// ColorSpace it masks to 16 bits (a file's 4294967295 reads as 65535).
const std::set<std::string> kConvertedXmp = {"ShutterSpeedValue", "ApertureValue",
                                             "MaxApertureValue", "GPSTimeStamp", "ColorSpace"};

void compareXmp(IWICMetadataQueryReader* root, const std::vector<EtTag>& tags, size_t& compared,
                size_t& unmatched)
{
    auto xmp = nestedReader(root, "/xmp");
    if (!xmp) return;
    for (const std::string& name : enumerate(xmp.Get())) {
        const size_t colon = name.find(':');
        if (colon == std::string::npos) continue;
        const std::string prefix = name.substr(1, colon - 1), local = name.substr(colon + 1);
        tavrel::PropVariant v;
        ASSERT_EQ(xmp->GetMetadataByName(support::u16(name).c_str(), &v), S_OK) << name;
        std::vector<std::string> ours;
        std::vector<std::string> langs;
        if (v.vt == VT_UNKNOWN) {
            auto nested = nestedReader(xmp.Get(), name.c_str());
            ASSERT_TRUE(nested);
            GUID format{};
            nested->GetContainerFormat(&format);
            if (format == GUID_MetadataFormatXMP)
                continue; // ExifTool flattens structures into other names
            bool simpleItems = true;
            for (const std::string& item : enumerate(nested.Get())) {
                tavrel::PropVariant iv;
                ASSERT_EQ(nested->GetMetadataByName(support::u16(item).c_str(), &iv), S_OK);
                if (iv.vt != VT_LPWSTR)
                    simpleItems = false;
                else
                    ours.push_back(xmpText(support::u8(iv.pwszVal)));
                langs.push_back(item.rfind("/{", 0) == 0 ? "" : item.substr(1));
            }
            if (!simpleItems) continue; // arrays of structures: flattened as well
        } else {
            ASSERT_EQ(v.vt, VT_LPWSTR) << name;
            ours.push_back(xmpText(support::u8(v.pwszVal)));
        }
        const std::string group = groupOf(prefix);
        const EtTag* match = nullptr;
        for (const EtTag& t : tags)
            if (equalNoCase(t.group, group) && equalNoCase(t.name, local)) match = &t;
        if (!match) {
            ++unmatched; // ExifTool names this one differently
            continue;
        }
        if (kConvertedXmp.count(match->name)) continue;
        if (!langs.empty() && !langs[0].empty()) {
            // A language alternative: ExifTool shows x-default under the plain name.
            EXPECT_TRUE(sameText(ours[0], match->values[0]))
                << name << ": ours '" << ours[0] << "', ExifTool '" << match->values[0] << "'";
        } else {
            EXPECT_EQ(ours.size(), match->values.size())
                << name << ": ExifTool '" << match->joined() << "'";
            for (size_t i = 0; i < std::min(ours.size(), match->values.size()); ++i)
                EXPECT_TRUE(sameText(ours[i], match->values[i]))
                    << name << "[" << i << "]: ours '" << ours[i] << "', ExifTool '"
                    << match->values[i] << "'";
        }
        ++compared;
    }
}

TEST(MetadataExiftoolCorpus, EveryJpegAgreesTagByTag)
{
    if (std::system("command -v exiftool >/dev/null 2>&1") != 0) GTEST_SKIP() << "no exiftool";
    const auto dir = support::corpusDir() / "jpeg";
    if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "corpus not available";
    size_t files = 0, compared = 0, unmatchedXmp = 0;
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().extension() == ".jpg") paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    for (const auto& path : paths) {
        SCOPED_TRACE(path.filename().string());
        ComPtr<IWICBitmapDecoder> decoder;
        if (FAILED(decoderFromFile(path, decoder))) continue;
        ComPtr<IWICBitmapFrameDecode> frame;
        ASSERT_EQ(decoder->GetFrame(0, frame.GetAddressOf()), S_OK);
        ComPtr<IWICMetadataQueryReader> root;
        ASSERT_EQ(frame->GetMetadataQueryReader(root.GetAddressOf()), S_OK);
        const auto tags = exiftoolTags(path);
        compareExif(root.Get(), tags, compared);
        compareIptc(root.Get(), tags, compared);
        compareXmp(root.Get(), tags, compared, unmatchedXmp);
        ++files;
    }
    EXPECT_GT(files, 20u);
    // Most XMP names match ExifTool's directly; the rest are ExifTool's own renamings.
    EXPECT_GT(compared, 1000u);
    EXPECT_LT(unmatchedXmp * 10, compared) << unmatchedXmp << " XMP names without a match";
}

} // namespace
