// SPDX-License-Identifier: MIT
// CExifLibSource: the EXIF reader's values of tags 100..104 as data and text, under the
// EXIF-library lock.
#include "metadata/exif_lib_source.h"

#include <contracts/still_image_library.h>
#include <tavrel/platform/memory.h>
#include <tavrel/platform/sync.h>
#include <tavrel/platform/text.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace mio {

namespace {

// The process-wide EXIF-library lock: a recursive section with an enabled flag, so that code
// running without the module (or after its unload) takes no lock at all.
struct ExifLibraryLock {
    CRITICAL_SECTION section{};
    bool enabled = false;
};
ExifLibraryLock g_exifLock;

class ExifLockHold {
  public:
    ExifLockHold()
    {
        if (g_exifLock.enabled) EnterCriticalSection(&g_exifLock.section);
    }
    ~ExifLockHold()
    {
        if (g_exifLock.enabled) LeaveCriticalSection(&g_exifLock.section);
    }
    ExifLockHold(const ExifLockHold&) = delete;
    ExifLockHold& operator=(const ExifLockHold&) = delete;
};

struct ExifRow {
    int32_t tag;
    int exifId;
    std::u16string_view name;
};

constexpr ExifRow kRows[] = {
    {100, 0x10F, u"Make"},
    {101, 0x110, u"Model"},
    {102, 0x132, u"DateTime"},
    {103, 0x112, u"Orientation"},
    {104, 0x10E, u"ImageDescription"},
};

const ExifRow* findRow(int32_t tag)
{
    for (const ExifRow& row : kRows)
        if (row.tag == tag) return &row;
    return nullptr;
}

// A value fetched from the reader; its buffer is the reader's allocation, released with free.
struct FetchedValue {
    int32_t type = 0;
    int32_t length = 0;
    std::unique_ptr<BYTE, decltype(&std::free)> data{nullptr, &std::free};

    size_t size() const { return length > 0 ? static_cast<size_t>(length) : 0; }
};

bool fetch(HEXIFREADER reader, int32_t tag, FetchedValue& value)
{
    const ExifRow* row = findRow(tag);
    if (!reader || !row) return false;
    ExifTagValue raw{};
    const int rc = qExifGetTag(reader, row->exifId, &raw, 0);
    value.data.reset(raw.pData);
    if (rc != 0 || !raw.pData) return false;
    value.type = raw.nType;
    value.length = raw.nLength;
    return true;
}

// Writes `text` and a terminator into a buffer of nBufSize bytes; false when it does not fit.
bool putText(std::u16string_view text, WCHAR* buffer, int32_t nBufSize)
{
    if (!buffer || nBufSize < 0) return false;
    const size_t room = static_cast<size_t>(nBufSize) / sizeof(WCHAR);
    if (text.size() + 1 > room) return false;
    std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
    buffer[text.size()] = u'\0';
    return true;
}

// The reader's ANSI text (active code page) as UTF-16, up to its first NUL.
std::optional<std::u16string> ansiText(const FetchedValue& value)
{
    std::string_view bytes(reinterpret_cast<const char*>(value.data.get()), value.size());
    bytes = bytes.substr(0, bytes.find('\0'));
    if (bytes.empty()) return std::u16string();
    const int cb = static_cast<int>(bytes.size());
    const int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), cb, nullptr, 0);
    if (n <= 0) return std::nullopt;
    std::u16string wide(static_cast<size_t>(n), u'\0');
    if (MultiByteToWideChar(CP_ACP, 0, bytes.data(), cb, wide.data(), n) != n) return std::nullopt;
    return wide;
}

// A fixed-size number of the value, or nothing when the reader gave fewer bytes.
template <typename T> std::optional<T> numberOf(const FetchedValue& value)
{
    if (value.size() < sizeof(T)) return std::nullopt;
    T number;
    std::memcpy(&number, value.data.get(), sizeof(T));
    return number;
}

std::u16string decimal(long long number)
{
    const std::string text = std::to_string(number);
    return std::u16string(text.begin(), text.end());
}

} // namespace

void exifLibraryLockInit()
{
    if (g_exifLock.enabled) return;
    InitializeCriticalSection(&g_exifLock.section);
    g_exifLock.enabled = true;
}

void exifLibraryLockFini()
{
    if (!g_exifLock.enabled) return;
    g_exifLock.enabled = false;
    DeleteCriticalSection(&g_exifLock.section);
}

CExifLibSource::CExifLibSource(HGLOBAL hFileData)
{
    ExifLockHold hold;
    HEXIFREADER reader = nullptr;
    {
        tavrel::GlobalLockGuard record(hFileData);
        const auto* data = static_cast<const ImageFileData*>(record.data());
        if (!data || !std::memchr(data->path, '\0', sizeof(data->path))) return;
        reader = qExifLoadFile(data->path);
    }
    if (reader && !qExifIsExifExist(reader)) {
        qExifDestroy(reader);
        reader = nullptr;
    }
    m_reader = reader;
}

CExifLibSource::~CExifLibSource()
{
    ExifLockHold hold;
    if (m_reader) qExifDestroy(m_reader);
}

HRESULT CExifLibSource::GetMetaTags(int32_t* pnTotalTags, int32_t* pnTagList, int32_t nRoom)
{
    if (!pnTotalTags) return E_INVALIDARG;
    *pnTotalTags = 0;
    ExifLockHold hold;
    if (!m_reader) return E_FAIL;
    int32_t count = 0;
    for (const ExifRow& row : kRows) {
        FetchedValue value;
        if (!fetch(m_reader, row.tag, value)) continue;
        if (pnTagList && count < nRoom) pnTagList[count] = row.tag;
        ++count;
    }
    *pnTotalTags = count;
    return S_OK;
}

HRESULT CExifLibSource::GetMetaData(int32_t nMetaTag, BYTE* pbData, int32_t nBufSize,
                                    int32_t* pnDataSize)
{
    ExifLockHold hold;
    FetchedValue value;
    if (!fetch(m_reader, nMetaTag, value)) return E_FAIL;
    const size_t room = pbData && nBufSize > 0 ? static_cast<size_t>(nBufSize) : 0;
    auto report = [&](int32_t size) {
        if (pnDataSize) *pnDataSize = size;
    };
    switch (value.type) {
    case ExifTypeAscii: {
        // The size reported is the reader's ANSI length; the buffer gets UTF-16. A text that
        // does not fit with its terminator is refused rather than handed out cut and open.
        report(value.length);
        const auto text = ansiText(value);
        if (!text) return E_FAIL;
        return putText(*text, reinterpret_cast<WCHAR*>(pbData), static_cast<int32_t>(room))
                   ? S_OK
                   : E_FAIL;
    }
    case ExifTypeShort:
    case ExifTypeSShort: {
        report(2);
        const auto number = numberOf<uint16_t>(value);
        if (!number || room < 2) return E_FAIL;
        std::memcpy(pbData, &*number, 2);
        return S_OK;
    }
    case ExifTypeLong:
    case ExifTypeSLong: {
        report(4);
        const auto number = numberOf<uint32_t>(value);
        if (!number || room < 4) return E_FAIL;
        std::memcpy(pbData, &*number, 4);
        return S_OK;
    }
    default:
        report(value.length);
        if (room < value.size()) return E_FAIL;
        if (value.size() > 0) std::memcpy(pbData, value.data.get(), value.size());
        return S_OK;
    }
}

HRESULT CExifLibSource::GetMetaDataStr(int32_t nMetaTag, WCHAR* pszData, int32_t nBufSize)
{
    ExifLockHold hold;
    FetchedValue value;
    if (!fetch(m_reader, nMetaTag, value)) return E_FAIL;
    std::optional<std::u16string> text;
    // Unsigned field types print unsigned: an unsigned SHORT of 65535 is not -1.
    switch (value.type) {
    case ExifTypeAscii:
        text = ansiText(value);
        break;
    case ExifTypeShort:
        if (const auto n = numberOf<uint16_t>(value)) text = decimal(*n);
        break;
    case ExifTypeSShort:
        if (const auto n = numberOf<int16_t>(value)) text = decimal(*n);
        break;
    case ExifTypeLong:
        if (const auto n = numberOf<uint32_t>(value)) text = decimal(*n);
        break;
    case ExifTypeSLong:
        if (const auto n = numberOf<int32_t>(value)) text = decimal(*n);
        break;
    default:
        break;
    }
    if (!text) return E_FAIL;
    return putText(*text, pszData, nBufSize) ? S_OK : E_FAIL;
}

HRESULT CExifLibSource::GetMetaTagName(int32_t nMetaTag, WCHAR* pszTagName, int32_t nBufSize)
{
    const ExifRow* row = findRow(nMetaTag);
    if (!row) return E_FAIL;
    return putText(row->name, pszTagName, nBufSize) ? S_OK : E_FAIL;
}

} // namespace mio
