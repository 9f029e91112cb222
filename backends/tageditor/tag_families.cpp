// SPDX-License-Identifier: MIT
// Family readers and writers over TagLib: ID3v1 fields, ID3v2 frames, Vorbis comment fields and
// ASF attributes, each mapped to the tag numbers and stored forms of the tag block.
#include "tag_families.h"

#include <tavrel/platform/text.h>

#include <taglib/aifffile.h>
#include <taglib/asffile.h>
#include <taglib/asftag.h>
#include <taglib/commentsframe.h>
#include <taglib/flacfile.h>
#include <taglib/id3v1genres.h>
#include <taglib/id3v1tag.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstring>

namespace mio::tageditor {
namespace {

using TagLib::ByteVector;
using TagLib::String;

// ID3v2 frame of each tag number 1..84 (the ID3v2.4 frames in alphabetical order, then the
// ID3v2.3 year).
constexpr const char* kId3v2Frames[85] = {
    "",     "TALB", "TBPM", "TCOM", "TCON", "TCOP", "TDEN", "TDLY", "TDOR", "TDRC", "TDRL",
    "TDTG", "TENC", "TEXT", "TFLT", "TIPL", "TIT1", "TIT2", "TIT3", "TKEY", "TLAN", "TLEN",
    "TMCL", "TMED", "TMOO", "TOAL", "TOFN", "TOLY", "TOPE", "TOWN", "TPE1", "TPE2", "TPE3",
    "TPE4", "TPOS", "TPRO", "TPUB", "TRCK", "TRSN", "TRSO", "TSOA", "TSOP", "TSOT", "TSRC",
    "TSSE", "TSST", "TXXX", "AENC", "APIC", "ASPI", "COMM", "COMR", "ENCR", "EQU2", "ETCO",
    "GEOB", "GRID", "LINK", "MCDI", "MLLT", "OWNE", "PRIV", "PCNT", "POPM", "POSS", "RBUF",
    "RVA2", "RVRB", "SEEK", "SIGN", "SYLT", "SYTC", "UFID", "USER", "USLT", "WCOM", "WCOP",
    "WOAF", "WOAR", "WOAS", "WORS", "WPAY", "WPUB", "WXXX", "TYER"};
constexpr int kTagTxxx = 46;
constexpr int kTagRecordingTime = 9;
constexpr int kTagYear = 84;
constexpr int kTagGenre = 4;

// Vorbis comment field of each tag number 1..16.
constexpr const char* kVorbisFields[17] = {
    "",          "TITLE",     "VERSION", "ALBUM",        "TRACKNUMBER", "ARTIST",
    "PERFORMER", "COPYRIGHT", "LICENSE", "ORGANIZATION", "DESCRIPTION", "GENRE",
    "DATE",      "LOCATION",  "CONTACT", "ISRC",         "COMMENT"};

// ASF: tags 1, 10, 14, 15 and 16 live in the content description object, the rest are
// extended attributes. Tag 0 ("All") has no value of its own.
constexpr const char* kAsfAttributes[17] = {"",
                                            "",
                                            "WM/EncodingTime",
                                            "WM/OriginalReleaseYear",
                                            "WM/BeatsPerMinute",
                                            "WM/Year",
                                            "WM/TrackNumber",
                                            "WM/Genre",
                                            "WM/Publisher",
                                            "WM/Composer",
                                            "",
                                            "WM/AlbumArtist",
                                            "WM/AlbumCoverURL",
                                            "WM/AlbumTitle",
                                            "",
                                            "",
                                            ""};
constexpr int kAsfTitle = 1, kAsfDescription = 10, kAsfAuthor = 14, kAsfRating = 15,
              kAsfCopyright = 16;

constexpr uint8_t kCommentLeadSize = 5;
constexpr uint32_t kFrameHeaderSize = 10;

std::string toLower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// --- text conversions -------------------------------------------------------------------

std::optional<std::string> ansiToUtf8(std::string_view ansi)
{
    auto wide = tavrel::toWide(ansi, CP_ACP);
    if (!wide) return std::nullopt;
    return tavrel::toMultiByte(*wide, CP_UTF8);
}

std::string utf8ToAnsi(const std::string& utf8)
{
    auto wide = tavrel::toWide(utf8, CP_UTF8);
    if (!wide) return {};
    bool usedDefault = false;
    auto ansi = tavrel::toMultiByte(*wide, CP_ACP, &usedDefault);
    return ansi ? *ansi : std::string();
}

bool isValidUtf8(std::string_view text)
{
    return text.empty() || tavrel::toWide(text, CP_UTF8).has_value();
}

String fromUtf8(const std::string& utf8)
{
    return String(utf8, String::UTF8);
}

std::string utf8Of(const String& s)
{
    return s.to8Bit(true);
}

Bytes bytesOf(std::string_view s)
{
    return Bytes(s.begin(), s.end());
}

std::string stringOf(std::span<const uint8_t> bytes)
{
    return std::string(bytes.begin(), bytes.end());
}

// Text without its trailing terminators.
std::string_view trimNuls(std::string_view text)
{
    while (!text.empty() && text.back() == '\0')
        text.remove_suffix(1);
    return text;
}

// An ID3v2 text field in one of its four encodings, as UTF-8; inner terminators separate values.
std::optional<std::string> decodeId3Text(uint8_t encoding, std::span<const uint8_t> bytes)
{
    std::string utf8;
    switch (encoding) {
    case 0: { // ISO-8859-1
        String s(ByteVector(reinterpret_cast<const char*>(bytes.data()),
                            static_cast<unsigned int>(bytes.size())),
                 String::Latin1);
        utf8 = utf8Of(s);
        break;
    }
    case 1:
    case 2: {
        if (bytes.size() % 2) bytes = bytes.first(bytes.size() - 1);
        std::u16string text;
        bool bigEndian = encoding == 2;
        size_t at = 0;
        if (encoding == 1 && bytes.size() >= 2) {
            if (bytes[0] == 0xFE && bytes[1] == 0xFF)
                bigEndian = true, at = 2;
            else if (bytes[0] == 0xFF && bytes[1] == 0xFE)
                at = 2;
        }
        for (; at + 1 < bytes.size(); at += 2) {
            const auto unit =
                bigEndian ? (bytes[at] << 8) | bytes[at + 1] : bytes[at] | (bytes[at + 1] << 8);
            text.push_back(static_cast<char16_t>(unit));
        }
        while (!text.empty() && text.back() == u'\0')
            text.pop_back();
        if (text.empty()) return std::string();
        auto converted = tavrel::toMultiByte(text, CP_UTF8);
        if (!converted) return std::nullopt;
        utf8 = *converted;
        break;
    }
    case kId3v2EncodingUtf8:
        utf8 = stringOf(bytes);
        if (!isValidUtf8(trimNuls(utf8))) return std::nullopt;
        break;
    default:
        return std::nullopt;
    }
    utf8 = std::string(trimNuls(utf8));
    std::replace(utf8.begin(), utf8.end(), '\0', '/');
    return utf8;
}

// --- ID3v2 --------------------------------------------------------------------------------

// The frame a tag is read from. Before ID3v2.4 TagLib reads the year frame as a recording
// time, so there the year is shown under its own tag and tag 9 stays empty.
std::string id3v2ReadId(int tag, int version)
{
    if (version < 4 && tag == kTagRecordingTime) return {};
    if (version < 4 && tag == kTagYear) return "TDRC";
    return kId3v2Frames[tag];
}

// The frame a tag is written to: saving an older tag version turns TDRC back into its year.
std::string id3v2WriteId(int tag, int version)
{
    if (version < 4 && (tag == kTagYear || tag == kTagRecordingTime)) return "TDRC";
    return kId3v2Frames[tag];
}

ByteVector frameIdOf(const std::string& id)
{
    return ByteVector(id.c_str(), static_cast<unsigned int>(id.size()));
}

TagLib::ID3v2::CommentsFrame* plainComment(const TagLib::ID3v2::Tag& tag)
{
    for (auto* frame : tag.frameList("COMM")) {
        auto* comment = dynamic_cast<TagLib::ID3v2::CommentsFrame*>(frame);
        if (comment && comment->description().isEmpty()) return comment;
    }
    return nullptr;
}

std::string joinFields(const TagLib::StringList& fields, bool genres)
{
    std::string out;
    for (const auto& field : fields) {
        std::string text = utf8Of(field);
        if (genres && !text.empty() && text.size() <= 3 &&
            std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            const String name = TagLib::ID3v1::genre(std::stoi(text));
            if (!name.isEmpty()) text = utf8Of(name);
        }
        if (!out.empty()) out += '/';
        out += text;
    }
    return out;
}

std::optional<Bytes> readId3v2Frame(const TagLib::ID3v2::Tag& tag, int number, int version)
{
    const std::string id = id3v2ReadId(number, version);
    if (id.empty()) return std::nullopt;
    if (number == kId3v2CommentTag) {
        const auto* comment = plainComment(tag);
        if (!comment) return std::nullopt;
        ByteVector language = comment->language();
        Bytes value{kId3v2EncodingUtf8, 'e', 'n', 'g', 0};
        if (language.size() == 3) std::memcpy(value.data() + 1, language.data(), 3);
        const std::string text = utf8Of(comment->text());
        value.insert(value.end(), text.begin(), text.end());
        return value;
    }
    const auto& frames = tag.frameList(frameIdOf(id));
    if (frames.isEmpty()) return std::nullopt;
    const auto* frame = frames.front();
    if (isTextTag(kCodeId3v2, number)) {
        std::string text;
        if (const auto* user =
                dynamic_cast<const TagLib::ID3v2::UserTextIdentificationFrame*>(frame)) {
            TagLib::StringList fields = user->fieldList();
            if (!fields.isEmpty() && fields.front() == user->description())
                fields.erase(fields.begin());
            text = joinFields(fields, false);
            // TagLib drops an empty description when parsing, so the value comes out as the
            // description of a frame without value.
            if (text.find_first_not_of('/') == std::string::npos)
                text = utf8Of(user->description());
        } else if (const auto* textFrame =
                       dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame*>(frame)) {
            text = joinFields(textFrame->fieldList(), number == kTagGenre);
        } else {
            text = utf8Of(frame->toString());
        }
        Bytes value{kId3v2EncodingUtf8};
        value.insert(value.end(), text.begin(), text.end());
        return value;
    }
    const ByteVector rendered = frame->render();
    if (rendered.size() < kFrameHeaderSize) return std::nullopt;
    Bytes value{0};
    value.insert(value.end(), rendered.begin() + kFrameHeaderSize, rendered.end());
    return value;
}

// A frame built from its body, or null when TagLib cannot parse the body as that frame.
TagLib::ID3v2::Frame* buildFrame(const std::string& id, std::span<const uint8_t> body)
{
    if (body.size() > 0x0FFFFFFF) return nullptr;
    const auto size = static_cast<uint32_t>(body.size());
    ByteVector data = frameIdOf(id);
    // ID3v2.4 sizes are synch-safe: 7 bits per byte.
    for (int shift = 21; shift >= 0; shift -= 7)
        data.append(static_cast<char>((size >> shift) & 0x7F));
    data.append(char(0));
    data.append(char(0));
    data.append(ByteVector(reinterpret_cast<const char*>(body.data()), size));
    TagLib::ID3v2::Header header;
    header.setMajorVersion(4);
    TagLib::ID3v2::Frame* frame =
        TagLib::ID3v2::FrameFactory::instance()->createFrame(data, &header);
    if (frame && frame->frameID() != frameIdOf(id)) {
        delete frame;
        return nullptr;
    }
    return frame;
}

void removeFirst(TagLib::ID3v2::Tag& tag, const std::string& id)
{
    const auto& frames = tag.frameList(frameIdOf(id));
    if (!frames.isEmpty()) tag.removeFrame(frames.front(), true);
}

bool writeId3v2Frame(TagLib::ID3v2::Tag& tag, int number, const Bytes& value, int version)
{
    const std::string id = id3v2WriteId(number, version);
    if (number == kId3v2CommentTag) {
        auto* old = plainComment(tag);
        if (old) tag.removeFrame(old, true);
        if (value.empty()) return true;
        auto comment = std::make_unique<TagLib::ID3v2::CommentsFrame>(String::UTF8);
        comment->setLanguage(ByteVector(reinterpret_cast<const char*>(value.data() + 1), 3));
        comment->setText(fromUtf8(stringOf(std::span(value).subspan(kCommentLeadSize))));
        tag.addFrame(comment.release());
        return true;
    }
    if (number == kTagTxxx) {
        const auto& frames = tag.frameList("TXXX");
        String description;
        if (!frames.isEmpty()) {
            if (auto* user =
                    dynamic_cast<TagLib::ID3v2::UserTextIdentificationFrame*>(frames.front()))
                description = user->description();
            tag.removeFrame(frames.front(), true);
        }
        if (value.empty()) return true;
        auto frame = std::make_unique<TagLib::ID3v2::UserTextIdentificationFrame>(String::UTF8);
        frame->setDescription(description);
        frame->setText(fromUtf8(stringOf(std::span(value).subspan(1))));
        tag.addFrame(frame.release());
        return true;
    }
    if (isTextTag(kCodeId3v2, number)) {
        tag.removeFrames(frameIdOf(id));
        if (value.empty()) return true;
        auto frame =
            std::make_unique<TagLib::ID3v2::TextIdentificationFrame>(frameIdOf(id), String::UTF8);
        frame->setText(fromUtf8(stringOf(std::span(value).subspan(1))));
        tag.addFrame(frame.release());
        return true;
    }
    removeFirst(tag, id);
    if (value.empty()) return true;
    auto* frame = buildFrame(id, std::span(value).subspan(1));
    if (!frame) return false;
    tag.addFrame(frame);
    return true;
}

void readId3v2(const TagLib::ID3v2::Tag* tag, bool present, int version, FamilyValues& out)
{
    out.present = present && tag;
    if (!out.present) return;
    for (int number = 1; number <= 84; ++number) {
        if (auto value = readId3v2Frame(*tag, number, version))
            out.values[number] = std::move(*value);
    }
}

bool writeId3v2(TagLib::ID3v2::Tag& tag, const Changes& changes, int version)
{
    if (changes.removeAll[kCodeId3v2]) {
        // Plain pointers: a TagLib list copy would share the tag's auto-deleting list.
        const std::vector<TagLib::ID3v2::Frame*> frames(tag.frameList().begin(),
                                                        tag.frameList().end());
        for (auto* frame : frames)
            tag.removeFrame(frame, true);
    }
    for (const auto& [number, value] : changes.sets[kCodeId3v2]) {
        if (!writeId3v2Frame(tag, number, value, version)) return false;
    }
    return true;
}

// --- ID3v1 --------------------------------------------------------------------------------

void readId3v1(const TagLib::ID3v1::Tag* tag, bool present, FamilyValues& out)
{
    out.present = present && tag;
    if (!out.present) return;
    const String texts[] = {tag->title(), tag->artist(), tag->album(), String(), tag->comment()};
    for (int i = 0; i < 5; ++i) {
        if (i == 3) continue;
        const std::string ansi = utf8ToAnsi(utf8Of(texts[i]));
        if (!ansi.empty()) out.values[110 + i] = bytesOf(ansi);
    }
    if (tag->year() > 0) out.values[113] = bytesOf(std::to_string(tag->year()));
    if (tag->track() > 0 && tag->track() <= 255)
        out.values[115] = Bytes{static_cast<uint8_t>(tag->track())};
    if (tag->genreNumber() < 255) out.values[116] = Bytes{static_cast<uint8_t>(tag->genreNumber())};
}

void writeId3v1(TagLib::ID3v1::Tag& tag, const Changes& changes)
{
    if (changes.removeAll[kCodeId3v1]) {
        tag.setTitle(String());
        tag.setArtist(String());
        tag.setAlbum(String());
        tag.setComment(String());
        tag.setYear(0);
        tag.setTrack(0);
        tag.setGenreNumber(255);
    }
    for (const auto& [number, value] : changes.sets[kCodeId3v1]) {
        const String text = fromUtf8(ansiToUtf8(stringOf(value)).value_or(std::string()));
        switch (number) {
        case 110:
            tag.setTitle(text);
            break;
        case 111:
            tag.setArtist(text);
            break;
        case 112:
            tag.setAlbum(text);
            break;
        case 113:
            tag.setYear(value.empty() ? 0u : static_cast<unsigned>(std::stoul(stringOf(value))));
            break;
        case 114:
            tag.setComment(text);
            break;
        case 115:
            tag.setTrack(value.empty() ? 0u : value[0]);
            break;
        case 116:
            tag.setGenreNumber(value.empty() ? 255u : value[0]);
            break;
        default:
            break;
        }
    }
}

// --- Vorbis comments ----------------------------------------------------------------------

void readVorbis(const TagLib::Ogg::XiphComment* tag, FamilyValues& out)
{
    out.present = tag && tag->fieldCount() > 0;
    if (!out.present) return;
    const auto& fields = tag->fieldListMap();
    for (int number = 1; number <= 16; ++number) {
        auto it = fields.find(kVorbisFields[number]);
        if (it == fields.end() || it->second.isEmpty()) continue;
        const std::string text = utf8Of(it->second.front());
        if (!text.empty()) out.values[number] = bytesOf(text);
    }
}

void writeVorbis(TagLib::Ogg::XiphComment& tag, const Changes& changes)
{
    if (changes.removeAll[kCodeVorbis]) tag.removeAllFields();
    for (const auto& [number, value] : changes.sets[kCodeVorbis]) {
        if (value.empty())
            tag.removeFields(kVorbisFields[number]);
        else
            tag.addField(kVorbisFields[number], fromUtf8(stringOf(value)), true);
    }
}

// --- ASF ------------------------------------------------------------------------------------

std::optional<std::string> asfAttributeText(const TagLib::ASF::Attribute& attribute)
{
    switch (attribute.type()) {
    case TagLib::ASF::Attribute::UnicodeType:
        return utf8Of(attribute.toString());
    case TagLib::ASF::Attribute::DWordType:
        return std::to_string(attribute.toUInt());
    case TagLib::ASF::Attribute::QWordType:
        return std::to_string(attribute.toULongLong());
    case TagLib::ASF::Attribute::WordType:
        return std::to_string(attribute.toUShort());
    case TagLib::ASF::Attribute::BoolType:
        return std::string(attribute.toBool() ? "1" : "0");
    default:
        return std::nullopt; // bytes and GUIDs have no text form
    }
}

String asfContent(const TagLib::ASF::Tag& tag, int number)
{
    switch (number) {
    case kAsfTitle:
        return tag.title();
    case kAsfDescription:
        return tag.comment();
    case kAsfAuthor:
        return tag.artist();
    case kAsfRating:
        return tag.rating();
    case kAsfCopyright:
        return tag.copyright();
    default:
        return String();
    }
}

void setAsfContent(TagLib::ASF::Tag& tag, int number, const String& text)
{
    switch (number) {
    case kAsfTitle:
        tag.setTitle(text);
        break;
    case kAsfDescription:
        tag.setComment(text);
        break;
    case kAsfAuthor:
        tag.setArtist(text);
        break;
    case kAsfRating:
        tag.setRating(text);
        break;
    case kAsfCopyright:
        tag.setCopyright(text);
        break;
    default:
        break;
    }
}

void readAsf(const TagLib::ASF::Tag* tag, FamilyValues& out)
{
    if (!tag) return;
    for (int number = 1; number <= 16; ++number) {
        std::optional<std::string> text;
        if (*kAsfAttributes[number] == '\0') {
            text = utf8Of(asfContent(*tag, number));
        } else if (tag->contains(kAsfAttributes[number])) {
            const auto list = tag->attribute(kAsfAttributes[number]);
            if (!list.isEmpty()) text = asfAttributeText(list.front());
        }
        if (text && !text->empty()) out.values[number] = bytesOf(utf8ToAnsi(*text));
    }
    out.present = !out.values.empty();
}

// Numbers stay numbers: an attribute stored as DWORD, QWORD or WORD keeps its type when the
// new text is a number that fits.
TagLib::ASF::Attribute asfAttributeFor(const TagLib::ASF::Tag& tag, const char* name,
                                       const std::string& text)
{
    unsigned long long number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    const bool numeric = error == std::errc() && end == text.data() + text.size();
    if (numeric && tag.contains(name)) {
        const auto list = tag.attribute(name);
        if (!list.isEmpty()) {
            switch (list.front().type()) {
            case TagLib::ASF::Attribute::DWordType:
                if (number <= 0xFFFFFFFFull)
                    return TagLib::ASF::Attribute(static_cast<unsigned int>(number));
                break;
            case TagLib::ASF::Attribute::QWordType:
                return TagLib::ASF::Attribute(number);
            case TagLib::ASF::Attribute::WordType:
                if (number <= 0xFFFFull)
                    return TagLib::ASF::Attribute(static_cast<unsigned short>(number));
                break;
            default:
                break;
            }
        }
    }
    return TagLib::ASF::Attribute(fromUtf8(text));
}

void writeAsf(TagLib::ASF::Tag& tag, const Changes& changes)
{
    if (changes.removeAll[kCodeAsf]) {
        for (int number = 1; number <= 16; ++number) {
            if (*kAsfAttributes[number] == '\0')
                setAsfContent(tag, number, String());
            else
                tag.removeItem(kAsfAttributes[number]);
        }
    }
    for (const auto& [number, value] : changes.sets[kCodeAsf]) {
        const std::string text = ansiToUtf8(stringOf(value)).value_or(std::string());
        const char* name = kAsfAttributes[number];
        if (*name == '\0')
            setAsfContent(tag, number, fromUtf8(text));
        else if (text.empty())
            tag.removeItem(name);
        else
            tag.setAttribute(name, asfAttributeFor(tag, name, text));
    }
}

int id3v2VersionOf(const TagLib::ID3v2::Tag* tag, bool present)
{
    return present && tag ? static_cast<int>(tag->header()->majorVersion()) : 0;
}

TagLib::ID3v2::Version saveVersion(int version)
{
    // TagLib writes 2.3 and 2.4; a 2.2 tag is kept at the older of the two.
    return version == 0 || version >= 4 ? TagLib::ID3v2::v4 : TagLib::ID3v2::v3;
}

// Frames that TagLib drops or cuts down when it writes an ID3v2.3 tag: the recording and
// tagging times, mood, produced notice, set subtitle, the people lists, the original release
// time beyond its year, and the binary frames new in 2.4.
bool needsId3v24(const Changes& changes)
{
    static constexpr int kNewIn24[] = {8, 10, 11, 15, 22, 24, 35, 45, 49, 53, 66, 68, 69};
    for (const auto& [number, value] : changes.sets[kCodeId3v2]) {
        if (value.empty()) continue;
        if (std::find(std::begin(kNewIn24), std::end(kNewIn24), number) != std::end(kNewIn24))
            return true;
    }
    return false;
}

bool touches(const Changes& changes, int code)
{
    return changes.removeAll[code] || !changes.sets[code].empty();
}

} // namespace

bool Changes::any() const
{
    for (int code = 0; code < kFamilyCount; ++code)
        if (touches(*this, code)) return true;
    return false;
}

std::optional<Container> detectContainer(std::span<const uint8_t> head,
                                         const std::string& extension)
{
    auto startsWith = [&](size_t at, std::string_view s) {
        return head.size() >= at + s.size() &&
               std::memcmp(head.data() + at, s.data(), s.size()) == 0;
    };
    const std::string ext = toLower(extension);
    if (startsWith(0, "ID3") && head.size() >= 10) {
        // An ID3v2 tag may stand in front of FLAC as well as MPEG audio.
        const size_t size =
            (size_t{head[6]} << 21) | (size_t{head[7]} << 14) | (size_t{head[8]} << 7) | head[9];
        const size_t after = 10 + size + ((head[5] & 0x10) ? 10 : 0);
        if (startsWith(after, "fLaC") || (after >= head.size() && ext == ".flac"))
            return Container::Flac;
        return Container::Mpeg;
    }
    if (startsWith(0, "fLaC")) return Container::Flac;
    if (startsWith(0, "OggS") && head.size() > 27) {
        const size_t packet = 27 + size_t{head[26]};
        if (startsWith(packet, "\x01vorbis")) return Container::OggVorbis;
        if (startsWith(packet, "OpusHead")) return Container::OggOpus;
        return std::nullopt;
    }
    static constexpr uint8_t kAsfHeader[16] = {0x30, 0x26, 0xB2, 0x75, 0x8E, 0x66, 0xCF, 0x11,
                                               0xA6, 0xD9, 0x00, 0xAA, 0x00, 0x62, 0xCE, 0x6C};
    if (head.size() >= 16 && std::memcmp(head.data(), kAsfHeader, 16) == 0) return Container::Asf;
    // WAV is left out: TagLib writes its ID3v2 chunk as "ID3 ", which other readers skip.
    if (startsWith(0, "FORM") && (startsWith(8, "AIFF") || startsWith(8, "AIFC")))
        return Container::Aiff;
    // Bare MPEG audio has no signature beyond its frame sync; trust the extension only with it.
    if (head.size() >= 2 && head[0] == 0xFF && (head[1] & 0xE0) == 0xE0 &&
        (ext == ".mp3" || ext == ".mp2" || ext == ".mp1" || ext == ".mpga"))
        return Container::Mpeg;
    return std::nullopt;
}

bool containerHasFamily(Container container, int code)
{
    switch (container) {
    case Container::Mpeg:
        return code == kCodeId3v1 || code == kCodeId3v2;
    case Container::Aiff:
        return code == kCodeId3v2;
    case Container::Flac:
    case Container::OggVorbis:
    case Container::OggOpus:
        return code == kCodeVorbis;
    case Container::Asf:
        return code == kCodeAsf;
    }
    return false;
}

bool tagRange(int code, int& first, int& last)
{
    switch (code) {
    case kCodeId3v1:
        first = 110, last = 116;
        return true;
    case kCodeId3v2:
        first = 1, last = 84;
        return true;
    case kCodeVorbis:
        first = 1, last = 16;
        return true;
    case kCodeAsf:
        first = 0, last = 16;
        return true;
    default:
        return false;
    }
}

bool isTextTag(int code, int tag)
{
    switch (code) {
    case kCodeId3v1:
        return tag >= 110 && tag <= 114;
    case kCodeId3v2:
        return (tag >= 1 && tag <= 46) || tag == kId3v2CommentTag || tag == kTagYear;
    case kCodeVorbis:
    case kCodeAsf:
        return true;
    default:
        return false;
    }
}

std::unique_ptr<TagLib::File> openTagLibFile(Container container, TagLib::IOStream* stream)
{
    std::unique_ptr<TagLib::File> file;
    auto* factory = TagLib::ID3v2::FrameFactory::instance();
    switch (container) {
    case Container::Mpeg:
        file = std::make_unique<TagLib::MPEG::File>(stream, factory, false);
        break;
    case Container::Flac:
        file = std::make_unique<TagLib::FLAC::File>(stream, factory, false);
        break;
    case Container::OggVorbis:
        file = std::make_unique<TagLib::Ogg::Vorbis::File>(stream, false);
        break;
    case Container::OggOpus:
        file = std::make_unique<TagLib::Ogg::Opus::File>(stream, false);
        break;
    case Container::Asf:
        file = std::make_unique<TagLib::ASF::File>(stream, false);
        break;
    case Container::Aiff:
        file = std::make_unique<TagLib::RIFF::AIFF::File>(stream, false);
        break;
    }
    if (!file || !file->isValid()) return nullptr;
    return file;
}

Snapshot readSnapshot(Container container, TagLib::File& file)
{
    Snapshot snapshot;
    auto& families = snapshot.families;
    switch (container) {
    case Container::Mpeg: {
        auto& mpeg = static_cast<TagLib::MPEG::File&>(file);
        readId3v1(mpeg.ID3v1Tag(false), mpeg.hasID3v1Tag(), families[kCodeId3v1]);
        snapshot.id3v2Version = id3v2VersionOf(mpeg.ID3v2Tag(false), mpeg.hasID3v2Tag());
        readId3v2(mpeg.ID3v2Tag(false), mpeg.hasID3v2Tag(), snapshot.id3v2Version,
                  families[kCodeId3v2]);
        break;
    }
    case Container::Aiff: {
        auto& aiff = static_cast<TagLib::RIFF::AIFF::File&>(file);
        snapshot.id3v2Version = id3v2VersionOf(aiff.tag(), aiff.hasID3v2Tag());
        readId3v2(aiff.tag(), aiff.hasID3v2Tag(), snapshot.id3v2Version, families[kCodeId3v2]);
        break;
    }
    case Container::Flac:
        readVorbis(static_cast<TagLib::FLAC::File&>(file).xiphComment(false),
                   families[kCodeVorbis]);
        break;
    case Container::OggVorbis:
        readVorbis(static_cast<TagLib::Ogg::Vorbis::File&>(file).tag(), families[kCodeVorbis]);
        break;
    case Container::OggOpus:
        readVorbis(static_cast<TagLib::Ogg::Opus::File&>(file).tag(), families[kCodeVorbis]);
        break;
    case Container::Asf:
        readAsf(static_cast<TagLib::ASF::File&>(file).tag(), families[kCodeAsf]);
        break;
    }
    return snapshot;
}

std::optional<Bytes> canonicalValue(int code, int tag, std::span<const uint8_t> stored)
{
    int first = 0, last = 0;
    if (!tagRange(code, first, last) || tag < first || tag > last || stored.empty())
        return std::nullopt;
    if (code == kCodeId3v2) {
        if (tag == kId3v2CommentTag) {
            if (stored.size() < kCommentLeadSize) return std::nullopt;
            const uint8_t encoding = stored[0];
            // Skip the description: one terminator byte, two for the UTF-16 encodings.
            const size_t unit = encoding == 1 || encoding == 2 ? 2 : 1;
            size_t at = 4;
            while (at + unit <= stored.size() &&
                   !(stored[at] == 0 && (unit == 1 || stored[at + 1] == 0)))
                at += unit;
            at = std::min(at + unit, stored.size());
            auto text = decodeId3Text(encoding, stored.subspan(at));
            if (!text) return std::nullopt;
            if (text->empty()) return Bytes{};
            Bytes value{kId3v2EncodingUtf8, 'e', 'n', 'g', 0};
            if (std::all_of(stored.begin() + 1, stored.begin() + 4,
                            [](uint8_t c) { return std::isalpha(c) != 0; }))
                std::copy(stored.begin() + 1, stored.begin() + 4, value.begin() + 1);
            value.insert(value.end(), text->begin(), text->end());
            return value;
        }
        if (isTextTag(code, tag)) {
            auto text = decodeId3Text(stored[0], stored.subspan(1));
            if (!text) return std::nullopt;
            if (text->empty()) return Bytes{};
            Bytes value{kId3v2EncodingUtf8};
            value.insert(value.end(), text->begin(), text->end());
            return value;
        }
        if (stored.size() < 2) return std::nullopt;
        std::unique_ptr<TagLib::ID3v2::Frame> probe(
            buildFrame(kId3v2Frames[tag], stored.subspan(1)));
        if (!probe) return std::nullopt;
        Bytes value{0};
        value.insert(value.end(), stored.begin() + 1, stored.end());
        return value;
    }
    if (code == kCodeId3v1 && (tag == 115 || tag == 116)) {
        if (stored.size() != 1) return std::nullopt;
        return Bytes(stored.begin(), stored.end());
    }
    const std::string text(
        trimNuls(std::string_view(reinterpret_cast<const char*>(stored.data()), stored.size())));
    if (code == kCodeVorbis) {
        if (!isValidUtf8(text)) return std::nullopt;
    } else if (!text.empty() && !ansiToUtf8(text)) {
        return std::nullopt;
    }
    if (code == kCodeId3v1 && tag == 113 && !text.empty() &&
        (text.size() > 4 ||
         !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })))
        return std::nullopt;
    if (code == kCodeAsf && tag == 0) return std::nullopt; // "All" holds no value of its own
    return bytesOf(text);
}

bool applyChanges(Container container, TagLib::File& file, const Changes& changes, int id3v2Version)
{
    // An older tag is kept at its version unless that would lose a value just set.
    TagLib::ID3v2::Version version = saveVersion(id3v2Version);
    if (version == TagLib::ID3v2::v3 && needsId3v24(changes)) version = TagLib::ID3v2::v4;
    // Tags map to frames as the file's own version read them (the year of an older tag is the
    // TDRC frame TagLib made of it); a new tag is 2.4.
    const int frameVersion = id3v2Version == 0 ? 4 : id3v2Version;
    switch (container) {
    case Container::Mpeg: {
        auto& mpeg = static_cast<TagLib::MPEG::File&>(file);
        int mask = 0;
        if (touches(changes, kCodeId3v1)) {
            writeId3v1(*mpeg.ID3v1Tag(true), changes);
            mask |= TagLib::MPEG::File::ID3v1;
        }
        if (touches(changes, kCodeId3v2)) {
            if (!writeId3v2(*mpeg.ID3v2Tag(true), changes, frameVersion)) return false;
            mask |= TagLib::MPEG::File::ID3v2;
        }
        // Empty tags in the mask are stripped; other tags (APE) stay as they are.
        return mpeg.save(mask, TagLib::File::StripNone, version, TagLib::File::DoNotDuplicate);
    }
    case Container::Aiff: {
        auto& aiff = static_cast<TagLib::RIFF::AIFF::File&>(file);
        if (!writeId3v2(*aiff.tag(), changes, frameVersion)) return false;
        return aiff.save(version);
    }
    case Container::Flac: {
        auto& flac = static_cast<TagLib::FLAC::File&>(file);
        writeVorbis(*flac.xiphComment(true), changes);
        return flac.save();
    }
    case Container::OggVorbis: {
        auto& ogg = static_cast<TagLib::Ogg::Vorbis::File&>(file);
        writeVorbis(*ogg.tag(), changes);
        return ogg.save();
    }
    case Container::OggOpus: {
        auto& opus = static_cast<TagLib::Ogg::Opus::File&>(file);
        writeVorbis(*opus.tag(), changes);
        return opus.save();
    }
    case Container::Asf: {
        auto& asf = static_cast<TagLib::ASF::File&>(file);
        writeAsf(*asf.tag(), changes);
        return asf.save();
    }
    }
    return false;
}

} // namespace mio::tageditor
