// SPDX-License-Identifier: MIT
// Constant tag rows of the EXIF, IPTC and XMP catalogues and their lookups.
#include "metadata/tag_catalogue.h"

namespace mio {

namespace {

// Display names are published exactly as callers have always seen them, misspellings included.
constexpr TagCatalogueRow kExifRows[] = {
    {0, u"/{ushort=36864}", u"EXIF version"},
    {1, u"/{ushort=40960}", u"Flashpix version"},
    {2, u"/{ushort=40961}", u"Color space information"},
    {3, u"/{ushort=37121}", u"Components configuration"},
    {4, u"/{ushort=37122}", u"Compressed bits per pixel"},
    {5, u"/{ushort=40962}", u"Pixel X dimension"},
    {6, u"/{ushort=40963}", u"Pixel Y dimension"},
    {7, u"/{ushort=37500}", u"Maker note"},
    {8, u"/{ushort=37510}", u"User comment"},
    {9, u"/{ushort=40964}", u"Related sound file"},
    {10, u"/{ushort=36867}", u"Date and time of original generation"},
    {11, u"/{ushort=36868}", u"Date and time of digitized generation"},
    {12, u"/{ushort=37520}", u"DateTime subseconds"},
    {13, u"/{ushort=37521}", u"Date/Time original subseconds"},
    {14, u"/{ushort=37522}", u"Date/Time digitized subseconds"},
    {15, u"/{ushort=33434}", u"Exposure time"},
    {16, u"/{ushort=33437}", u"F number"},
    {17, u"/{ushort=34850}", u"Exposure program"},
    {18, u"/{ushort=34852}", u"Spectral sensitivity"},
    {19, u"/{ushort=34855}", u"ISO speed ratings"},
    {20, u"/{ushort=34856}", u"OECF"},
    {21, u"/{ushort=37377}", u"Shutter speed (APEX)"},
    {22, u"/{ushort=37378}", u"Aperture (APEX)"},
    {23, u"/{ushort=37379}", u"Brightness (APEX)"},
    {24, u"/{ushort=37380}", u"Exposure bias (APEX)"},
    {25, u"/{ushort=37381}", u"Maximum lens aperture (APEX)"},
    {26, u"/{ushort=37382}", u"Subject distance"},
    {27, u"/{ushort=37383}", u"Metering mode"},
    {28, u"/{ushort=37384}", u"Light source"},
    {29, u"/{ushort=37385}", u"Flash"},
    {30, u"/{ushort=37386}", u"Focal length"},
    {31, u"/{ushort=37396}", u"Subject area"},
    {32, u"/{ushort=41483}", u"Flash energy"},
    {33, u"/{ushort=41484}", u"Spatial frequency response"},
    {34, u"/{ushort=41486}", u"Focal plane X resolution"},
    {35, u"/{ushort=41487}", u"Focal plane Y resolution"},
    {36, u"/{ushort=41488}", u"Focal plane resolution unit"},
    {37, u"/{ushort=41492}", u"Subject location"},
    {38, u"/{ushort=41493}", u"Exposure ondex"},
    {39, u"/{ushort=41495}", u"Sensing method"},
    {40, u"/{ushort=41728}", u"File source"},
    {41, u"/{ushort=41729}", u"Scene type"},
    {42, u"/{ushort=41730}", u"CFA pattern"},
    {43, u"/{ushort=40965}", u"Interoperability IFD"},
    {44, u"/{ushort=1}", u"Interoperability Index"},
    {45, u"", u"R98 version"},
    {46, u"/{ushort=41985}", u"Custom rendered"},
    {47, u"/{ushort=41986}", u"Exposure mode"},
    {48, u"/{ushort=41987}", u"White balance"},
    {49, u"/{ushort=41988}", u"Digital zoom ratio"},
    {50, u"/{ushort=41989}", u"Focal length 35mm"},
    {51, u"/{ushort=41990}", u"Scene capture type"},
    {52, u"/{ushort=41991}", u"Gain control"},
    {53, u"/{ushort=41992}", u"Contrast"},
    {54, u"/{ushort=41993}", u"Satuatio"},
    {55, u"/{ushort=41994}", u"Sharpness"},
    {56, u"/{ushort=41995}", u"Device setting description"},
    {57, u"/{ushort=41996}", u"Subject distance range"},
    {100, u"/{ushort=271}", u"Make"},
    {101, u"/{ushort=272}", u"Model"},
    {102, u"/{ushort=306}", u"DateTime"},
    {103, u"/{ushort=274}", u"Orientation"},
    {104, u"/{ushort=270}", u"Image description"},
};

constexpr TagCatalogueRow kIptcRows[] = {
    {0, u"/{str=Record Version}", u"Record version"},
    {1, u"/{str=Object Name}", u"Object name"},
    {2, u"/{str=Urgency}", u"Urgency"},
    {3, u"/{str=Category}", u"Category"},
    {4, u"/{str=Supplemental Categories}", u"Supplemental categories"},
    {5, u"/{str=Keywords}", u"Keywords"},
    {6, u"/{str=Special Instructions}", u"Special instructions"},
    {7, u"/{str=Date Created}", u"Date created"},
    {8, u"/{str=By-line}", u"By-line"},
    {9, u"/{str=By-line Title}", u"By-line title"},
    {10, u"/{str=City}", u"City"},
    {11, u"/{str=Province-State}", u"Province-state"},
    {12, u"/{str=Country-Primary Location Name}", u"Country-primary location name"},
    {13, u"/{str=Original Transmission Reference}", u"Original transmission reference"},
    {14, u"/{str=Headline}", u"Headline"},
    {15, u"/{str=Credit}", u"Credit"},
    {16, u"/{str=Source}", u"Source"},
    {17, u"/{str=Copyright Notice}", u"Copyright notice"},
    {18, u"/{str=Caption-Abstract}", u"Caption-abstract"},
    {19, u"/{str=Writer-Editor}", u"Writer-editor"},
};

constexpr TagCatalogueRow kXmpRows[] = {
    {0, u"/xmp:Rating", u"xmp:Rating"},
    {1, u"/dc:subject", u"dc:subjec"},
    {2, u"/MicrosoftPhoto:Rating", u"MicrosoftPhoto:Rating"},
    {3, u"/MicrosoftPhoto:LastKeywordXMP", u"MicrosoftPhoto:LastKeywordXMP"},
    {4, u"/dc:title", u"dc:title"},
};

constexpr std::string_view kXmpRewriterNames[] = {
    "xmp:Rating", "dc:subject", "MicrosoftPhoto:Rating", "MicrosoftPhoto:LastKeywordXMP",
    "dc:title",
};
// One entry per code 0..7; codes without a catalogue have no rows.
constexpr std::span<const TagCatalogueRow> kFormats[] = {
    {},        // none
    kExifRows, // MetaFormatExif
    kIptcRows, // MetaFormatIptc
    {},        // MetaFormatId3v1
    {},        // MetaFormatId3v2
    {},        // MetaFormatVorbisComment
    {},        // MetaFormatAsfAttributes
    kXmpRows,  // MetaFormatXmp
};

static_assert(std::size(kExifRows) == 63 && std::size(kIptcRows) == 20 &&
              std::size(kXmpRows) == 5 && std::size(kXmpRewriterNames) == kXmpRewriterNameCount);

constexpr bool ascending(std::span<const TagCatalogueRow> rows)
{
    for (size_t i = 1; i < rows.size(); ++i)
        if (rows[i - 1].tag >= rows[i].tag) return false;
    return true;
}
static_assert(ascending(kExifRows) && ascending(kIptcRows) && ascending(kXmpRows));

const TagCatalogueRow* findRow(int32_t nMetaFormat, int32_t nMetaTag)
{
    const std::span<const TagCatalogueRow> rows = tagCatalogue(nMetaFormat);
    // Most tags sit at the row of their own number; the rest (EXIF 100..104) need the scan.
    const auto index = static_cast<uint32_t>(nMetaTag);
    if (index < rows.size() && rows[index].tag == nMetaTag) return &rows[index];
    for (const TagCatalogueRow& row : rows)
        if (row.tag == nMetaTag) return &row;
    return nullptr;
}

// Case folding of the C runtime's wide compare in the "C" locale: ASCII letters only.
constexpr char16_t foldCase(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool equalIgnoringCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (foldCase(a[i]) != foldCase(b[i])) return false;
    return true;
}

} // namespace

std::span<const TagCatalogueRow> tagCatalogue(int32_t nMetaFormat)
{
    if (nMetaFormat < 0 || nMetaFormat >= static_cast<int32_t>(std::size(kFormats))) return {};
    return kFormats[nMetaFormat];
}

std::optional<std::u16string_view> GetTagPath(int32_t nMetaFormat, int32_t nMetaTag)
{
    if (const TagCatalogueRow* row = findRow(nMetaFormat, nMetaTag)) return row->path;
    return std::nullopt;
}

std::optional<std::u16string_view> GetTagDisplayName(int32_t nMetaFormat, int32_t nMetaTag)
{
    if (const TagCatalogueRow* row = findRow(nMetaFormat, nMetaTag)) return row->display;
    return std::nullopt;
}

int32_t FindTagByPath(int32_t nMetaFormat, std::u16string_view name)
{
    // A row without a path is never enumerated, so an empty name must not find it.
    for (const TagCatalogueRow& row : tagCatalogue(nMetaFormat))
        if (!row.path.empty() && equalIgnoringCase(row.path, name)) return row.tag;
    return -1;
}

std::string_view xmpRewriterName(int32_t index)
{
    if (index < 0 || index >= kXmpRewriterNameCount) return {};
    return kXmpRewriterNames[index];
}

int32_t findXmpRewriterIndex(std::string_view path)
{
    if (path.empty() || path.front() != '/') return -1;
    path.remove_prefix(1);
    for (int32_t i = 0; i < kXmpRewriterNameCount; ++i)
        if (kXmpRewriterNames[i] == path) return i;
    return -1;
}

} // namespace mio
