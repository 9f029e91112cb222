// SPDX-License-Identifier: MIT
// CTagEditorSource: reading, editing and committing the tags of video and audio files through
// the tag-editor component, under the tag-editor lock.
#include "metadata/tag_editor_source.h"

#include <tavrel/platform/combase.h>
#include <tavrel/platform/sync.h>
#include <tavrel/platform/text.h>
#include <tavrelmediaio/MediaFileIO.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace mio {

namespace {

// The process-wide tag-editor lock: a recursive section with an enabled flag, so that code
// running without the module (or after its unload) takes no lock at all.
struct TagEditorLock {
    CRITICAL_SECTION section{};
    bool enabled = false;
};
TagEditorLock g_tagEditorLock;

class TagEditorLockHold {
  public:
    TagEditorLockHold()
    {
        if (g_tagEditorLock.enabled) EnterCriticalSection(&g_tagEditorLock.section);
    }
    ~TagEditorLockHold()
    {
        if (g_tagEditorLock.enabled) LeaveCriticalSection(&g_tagEditorLock.section);
    }
    TagEditorLockHold(const TagEditorLockHold&) = delete;
    TagEditorLockHold& operator=(const TagEditorLockHold&) = delete;
};

constexpr std::string_view kId3v1Names[] = {
    "Song Title", "Artist", "Album", "Year", "Comment", "Track", "Genre",
};

constexpr std::string_view kId3v2Names[] = {
    "Album/Movie/Show Title",
    "Beats Per Minute",
    "Composer",
    "Content Type",
    "Copyright Message",
    "Encoding Time",
    "Playlist Delay",
    "Original Release Time",
    "Recording Time",
    "Release Time",
    "Tagging Time",
    "Encoded By",
    "Lyricist/Text Writer",
    "File Type",
    "Involved People List",
    "Content Group Description",
    "Title/Songname/Content Description",
    "Subtitle/Description Refinement",
    "Initial Key",
    "Language(s)",
    "Length",
    "Musician Credits List",
    "Media Type",
    "Mood",
    "Original Album/Movie/Show Title",
    "Original Filename",
    "Original Lyricist(s)/Text Writer(s)",
    "Original Artist(s)/Performer(s)",
    "File Owner/Licensee",
    "Lead Performer(s)/Soloist(s)",
    "Band/Orchestra/Accompaniment",
    "Conductor/Performer Refinement",
    "Interpreted, Remixed, or Otherwise Modified by",
    "Part of a Set",
    "Produced Notice",
    "Publisher",
    "Track Number/Position in Set",
    "Internet Radio Station Name",
    "Internet Radio Station Owner",
    "Album Sort Order",
    "Performer Sort Order",
    "Title Sort Order",
    "ISRC (International Standard Recording Code)",
    "Software/Hardware and Settings Used for Encoding",
    "Set Subtitle",
    "User Defined Text Information Frame",
    "Audio encryption",
    "Attached picture",
    "Audio seek point index",
    "Comments",
    "Commercial frame",
    "Encryption method registration",
    "Equalisation (2)",
    "Event timing codes",
    "General encapsulated object",
    "Group identification registration",
    "Linked information",
    "Music CD identifier",
    "MPEG location lookup table",
    "OWNE Ownership frame",
    "Private frame",
    "Play counter",
    "Popularimeter",
    "Position synchronisation frame",
    "Recommended buffer size",
    "Relative volume adjustment (2)",
    "Reverb",
    "Seek frame",
    "Signature frame",
    "Synchronised lyric/text",
    "Synchronised tempo codes",
    "Unique file identifier",
    "Terms of use",
    "Unsynchronised lyric/text transcription",
    "Commercial information",
    "Copyright/Legal information",
    "Official audio file webpage",
    "Official artist/performer webpage",
    "Official audio source webpage",
    "Official Internet radio station homepage",
    "Payment",
    "Publishers official webpage",
    "User defined URL link frame",
    "Year",
};

constexpr std::string_view kVorbisNames[] = {
    "Title",     "Version",  "Album",        "Track Number", "Artist", "Performer",
    "Copyright", "Lincense", "Organization", "Description",  "Genre",  "Date",
    "Location",  "Contact",  "ISRC",         "Comment",
};

constexpr std::string_view kAsfNames[] = {
    "All",
    "Title",
    "Encoding Time",
    "Original Release Year",
    "Beats Per Minute",
    "Year",
    "Track Number",
    "Genre",
    "Publisher",
    "Composer",
    "Description",
    "Artist",
    "Album Cover URL",
    "Album Title",
    "Author",
    "Rating",
    "Copyrights",
};

struct Family {
    int32_t firstTag;
    int32_t lastTag;
    std::span<const std::string_view> names;
    UINT codePage;
};

// Indexed by MetaFormat code - 3.
constexpr Family kFamilies[] = {
    {110, 116, kId3v1Names, CP_ACP},
    {1, 84, kId3v2Names, CP_UTF8},
    {1, 16, kVorbisNames, CP_UTF8},
    {0, 16, kAsfNames, CP_ACP},
};

static_assert(std::size(kId3v1Names) == 7 && std::size(kId3v2Names) == 84 &&
              std::size(kVorbisNames) == 16 && std::size(kAsfNames) == 17);

const Family* familyOf(int32_t code)
{
    if (code < MetaFormatId3v1 || code > MetaFormatAsfAttributes) return nullptr;
    return &kFamilies[code - MetaFormatId3v1];
}

bool inFamily(const Family& family, int32_t tag)
{
    return tag >= family.firstTag && tag <= family.lastTag;
}

int32_t familyIndex(int32_t code)
{
    return code - 2;
}

// ID3v1 track and genre, and the ID3v2 frames from "Audio encryption" on (except the comment
// frame and the year) hold bytes; everything else is text.
bool isTextTag(int32_t code, int32_t tag)
{
    if (code == MetaFormatId3v1) return tag <= 114;
    if (code == MetaFormatId3v2) return tag <= 46 || tag == kId3v2CommentTag || tag == 84;
    return true;
}

// Bytes in front of an ID3v2 value: its encoding byte, and for the comment frame also the
// language and the empty description's terminator.
int32_t leadOf(int32_t code, int32_t tag)
{
    if (code != MetaFormatId3v2) return 0;
    return tag == kId3v2CommentTag ? kId3v2CommentLead : kId3v2TextLead;
}

// The stored value after its leading bytes; empty when there is none.
std::span<const BYTE> valueOf(const TagEntry& entry, int32_t lead)
{
    if (entry.nLength <= lead || !entry.pData) return {};
    return {entry.pData + lead, static_cast<size_t>(entry.nLength - lead)};
}

std::optional<std::u16string> widen(std::span<const BYTE> bytes, UINT codePage)
{
    if (bytes.empty()) return std::u16string();
    const auto* text = reinterpret_cast<const char*>(bytes.data());
    const int cb = static_cast<int>(bytes.size());
    const int n = MultiByteToWideChar(codePage, 0, text, cb, nullptr, 0);
    if (n <= 0) return std::nullopt;
    std::u16string wide(static_cast<size_t>(n), u'\0');
    if (MultiByteToWideChar(codePage, 0, text, cb, wide.data(), n) != n) return std::nullopt;
    return wide;
}

std::optional<std::string> narrow(std::u16string_view text, UINT codePage)
{
    if (text.empty()) return std::string();
    const int cch = static_cast<int>(text.size());
    const int n = WideCharToMultiByte(codePage, 0, text.data(), cch, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::nullopt;
    std::string out(static_cast<size_t>(n), '\0');
    if (WideCharToMultiByte(codePage, 0, text.data(), cch, out.data(), n, nullptr, nullptr) != n)
        return std::nullopt;
    return out;
}

// The caller's UTF-16 text of nDataSize bytes, up to its first NUL.
std::u16string_view callerText(const BYTE* pbData, int32_t nDataSize)
{
    std::u16string_view text(reinterpret_cast<const char16_t*>(pbData),
                             static_cast<size_t>(nDataSize) / sizeof(char16_t));
    return text.substr(0, text.find(u'\0'));
}

bool putTerminated(std::u16string_view text, WCHAR* buffer, size_t room)
{
    if (text.size() + 1 > room) return false;
    std::copy(text.begin(), text.end(), buffer);
    buffer[text.size()] = u'\0';
    return true;
}

// "AB 01 FF": two digits per byte, single spaces between, always terminated; bytes that no
// longer fit are left out.
void putHex(std::span<const BYTE> bytes, WCHAR* buffer, size_t room)
{
    static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
    size_t at = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const size_t separator = i > 0 ? 1 : 0;
        if (at + separator + 2 + 1 > room) break;
        if (separator) buffer[at++] = u' ';
        buffer[at++] = kDigits[bytes[i] >> 4];
        buffer[at++] = kDigits[bytes[i] & 0xF];
    }
    if (room > 0) buffer[std::min(at, room - 1)] = u'\0';
}

} // namespace

void tagEditorLockInit()
{
    if (g_tagEditorLock.enabled) return;
    InitializeCriticalSection(&g_tagEditorLock.section);
    g_tagEditorLock.enabled = true;
}

void tagEditorLockFini()
{
    if (!g_tagEditorLock.enabled) return;
    g_tagEditorLock.enabled = false;
    DeleteCriticalSection(&g_tagEditorLock.section);
}

CTagEditorSource::CTagEditorSource(const VideoFileInfo& videoInfo)
{
    std::memcpy(m_path.data(), videoInfo.ansiPath, m_path.size());
    m_path.back() = '\0';
}

CTagEditorSource::~CTagEditorSource()
{
    TagEditorLockHold hold;
    if (m_editor && m_block) m_editor->Close();
    m_block = nullptr;
    m_editor = nullptr;
}

// Creates the component and opens the file once; a failure is remembered and answered from
// then on without another attempt.
HRESULT CTagEditorSource::ensureComponent()
{
    if (m_editor) return S_OK;
    if (FAILED(m_creationFailure)) return m_creationFailure;
    ComPtr<ITagEditor> editor;
    HRESULT hr = CoCreateInstance(CLSID_TagEditor, nullptr, CLSCTX_ALL, IID_ITagEditor,
                                  reinterpret_cast<void**>(editor.GetAddressOf()));
    if (SUCCEEDED(hr) && !editor) hr = E_NOINTERFACE;
    TagBlock* block = nullptr;
    DWORD families = 0;
    if (SUCCEEDED(hr)) hr = editor->Open(0, m_path.data(), &block, &families, 0);
    if (FAILED(hr)) {
        m_creationFailure = hr;
        return hr;
    }
    m_editor = std::move(editor);
    m_block = block;
    return S_OK;
}

const TagEntry* CTagEditorSource::entryOf(int32_t nMetaFormat, int32_t nMetaTag) const
{
    const Family* family = familyOf(nMetaFormat);
    if (!family || !inFamily(*family, nMetaTag) || !m_block) return nullptr;
    if (!m_block->familyPresent[nMetaFormat]) return nullptr;
    const TagEntry& entry = m_block->entries[nMetaTag];
    if (entry.nLength <= 0 || !entry.pData) return nullptr;
    return &entry;
}

HRESULT CTagEditorSource::GetMetaTags(int32_t nMetaFormat, int32_t* pnTotalTags, int32_t* pnTagList,
                                      int32_t nRoom)
{
    if (!pnTotalTags) return E_INVALIDARG;
    *pnTotalTags = 0;
    const Family* family = familyOf(nMetaFormat);
    if (!family) return E_FAIL;
    TagEditorLockHold hold;
    if (const HRESULT hr = ensureComponent(); FAILED(hr)) return hr;
    if (!m_block || !m_block->familyPresent[nMetaFormat]) return S_OK;
    int32_t count = 0;
    for (int32_t tag = family->firstTag; tag <= family->lastTag; ++tag) {
        if (m_block->entries[tag].nLength <= 0) continue;
        if (pnTagList && count < nRoom) pnTagList[count] = tag;
        ++count;
    }
    *pnTotalTags = count;
    return S_OK;
}

HRESULT CTagEditorSource::GetMetaData(int32_t nMetaFormat, int32_t nMetaTag, BYTE* pbData,
                                      int32_t nBufSize, int32_t* pnDataSize)
{
    const Family* family = familyOf(nMetaFormat);
    if (!family) return E_FAIL;
    TagEditorLockHold hold;
    if (const HRESULT hr = ensureComponent(); FAILED(hr)) return hr;
    const TagEntry* entry = entryOf(nMetaFormat, nMetaTag);
    if (!entry) return E_FAIL;
    const std::span<const BYTE> value = valueOf(*entry, leadOf(nMetaFormat, nMetaTag));
    if (pnDataSize) *pnDataSize = static_cast<int32_t>(value.size());
    const size_t size = pbData && nBufSize > 0 ? static_cast<size_t>(nBufSize) : 0;
    if (value.empty() || size < value.size()) return S_OK; // a size query
    if (!isTextTag(nMetaFormat, nMetaTag)) {
        std::memcpy(pbData, value.data(), value.size());
        return S_OK;
    }
    // The reported size counts stored bytes, not UTF-16 ones: a buffer of that size may still
    // be too small for the text, which is then refused instead of left unwritten with S_OK.
    const auto text = widen(value, family->codePage);
    if (!text || text->size() > size / sizeof(WCHAR)) return E_FAIL;
    std::memcpy(pbData, text->data(), text->size() * sizeof(WCHAR));
    return S_OK;
}

HRESULT CTagEditorSource::GetMetaDataStr(int32_t nMetaFormat, int32_t nMetaTag, WCHAR* pszData,
                                         int32_t nBufSize)
{
    const Family* family = familyOf(nMetaFormat);
    if (!family) return E_FAIL;
    TagEditorLockHold hold;
    if (const HRESULT hr = ensureComponent(); FAILED(hr)) return hr;
    const TagEntry* entry = entryOf(nMetaFormat, nMetaTag);
    if (!entry) return E_FAIL;
    const std::span<const BYTE> value = valueOf(*entry, leadOf(nMetaFormat, nMetaTag));
    const size_t size = pszData && nBufSize > 0 ? static_cast<size_t>(nBufSize) : 0;
    if (value.empty() || size < value.size()) return E_FAIL;
    const size_t room = size / sizeof(WCHAR);
    std::fill_n(pszData, room, u'\0');
    if (!isTextTag(nMetaFormat, nMetaTag)) {
        putHex(value, pszData, room);
        return S_OK;
    }
    // A text that leaves no room for its terminator is refused rather than returned open.
    const auto text = widen(value, family->codePage);
    if (!text || !putTerminated(*text, pszData, room)) return E_FAIL;
    return S_OK;
}

HRESULT CTagEditorSource::SetMetaData(int32_t nMetaFormat, int32_t nMetaTag, const BYTE* pbData,
                                      int32_t nDataSize)
{
    const Family* family = familyOf(nMetaFormat);
    if (!family || !inFamily(*family, nMetaTag)) return E_FAIL;
    TagEditorLockHold hold;
    if (const HRESULT hr = ensureComponent(); FAILED(hr)) return hr;
    if (!m_block || !(m_block->familyFlags[nMetaFormat] & kTagFamilyWritable) || nDataSize <= 0)
        return E_FAIL;
    if (!pbData) return E_INVALIDARG;

    const TagEntry& current = m_block->entries[nMetaTag];
    const int32_t lead = leadOf(nMetaFormat, nMetaTag);
    const bool text = isTextTag(nMetaFormat, nMetaTag);

    // The new value in stored form, after its leading bytes. Text is converted whole, so a
    // UTF-8 form longer than the UTF-16 bytes is not cut.
    std::string body;
    if (text) {
        auto converted = narrow(callerText(pbData, nDataSize), family->codePage);
        if (!converted) return E_FAIL;
        body = std::move(*converted);
    } else {
        body.assign(reinterpret_cast<const char*>(pbData), static_cast<size_t>(nDataSize));
    }

    // Unchanged only when the whole stored value equals the new one; a prefix is not enough.
    if (current.nLength > 0 && current.pData) {
        std::span<const BYTE> stored = valueOf(current, lead);
        if (text && !stored.empty() && stored.back() == 0) stored = stored.first(stored.size() - 1);
        if (stored.size() == body.size() &&
            std::equal(stored.begin(), stored.end(), body.begin(),
                       [](BYTE a, char b) { return a == static_cast<BYTE>(b); }))
            return S_OK;
    }

    // Leading bytes, the value, and a terminator after a text.
    const size_t total = static_cast<size_t>(lead) + body.size() + (text ? 1 : 0);
    if (total > static_cast<size_t>(INT32_MAX)) return E_FAIL;
    std::vector<BYTE> stored(total, 0);
    if (nMetaFormat == MetaFormatId3v2 && text) {
        stored[0] = kId3v2EncodingUtf8;
        // The comment keeps the language it had; the component supplies one otherwise.
        if (nMetaTag == kId3v2CommentTag && current.pData && current.nLength >= lead &&
            std::all_of(current.pData + 1, current.pData + 4,
                        [](BYTE c) { return std::isalpha(c) != 0; }))
            std::copy(current.pData + 1, current.pData + 4, stored.begin() + 1);
    }
    std::copy(body.begin(), body.end(), stored.begin() + lead);

    TagEntry entry = current;
    entry.nLength = static_cast<int32_t>(total);
    entry.pData = stored.data();
    const HRESULT hr = m_editor->SetTag(nMetaTag, &entry, familyIndex(nMetaFormat), 0, 0, 0);
    if (FAILED(hr)) return hr;
    m_modified = true;
    return S_OK;
}

HRESULT CTagEditorSource::RemoveAllMetaData(int32_t nMetaFormat)
{
    if (!familyOf(nMetaFormat)) return E_FAIL;
    TagEditorLockHold hold;
    if (const HRESULT hr = ensureComponent(); FAILED(hr)) return hr;
    if (!m_block || !(m_block->familyFlags[nMetaFormat] & kTagFamilyRemovable)) return E_FAIL;
    const HRESULT hr = m_editor->RemoveFamily(familyIndex(nMetaFormat), 0);
    if (FAILED(hr)) return hr;
    m_modified = true;
    return S_OK;
}

HRESULT CTagEditorSource::GetMetaTagName(int32_t nMetaFormat, int32_t nMetaTag, WCHAR* pszTagName,
                                         int32_t nBufSize)
{
    const Family* family = familyOf(nMetaFormat);
    if (!family || !inFamily(*family, nMetaTag)) return E_FAIL;
    const std::string_view name = family->names[static_cast<size_t>(nMetaTag - family->firstTag)];
    const std::u16string wide(name.begin(), name.end()); // the names are ASCII
    const size_t room = pszTagName && nBufSize > 0 ? static_cast<size_t>(nBufSize) / 2 : 0;
    return putTerminated(wide, pszTagName, room) ? S_OK : E_FAIL;
}

HRESULT CTagEditorSource::Commit()
{
    if (!m_modified || !m_editor) return E_FAIL;
    return m_editor->Save(0);
}

} // namespace mio
