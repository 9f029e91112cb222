// SPDX-License-Identifier: MIT
// The read-only XMP reader against the XMP toolkit's own listing of the same packets, its
// refusals of broken XML and RDF, and the merge of an extended packet.
#include "mio/formats/xmp_reader.h"

#include <gtest/gtest.h>

#include <string>

using namespace mio::formats;

namespace {

std::string packet(std::string_view descriptions)
{
    return "<?xpacket begin=\"\xEF\xBB\xBF\" id=\"W5M0MpCehiHzreSzNTczkc9d\"?>\n"
           "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
           "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">" +
           std::string(descriptions) + "</rdf:RDF></x:xmpmeta>\n<?xpacket end=\"w\"?>";
}

std::string describe(const XmpProperty& p)
{
    static const char* const kKinds[] = {"simple", "struct", "bag", "seq", "alt", "alttext"};
    return p.ns + " " + p.prefix + " " + p.path + " = '" + p.value + "' lang=" + p.lang + " " +
           kKinds[static_cast<int>(p.kind)] + " depth " + std::to_string(p.depth);
}

// Both listings, node by node.
void expectSameAsToolkit(const std::string& xml)
{
    auto toolkit = XmpPacket::parse(xml);
    ASSERT_TRUE(toolkit.ok()) << xml;
    auto expected = toolkit->properties();
    ASSERT_TRUE(expected.ok());
    auto mine = readXmpProperties(xml);
    ASSERT_TRUE(mine.ok()) << errorText(mine.error()) << "\n" << xml;
    std::string want, got;
    for (const XmpProperty& p : *expected)
        want += describe(p) + "\n";
    for (const XmpProperty& p : *mine)
        got += describe(p) + "\n";
    EXPECT_EQ(got, want) << xml;
}

const char* const kNs = " xmlns:dc='http://purl.org/dc/elements/1.1/'"
                        " xmlns:xmp='http://ns.adobe.com/xap/1.0/'"
                        " xmlns:exif='http://ns.adobe.com/exif/1.0/'"
                        " xmlns:tiff='http://ns.adobe.com/tiff/1.0/'"
                        " xmlns:photoshop='http://ns.adobe.com/photoshop/1.0/'"
                        " xmlns:Iptc4xmpCore='http://iptc.org/std/Iptc4xmpCore/1.0/xmlns/'"
                        " xmlns:stDim='http://ns.adobe.com/xap/1.0/sType/Dimensions#'"
                        " xmlns:xmpTPg='http://ns.adobe.com/xap/1.0/t/pg/'";

std::string desc(std::string_view attrs, std::string_view body, std::string_view about = "")
{
    return "<rdf:Description rdf:about='" + std::string(about) + "'" + kNs + " " +
           std::string(attrs) + ">" + std::string(body) + "</rdf:Description>";
}

TEST(XmpReader, ListsLikeTheToolkit)
{
    // Attributes as properties, simple elements with entities and CDATA, arrays of each kind.
    expectSameAsToolkit(packet(
        desc("xmp:Rating='3' xmp:Label='a &amp; b&#x263A;'",
             "<xmp:CreatorTool>Tool &lt;1&gt; <![CDATA[<raw>]]></xmp:CreatorTool>"
             "<dc:subject><rdf:Bag><rdf:li>one</rdf:li><rdf:li>two</rdf:li><rdf:li/></rdf:Bag>"
             "</dc:subject>"
             "<dc:creator><rdf:Seq><rdf:li>A</rdf:li><rdf:li>B</rdf:li></rdf:Seq></dc:creator>"
             "<exif:Flash rdf:parseType='Resource'><exif:Fired>False</exif:Fired>"
             "<exif:Mode>2</exif:Mode></exif:Flash>")));
    // Structs as nested descriptions and as attributes, arrays of structs, rdf:resource,
    // rdf:value with a qualifier, an alternative without languages.
    expectSameAsToolkit(packet(
        desc("", "<xmpTPg:MaxPageSize><rdf:Description stDim:w='4' stDim:h='3'><stDim:unit>inch"
                 "</stDim:unit></rdf:Description></xmpTPg:MaxPageSize>"
                 "<Iptc4xmpCore:CreatorContactInfo Iptc4xmpCore:CiAdrCity='Paris' "
                 "Iptc4xmpCore:CiEmailWork='a@b.c'/>"
                 "<xmpTPg:Fonts><rdf:Bag><rdf:li rdf:parseType='Resource'><stDim:w>1</stDim:w>"
                 "</rdf:li><rdf:li><rdf:Description stDim:w='2'/></rdf:li></rdf:Bag></xmpTPg:Fonts>"
                 "<xmp:BaseURL rdf:resource='http://example.com/'/>"
                 "<xmp:Nickname rdf:parseType='Resource'><rdf:value>nick</rdf:value>"
                 "<xmp:Label>qualifier</xmp:Label></xmp:Nickname>"
                 "<xmp:Thumbnails><rdf:Alt><rdf:li>x</rdf:li><rdf:li>y</rdf:li></rdf:Alt>"
                 "</xmp:Thumbnails>")));
    // Schemas listed in order of first appearance even when descriptions interleave them;
    // Dublin Core simple values become arrays; upper-case languages are lowered.
    expectSameAsToolkit(
        packet(desc("xmp:Rating='1'", "<dc:title xml:lang='EN-us'>Only</dc:title>") +
               desc("dc:subject='single' exif:ExposureTime='1/8'", "<xmp:Label>L</xmp:Label>") +
               desc("", "<dc:description>plain</dc:description><dc:rights><rdf:Alt>"
                        "<rdf:li xml:lang='FR'>r</rdf:li></rdf:Alt></dc:rights>")));
}

TEST(XmpReader, MovesXDefaultFirstKeepingEveryItem)
{
    // The toolkit's own listing of this packet repeats "Title" under de-DE and loses "Titel":
    // the items move whole here.
    auto mine = readXmpProperties(
        packet(desc("", "<dc:title><rdf:Alt><rdf:li xml:lang='DE-de'>Titel</rdf:li>"
                        "<rdf:li xml:lang='en'>Name</rdf:li>"
                        "<rdf:li xml:lang='x-default'>Title</rdf:li></rdf:Alt></dc:title>")));
    ASSERT_TRUE(mine.ok());
    ASSERT_EQ(mine->size(), 4u);
    EXPECT_EQ((*mine)[0].kind, XmpKind::AltText);
    const std::pair<const char*, const char*> items[] = {
        {"Title", "x-default"}, {"Name", "en"}, {"Titel", "de-DE"}};
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ((*mine)[i + 1].path, "dc:title[" + std::to_string(i + 1) + "]");
        EXPECT_EQ((*mine)[i + 1].value, items[i].first);
        EXPECT_EQ((*mine)[i + 1].lang, items[i].second);
    }
}

TEST(XmpReader, AppliesTheToolkitsModelFixes)
{
    // Aliases move to their base unless it is there; exif:DateTimeDigitized yields to
    // xmp:CreateDate; a UUID in rdf:about becomes xmpMM:InstanceID; exif:UserComment as a
    // plain alternative is repaired into a language alternative.
    expectSameAsToolkit(packet(
        desc("tiff:ImageDescription='desc' tiff:Software='sw' photoshop:Caption='cap' "
             "tiff:Artist='art' exif:DateTimeDigitized='2020-01-01T00:00:00'",
             "<xmp:CreateDate>2021-01-01</xmp:CreateDate>"
             "<exif:UserComment><rdf:Alt><rdf:li>c1</rdf:li><rdf:li xml:lang='en'>c2</rdf:li>"
             "<rdf:li></rdf:li></rdf:Alt></exif:UserComment>",
             "uuid:1234")));
    expectSameAsToolkit(packet(desc("photoshop:Title='t' photoshop:Copyright='c'", "",
                                    "12345678-1234-1234-1234-123456789012")));
}

TEST(XmpReader, ReadsBytesThatAreNotUtf8AsWindows1252)
{
    const std::string xml = packet(desc("xmp:Label='caf\xE9 \x80'", ""));
    auto mine = readXmpProperties(xml);
    ASSERT_TRUE(mine.ok());
    ASSERT_EQ(mine->size(), 1u);
    EXPECT_EQ((*mine)[0].value, "caf\xC3\xA9 \xE2\x82\xAC");
    expectSameAsToolkit(xml);
}

TEST(XmpReader, ReadsUtf16PacketsInEitherByteOrder)
{
    const std::string utf8 =
        packet(desc("xmp:Label='caf\xC3\xA9 \xF0\x9F\x93\xB7'", "<dc:subject><rdf:Bag>"
                                                                "<rdf:li>k</rdf:li></rdf:Bag>"
                                                                "</dc:subject>"));
    // The test text is ASCII but for U+00E9 and U+1F4F7 (a surrogate pair).
    std::u16string wide;
    for (size_t i = 0; i < utf8.size();) {
        const auto b = static_cast<uint8_t>(utf8[i]);
        if (b < 0x80) {
            wide += static_cast<char16_t>(b);
            ++i;
        } else if (b == 0xC3) {
            wide += static_cast<char16_t>(0xC0 | (static_cast<uint8_t>(utf8[i + 1]) & 0x3F));
            i += 2;
        } else {
            wide += u"\U0001F4F7";
            i += 4;
        }
    }
    for (bool big : {true, false}) {
        std::string bytes;
        for (char16_t c : wide) {
            const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
            bytes += big ? hi : lo;
            bytes += big ? lo : hi;
        }
        auto mine = readXmpProperties(bytes);
        ASSERT_TRUE(mine.ok()) << big;
        ASSERT_EQ(mine->size(), 3u);
        EXPECT_EQ((*mine)[0].value, "caf\xC3\xA9 \xF0\x9F\x93\xB7");
        EXPECT_EQ((*mine)[2].value, "k");
        expectSameAsToolkit(bytes);
    }
    // An unpaired surrogate is refused.
    const std::string broken = std::string("\0<\xD8\x00\0a", 6);
    EXPECT_FALSE(readXmpProperties(broken).ok());
}

TEST(XmpReader, AnEmptyOrRdfLessPacketHasNoProperties)
{
    auto empty = readXmpProperties(packet(""));
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(empty->empty());
    auto noRdf = readXmpProperties("<x:xmpmeta xmlns:x='adobe:ns:meta/'/>");
    ASSERT_TRUE(noRdf.ok());
    EXPECT_TRUE(noRdf->empty());
}

TEST(XmpReader, RefusesBrokenXmlAndRdf)
{
    const std::string good = desc("xmp:Rating='1'", "");
    struct Case {
        const char* why;
        std::string xml;
        Error error;
    };
    const Case cases[] = {
        {"doctype", "<!DOCTYPE x [<!ENTITY a 'b'>]>" + packet(good), Error::Malformed},
        {"unclosed", packet(good).substr(0, 200), Error::Malformed},
        {"mismatched end", packet(desc("", "<xmp:A>1</xmp:B>")), Error::Malformed},
        {"unknown prefix", packet(desc("", "<zz:A>1</zz:A>")), Error::Malformed},
        {"unknown entity", packet(desc("", "<xmp:A>&nbsp;</xmp:A>")), Error::Malformed},
        {"bad character reference", packet(desc("", "<xmp:A>&#xD800;</xmp:A>")), Error::Malformed},
        {"unquoted attribute", packet(desc("xmp:A=1", "")), Error::Malformed},
        {"repeated attribute", packet(desc("xmp:A='1' xmp:A='2'", "")), Error::Malformed},
        {"literal parse type", packet(desc("", "<xmp:A rdf:parseType='Literal'>x</xmp:A>")),
         Error::Malformed},
        {"duplicate property", packet(desc("xmp:A='1'", "<xmp:A>2</xmp:A>")), Error::Malformed},
        {"item outside rdf:li",
         packet(desc("", "<dc:subject><rdf:Bag><dc:x>1</dc:x></rdf:Bag>"
                         "</dc:subject>")),
         Error::Malformed},
        {"two roots", packet(good) + "<x/>", Error::Malformed},
        {"unprefixed property", packet(desc("", "<A>1</A>")), Error::Malformed},
    };
    for (const Case& c : cases) {
        auto r = readXmpProperties(c.xml);
        EXPECT_FALSE(r.ok()) << c.why;
        EXPECT_EQ(r.error(), c.error) << c.why;
    }
}

TEST(XmpReader, RefusesNestingBeyondTheLimit)
{
    std::string deep;
    for (size_t i = 0; i < kMaxXmpNesting + 10; ++i)
        deep += "<a:x xmlns:a='urn:a'>";
    auto r = readXmpProperties(deep);
    EXPECT_EQ(r.error(), Error::TooMany);
    // Arrays of arrays within the limit still read.
    std::string body = "<xmp:Deep>";
    for (int i = 0; i < 40; ++i)
        body += "<rdf:Seq><rdf:li>";
    body += "leaf";
    for (int i = 0; i < 40; ++i)
        body += "</rdf:li></rdf:Seq>";
    body += "</xmp:Deep>";
    auto ok = readXmpProperties(packet(desc("", body)));
    ASSERT_TRUE(ok.ok());
    EXPECT_EQ(ok->size(), 41u);
    EXPECT_EQ(ok->back().value, "leaf");
    EXPECT_EQ(ok->back().depth, 40u);
}

TEST(XmpReader, MergesAnExtendedPacket)
{
    auto main = readXmpProperties(
        packet(desc("xmp:Rating='1' xmpNote:HasExtendedXMP='0123456789ABCDEF0123456789ABCDEF' "
                    "xmlns:xmpNote='http://ns.adobe.com/xmp/note/'",
                    "<dc:subject><rdf:Bag><rdf:li>old</rdf:li></rdf:Bag></dc:subject>"
                    "<xmp:Label>keep</xmp:Label>")));
    auto ext = readXmpProperties(packet(
        desc("photoshop:History='long'",
             "<dc:subject><rdf:Bag><rdf:li>n1</rdf:li><rdf:li>n2</rdf:li></rdf:Bag></dc:subject>"
             "<xmp:Nickname>added</xmp:Nickname>")));
    ASSERT_TRUE(main.ok());
    ASSERT_TRUE(ext.ok());
    mergeXmpProperties(*main, *ext);
    std::string paths;
    for (const XmpProperty& p : *main)
        paths += p.path + (p.value.empty() ? "" : "=" + p.value) + " ";
    EXPECT_EQ(paths, "xmp:Rating=1 xmp:Label=keep xmp:Nickname=added "
                     "xmpNote:HasExtendedXMP=0123456789ABCDEF0123456789ABCDEF "
                     "dc:subject dc:subject[1]=n1 dc:subject[2]=n2 photoshop:History=long ");
}

} // namespace
