// SPDX-License-Identifier: MIT
// XMP packets: enumeration in document order, edits, namespaces and padded serialisation.
#include "mio/formats/xmp_packet.h"

#include <gtest/gtest.h>

#include <thread>

using namespace mio::formats;

namespace {

constexpr std::string_view kPacket = R"(<?xpacket begin="" id="W5M0MpCehiHzreSzNTczkc9d"?>
<x:xmpmeta xmlns:x="adobe:ns:meta/">
 <rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#">
  <rdf:Description rdf:about=""
    xmlns:xmp="http://ns.adobe.com/xap/1.0/"
    xmlns:dc="http://purl.org/dc/elements/1.1/"
    xmlns:MicrosoftPhoto="http://ns.microsoft.com/photo/1.0/"
    xmlns:Iptc4xmpCore="http://iptc.org/std/Iptc4xmpCore/1.0/xmlns/"
    xmp:Rating="3" MicrosoftPhoto:Rating="50">
   <dc:title><rdf:Alt>
     <rdf:li xml:lang="x-default">Harbour</rdf:li>
     <rdf:li xml:lang="de-DE">Hafen</rdf:li>
     <rdf:li xml:lang="fr">Port</rdf:li>
   </rdf:Alt></dc:title>
   <dc:subject><rdf:Bag><rdf:li>boats</rdf:li><rdf:li>sea</rdf:li></rdf:Bag></dc:subject>
   <dc:creator><rdf:Seq><rdf:li>Ann</rdf:li></rdf:Seq></dc:creator>
   <Iptc4xmpCore:CreatorContactInfo rdf:parseType="Resource">
     <Iptc4xmpCore:CiAdrCity>Oslo</Iptc4xmpCore:CiAdrCity>
   </Iptc4xmpCore:CreatorContactInfo>
  </rdf:Description>
 </rdf:RDF>
</x:xmpmeta>
<?xpacket end="w"?>)";

XmpSerializeOptions options(uint32_t padding, bool wrapper = true, bool readOnly = false,
                            std::optional<uint32_t> exact = std::nullopt)
{
    XmpSerializeOptions o;
    o.padding = padding;
    o.packetWrapper = wrapper;
    o.readOnly = readOnly;
    o.exactSize = exact;
    return o;
}

const std::string kNsIptcCore = "http://iptc.org/std/Iptc4xmpCore/1.0/xmlns/";

} // namespace

TEST(XmpPacket, EnumeratesEveryNodeWithKindLanguageAndPrefix)
{
    auto xmp = XmpPacket::parse(kPacket);
    ASSERT_TRUE(xmp.ok());
    auto props = xmp->properties();
    ASSERT_TRUE(props.ok());
    struct Want {
        std::string_view path, prefix, value, lang;
        XmpKind kind;
        uint32_t depth;
    };
    const Want want[] = {
        {"xmp:Rating", "xmp", "3", "", XmpKind::Simple, 0},
        {"dc:title", "dc", "", "", XmpKind::AltText, 0},
        {"dc:title[1]", "dc", "Harbour", "x-default", XmpKind::Simple, 1},
        {"dc:title[2]", "dc", "Hafen", "de-DE", XmpKind::Simple, 1},
        {"dc:title[3]", "dc", "Port", "fr", XmpKind::Simple, 1},
        {"dc:subject", "dc", "", "", XmpKind::Bag, 0},
        {"dc:subject[1]", "dc", "boats", "", XmpKind::Simple, 1},
        {"dc:subject[2]", "dc", "sea", "", XmpKind::Simple, 1},
        {"dc:creator", "dc", "", "", XmpKind::Seq, 0},
        {"dc:creator[1]", "dc", "Ann", "", XmpKind::Simple, 1},
        {"MicrosoftPhoto:Rating", "MicrosoftPhoto", "50", "", XmpKind::Simple, 0},
        {"Iptc4xmpCore:CreatorContactInfo", "Iptc4xmpCore", "", "", XmpKind::Struct, 0},
        {"Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiAdrCity", "Iptc4xmpCore", "Oslo", "",
         XmpKind::Simple, 1},
    };
    ASSERT_EQ(props->size(), std::size(want));
    // The toolkit groups properties by schema in the order the schemas first appear.
    for (const Want& w : want) {
        auto it = std::find_if(props->begin(), props->end(),
                               [&](const XmpProperty& p) { return p.path == w.path; });
        ASSERT_NE(it, props->end()) << w.path;
        EXPECT_EQ(it->prefix, w.prefix) << w.path;
        EXPECT_EQ(it->value, w.value) << w.path;
        EXPECT_EQ(it->lang, w.lang) << w.path;
        EXPECT_EQ(it->kind, w.kind) << w.path;
        EXPECT_EQ(it->depth, w.depth) << w.path;
    }
    // Items follow their container, in document order.
    auto index = [&](std::string_view path) {
        return std::find_if(props->begin(), props->end(),
                            [&](const XmpProperty& p) { return p.path == path; }) -
               props->begin();
    };
    EXPECT_EQ(index("dc:subject[1]"), index("dc:subject") + 1);
    EXPECT_EQ(index("dc:subject[2]"), index("dc:subject") + 2);
    EXPECT_LT(index("dc:title"), index("dc:subject"));
    EXPECT_EQ(props->front().ns, std::string(kNsXmp));
}

TEST(XmpPacket, EditsSimpleArrayAndLanguageValues)
{
    auto xmp = XmpPacket::parse(kPacket);
    ASSERT_TRUE(xmp.ok());
    EXPECT_EQ(xmp->get(kNsXmp, "xmp:Rating"), "3");
    EXPECT_FALSE(xmp->get(kNsDublinCore, "dc:subject")); // not a simple value
    EXPECT_EQ(xmp->get(kNsDublinCore, "dc:subject[2]"), "sea");
    EXPECT_EQ(xmp->set(kNsXmp, "xmp:Rating", "5"), Error::None);
    EXPECT_EQ(xmp->get(kNsXmp, "xmp:Rating"), "5");

    EXPECT_EQ(*xmp->arrayItems(kNsDublinCore, "dc:subject"),
              (std::vector<std::string>{"boats", "sea"}));
    const std::vector<std::string> keywords{"a", "b", "c"};
    EXPECT_EQ(xmp->setArray(kNsDublinCore, "dc:subject", XmpKind::Bag, keywords), Error::None);
    EXPECT_EQ(*xmp->arrayItems(kNsDublinCore, "dc:subject"), keywords);
    EXPECT_EQ(xmp->appendArrayItem(kNsDublinCore, "dc:creator", XmpKind::Seq, "Bo"), Error::None);
    EXPECT_EQ(*xmp->arrayItems(kNsDublinCore, "dc:creator"),
              (std::vector<std::string>{"Ann", "Bo"}));
    EXPECT_EQ(xmp->arrayItems(kNsDublinCore, "dc:rights").error(), Error::NotFound);
    EXPECT_EQ(xmp->arrayItems(kNsXmp, "xmp:Rating").error(), Error::Malformed);

    EXPECT_EQ(xmp->localizedText(kNsDublinCore, "dc:title"), "Harbour");
    EXPECT_EQ(xmp->localizedText(kNsDublinCore, "dc:title", "de-DE"), "Hafen");
    EXPECT_EQ(xmp->setLocalizedText(kNsDublinCore, "dc:title", "Haven"), Error::None);
    EXPECT_EQ(xmp->localizedText(kNsDublinCore, "dc:title"), "Haven");

    EXPECT_EQ(xmp->remove(kNsDublinCore, "dc:subject"), Error::None);
    EXPECT_FALSE(xmp->has(kNsDublinCore, "dc:subject"));
    EXPECT_EQ(xmp->remove(kNsDublinCore, "dc:subject"), Error::NotFound);

    // The edits survive a serialise and parse.
    auto text = xmp->serialize();
    ASSERT_TRUE(text.ok());
    auto back = XmpPacket::parse(*text);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back->get(kNsXmp, "xmp:Rating"), "5");
    EXPECT_EQ(back->localizedText(kNsDublinCore, "dc:title"), "Haven");
    EXPECT_EQ(back->localizedText(kNsDublinCore, "dc:title", "fr"), "Port");
    EXPECT_EQ(*back->arrayItems(kNsDublinCore, "dc:creator"),
              (std::vector<std::string>{"Ann", "Bo"}));
    EXPECT_EQ(*back->get(kNsIptcCore, "Iptc4xmpCore:CreatorContactInfo/Iptc4xmpCore:CiAdrCity"),
              "Oslo");
}

TEST(XmpPacket, KnowsTheMicrosoftPhotoNamespaces)
{
    EXPECT_EQ(xmpPrefixForNamespace(kNsMicrosoftPhoto), "MicrosoftPhoto");
    EXPECT_EQ(xmpPrefixForNamespace(kNsMicrosoftPhoto12), "MP");
    EXPECT_EQ(xmpNamespaceForPrefix("MicrosoftPhoto"), std::string(kNsMicrosoftPhoto));
    EXPECT_EQ(xmpNamespaceForPrefix("dc"), std::string(kNsDublinCore));
    EXPECT_FALSE(xmpNamespaceForPrefix("nosuchprefix"));

    auto xmp = XmpPacket::createEmpty();
    ASSERT_TRUE(xmp.ok());
    EXPECT_EQ(xmp->set(kNsMicrosoftPhoto, "MicrosoftPhoto:Rating", "75"), Error::None);
    EXPECT_EQ(xmp->set(kNsMicrosoftPhoto12, "MP:RegionInfo", "x"), Error::None);
    auto text = xmp->serialize();
    ASSERT_TRUE(text.ok());
    EXPECT_NE(text->find("xmlns:MicrosoftPhoto=\"http://ns.microsoft.com/photo/1.0/\""),
              std::string::npos);
    EXPECT_NE(text->find("xmlns:MP=\"http://ns.microsoft.com/photo/1.2/\""), std::string::npos);

    EXPECT_EQ(registerXmpNamespace("http://example.com/ns/test/", "exTest"), Error::None);
    EXPECT_EQ(xmpNamespaceForPrefix("exTest"), "http://example.com/ns/test/");
}

TEST(XmpPacket, SerialisesWithPaddingToAnExactRoom)
{
    auto xmp = XmpPacket::parse(kPacket);
    ASSERT_TRUE(xmp.ok());
    auto ro = xmp->serialize(options(0, true, true));
    auto small = xmp->serialize(options(0));
    auto padded = xmp->serialize(options(4096));
    ASSERT_TRUE(small.ok() && padded.ok());
    EXPECT_EQ(padded->size(), small->size() + 4096);
    EXPECT_EQ(padded->rfind("<?xpacket end=\"w\"?>"), padded->size() - 19);
    EXPECT_EQ(small->find("<?xpacket begin="), 0u);

    auto bare = xmp->serialize(options(0, false));
    EXPECT_EQ(bare->find("<?xpacket"), std::string::npos);
    EXPECT_EQ(small->size(), ro->size()); // padding 0 means none
    EXPECT_NE(ro->find("<?xpacket end=\"r\"?>"), std::string::npos);

    // Growth absorbed by padding: the packet keeps exactly the old size.
    const auto room = static_cast<uint32_t>(padded->size());
    EXPECT_EQ(xmp->set(kNsXmp, "xmp:CreatorTool", std::string(1000, 'x')), Error::None);
    auto refit = xmp->serialize(options(0, true, false, room));
    ASSERT_TRUE(refit.ok());
    EXPECT_EQ(refit->size(), room);
    EXPECT_EQ(XmpPacket::parse(*refit)->get(kNsXmp, "xmp:CreatorTool")->size(), 1000u);

    EXPECT_EQ(xmp->serialize(options(0, true, false, 200)).error(), Error::TooLarge);
    EXPECT_EQ(xmp->serialize(options(0, false, false, room)).error(), Error::Malformed);
}

TEST(XmpPacket, RefusesMalformedXmlCleanly)
{
    EXPECT_EQ(XmpPacket::parse("<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF").error(),
              Error::XmpFailure);
    EXPECT_EQ(XmpPacket::parse("<a><b></a></b>").error(), Error::XmpFailure);
    std::string cut(kPacket.substr(0, kPacket.size() / 2));
    cut += "</wrong>";
    EXPECT_EQ(XmpPacket::parse(cut).error(), Error::XmpFailure);
}

TEST(XmpPacket, ParsesFromSeveralThreadsAtOnce)
{
    std::vector<std::thread> threads;
    std::atomic<int> good{0};
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                auto xmp = XmpPacket::parse(kPacket);
                if (xmp && xmp->properties()->size() == 13) ++good;
            }
        });
    for (auto& th : threads)
        th.join();
    EXPECT_EQ(good.load(), 100);
}

TEST(XmpPacket, RefusesHostileNestingAndEntities)
{
    // Deep nesting would overflow the toolkit's recursive parser: refused up front.
    const std::string head = "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
                             "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\">"
                             "<rdf:Description rdf:about=\"\" "
                             "xmlns:dc=\"http://purl.org/dc/elements/1.1/\">";
    const std::string tail = "</rdf:Description></rdf:RDF></x:xmpmeta>";
    auto nested = [&](int levels) {
        std::string s = head;
        for (int i = 0; i < levels; ++i)
            s += "<dc:y rdf:parseType=\"Resource\">";
        for (int i = 0; i < levels; ++i)
            s += "</dc:y>";
        return s + tail;
    };
    EXPECT_EQ(XmpPacket::parse(nested(200000)).error(), Error::TooMany);
    // Comments, attribute values and self-closed elements do not count as depth.
    std::string flat = head;
    for (int i = 0; i < 300; ++i)
        flat += "<!-- <a><b> --><dc:z" + std::to_string(i) + " dc:q=\"x>y/\"/>";
    auto wide = XmpPacket::parse(flat + tail);
    ASSERT_TRUE(wide.ok());
    EXPECT_EQ(wide->properties()->size(), 600u); // 300 structs with one field each
    auto moderate = XmpPacket::parse(nested(100));
    ASSERT_TRUE(moderate.ok());
    EXPECT_EQ(moderate->properties()->size(), 100u);

    // Entity expansion: the toolkit refuses any DOCTYPE.
    const std::string bomb =
        "<?xml version=\"1.0\"?><!DOCTYPE l [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b "
        "\"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">]>" +
        head + "<dc:format>&b;</dc:format>" + tail;
    EXPECT_EQ(XmpPacket::parse(bomb).error(), Error::XmpFailure);
}

TEST(XmpPacketLanguages, XDefaultListedLastKeepsEveryLanguage)
{
    // The toolkit alone would turn the de-DE text into a second copy of the x-default one.
    const std::string xml =
        "<x:xmpmeta xmlns:x='adobe:ns:meta/'><rdf:RDF "
        "xmlns:rdf='http://www.w3.org/1999/02/22-rdf-syntax-ns#'><rdf:Description rdf:about='' "
        "xmlns:dc='http://purl.org/dc/elements/1.1/'><dc:title><rdf:Alt>"
        "<rdf:li xml:lang='de-DE'>Titel</rdf:li><rdf:li xml:lang='fr'>Titre</rdf:li>"
        "<rdf:li xml:lang='x-default'>Title</rdf:li></rdf:Alt></dc:title></rdf:Description>"
        "</rdf:RDF></x:xmpmeta>";
    auto packet = XmpPacket::parse(xml);
    ASSERT_TRUE(packet.ok());
    EXPECT_EQ(packet->localizedText(kNsDublinCore, "dc:title", "de-DE"), "Titel");
    EXPECT_EQ(packet->localizedText(kNsDublinCore, "dc:title", "fr"), "Titre");
    EXPECT_EQ(packet->localizedText(kNsDublinCore, "dc:title"), "Title");
    auto text = packet->serialize();
    ASSERT_TRUE(text.ok());
    EXPECT_NE(text->find(">Titel<"), std::string::npos);
    EXPECT_NE(text->find(">Titre<"), std::string::npos);
    // Read back, the three languages are still three texts.
    auto again = XmpPacket::parse(*text);
    ASSERT_TRUE(again.ok());
    auto items = again->arrayItems(kNsDublinCore, "dc:title");
    ASSERT_TRUE(items.ok());
    EXPECT_EQ(*items, (std::vector<std::string>{"Title", "Titre", "Titel"}));
}
