// SPDX-License-Identifier: MIT
// CImagePropertySource: lookups in the still-image library's property block, with every entry
// and value checked against the block's size before it is read.
#include "metadata/image_property_source.h"

#include <contracts/still_image_library.h>
#include <tavrel/platform/memory.h>
#include <tavrel/platform/text.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

namespace mio {

namespace {

constexpr uint16_t kTypeText = 1, kTypeInt32 = 2, kTypeBlock = 5, kTypeInt16 = 15;
constexpr size_t kEntriesAt = 8;
constexpr size_t kLeadSize = 4;

struct Range {
    int32_t base;
    int32_t count;
};

bool rangeOf(int32_t nMetaFormat, Range& range)
{
    if (nMetaFormat == 1)
        range = {5200, 100};
    else if (nMetaFormat == 2)
        range = {5600, 200};
    else
        return false;
    return true;
}

// The locked block, as far as it can be trusted: entries and values that lie outside its
// allocation are never read.
class BlockView {
  public:
    explicit BlockView(HGLOBAL block)
        : m_lock(block), m_base(static_cast<const uint8_t*>(m_lock.data())),
          m_size(m_base ? GlobalSize(block) : 0)
    {
    }

    bool ok() const { return m_base && m_size >= kEntriesAt; }

    uint32_t count() const
    {
        uint32_t n = 0;
        std::memcpy(&n, m_base + 4, 4);
        const size_t fits = (m_size - kEntriesAt) / sizeof(QfPropertyEntry);
        return n < fits ? n : static_cast<uint32_t>(fits);
    }

    QfPropertyEntry entry(uint32_t index) const
    {
        QfPropertyEntry e;
        std::memcpy(&e, m_base + kEntriesAt + size_t{index} * sizeof e, sizeof e);
        return e;
    }

    bool find(int32_t id, QfPropertyEntry& out) const
    {
        const uint32_t n = count();
        for (uint32_t i = 0; i < n; ++i) {
            out = entry(i);
            if (out.propertyId == id) return true;
        }
        return false;
    }

    // The value bytes of a text or byte-block entry; empty span and false when out of bounds.
    bool valueBytes(const QfPropertyEntry& e, std::string_view& out) const
    {
        if (e.length < 0) return false;
        const auto length = static_cast<size_t>(e.length);
        if (e.value > m_size || length > m_size - e.value) return false;
        out = std::string_view(reinterpret_cast<const char*>(m_base + e.value), length);
        return true;
    }

  private:
    tavrel::GlobalLockGuard m_lock;
    const uint8_t* m_base;
    size_t m_size;
};

std::string_view entryName(const QfPropertyEntry& e)
{
    const void* nul = std::memchr(e.name, 0, sizeof e.name);
    const size_t length =
        nul ? static_cast<size_t>(static_cast<const char*>(nul) - e.name) : sizeof e.name;
    return {e.name, length};
}

// ANSI text to UTF-16 with terminator in a buffer of nBufSize bytes; false when it does not fit.
bool ansiOut(std::string_view text, WCHAR* out, int32_t nBufSize)
{
    if (!out || nBufSize < 2) return false;
    const int room = nBufSize / 2;
    if (text.empty()) {
        out[0] = u'\0';
        return true;
    }
    const int n =
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), out, room - 1);
    if (n <= 0) return false;
    out[n] = u'\0';
    return true;
}

bool asciiOut(const std::string& text, WCHAR* out, int32_t nBufSize)
{
    if (!out || nBufSize < 0 || text.size() + 1 > static_cast<size_t>(nBufSize) / 2) return false;
    for (size_t i = 0; i < text.size(); ++i)
        out[i] = static_cast<WCHAR>(text[i]);
    out[text.size()] = u'\0';
    return true;
}

int32_t int32At(std::string_view bytes, size_t at)
{
    int32_t v = 0;
    std::memcpy(&v, bytes.data() + at, 4);
    return v;
}

} // namespace

CImagePropertySource::~CImagePropertySource()
{
    if (m_block) qfFileFreeProperty(m_fileData, m_block);
}

HRESULT CImagePropertySource::ensureBlock()
{
    if (m_block) return S_OK;
    HGLOBAL block = nullptr;
    if (!qfFileGetProperty(m_fileData, &block) || !block) return E_FAIL;
    m_block = block;
    return S_OK;
}

HRESULT CImagePropertySource::GetMetaTags(int32_t nMetaFormat, int32_t* pnTotalTags,
                                          int32_t* pnTagList, int32_t nRoom)
{
    if (pnTotalTags) *pnTotalTags = 0;
    Range range{};
    if (!rangeOf(nMetaFormat, range)) return E_FAIL;
    if (!pnTotalTags) return E_INVALIDARG;
    if (FAILED(ensureBlock())) return E_FAIL;
    BlockView view(m_block);
    if (!view.ok()) return E_FAIL;
    int32_t total = 0;
    const uint32_t n = view.count();
    for (uint32_t i = 0; i < n; ++i) {
        const int32_t tag = view.entry(i).propertyId - range.base;
        if (tag < 0 || tag >= range.count) continue;
        if (pnTagList && total < nRoom) pnTagList[total] = tag;
        ++total;
    }
    *pnTotalTags = total;
    return S_OK;
}

HRESULT CImagePropertySource::GetMetaData(int32_t nMetaFormat, int32_t nMetaTag, BYTE* pbData,
                                          int32_t nBufSize, int32_t* pnDataSize)
{
    Range range{};
    if (!rangeOf(nMetaFormat, range)) return E_FAIL;
    if (FAILED(ensureBlock())) return E_FAIL;
    BlockView view(m_block);
    QfPropertyEntry e;
    if (!view.ok() || nMetaTag < 0 || nMetaTag >= range.count ||
        !view.find(nMetaTag + range.base, e))
        return E_FAIL;
    const size_t room = nBufSize > 0 ? static_cast<size_t>(nBufSize) : 0;
    switch (e.valueType) {
    case kTypeText: {
        std::string_view text;
        if (!view.valueBytes(e, text)) return E_FAIL;
        if (pnDataSize) *pnDataSize = e.length;
        if (!pbData && room == 0) return S_OK; // size query
        // The bytes go out as UTF-16; a buffer too small for them is a failure, not a cut text.
        return ansiOut(text, reinterpret_cast<WCHAR*>(pbData), nBufSize) ? S_OK : E_FAIL;
    }
    case kTypeInt32:
        if (pnDataSize) *pnDataSize = 4;
        if (!pbData || room < 4) return E_FAIL;
        std::memcpy(pbData, &e.value, 4);
        return S_OK;
    case kTypeInt16: {
        if (pnDataSize) *pnDataSize = 2;
        if (!pbData || room < 2) return E_FAIL;
        const auto v = static_cast<uint16_t>(e.value);
        std::memcpy(pbData, &v, 2);
        return S_OK;
    }
    case kTypeBlock: {
        std::string_view bytes;
        if (!view.valueBytes(e, bytes) || bytes.size() < kLeadSize) return E_FAIL;
        const size_t payload = bytes.size() - kLeadSize;
        if (pnDataSize) *pnDataSize = static_cast<int32_t>(payload);
        if (room < payload || (payload > 0 && !pbData)) return E_FAIL;
        if (payload > 0) std::memcpy(pbData, bytes.data() + kLeadSize, payload);
        return S_OK;
    }
    default:
        return E_FAIL;
    }
}

HRESULT CImagePropertySource::GetMetaDataStr(int32_t nMetaFormat, int32_t nMetaTag, WCHAR* pszData,
                                             int32_t nBufSize)
{
    Range range{};
    if (!rangeOf(nMetaFormat, range)) return E_FAIL;
    if (FAILED(ensureBlock())) return E_FAIL;
    BlockView view(m_block);
    QfPropertyEntry e;
    if (!view.ok() || nMetaTag < 0 || nMetaTag >= range.count ||
        !view.find(nMetaTag + range.base, e))
        return E_FAIL;
    switch (e.valueType) {
    case kTypeText: {
        std::string_view text;
        if (!view.valueBytes(e, text)) return E_FAIL;
        return ansiOut(text, pszData, nBufSize) ? S_OK : E_FAIL;
    }
    case kTypeInt32:
        return asciiOut(std::to_string(static_cast<int32_t>(e.value)), pszData, nBufSize) ? S_OK
                                                                                          : E_FAIL;
    case kTypeInt16:
        return asciiOut(std::to_string(static_cast<int16_t>(e.value)), pszData, nBufSize) ? S_OK
                                                                                          : E_FAIL;
    case kTypeBlock: {
        std::string_view bytes;
        if (!view.valueBytes(e, bytes) || bytes.size() < kLeadSize) return E_FAIL;
        const std::string_view payload = bytes.substr(kLeadSize);
        if (e.blockType == 4) {
            if (payload.size() < 4) return E_FAIL;
            return asciiOut(std::to_string(int32At(payload, 0)), pszData, nBufSize) ? S_OK : E_FAIL;
        }
        if (e.blockType == 5 || e.blockType == 10) {
            if (payload.size() < 8) return E_FAIL;
            const std::string text =
                std::to_string(int32At(payload, 0)) + " / " + std::to_string(int32At(payload, 4));
            return asciiOut(text, pszData, nBufSize) ? S_OK : E_FAIL;
        }
        // Raw bytes as hex; a byte is written only while room for it, its separator and the
        // terminator is left, so a long block is cut rather than overflowing the buffer.
        if (!pszData || nBufSize < 2) return E_FAIL;
        const size_t room = static_cast<size_t>(nBufSize) / 2;
        size_t pos = 0;
        for (size_t i = 0; i < payload.size(); ++i) {
            const size_t need = (i > 0 ? 1 : 0) + 2 + 1;
            if (room - pos < need) break;
            char hex[3];
            std::snprintf(hex, sizeof hex, "%02X", static_cast<uint8_t>(payload[i]));
            if (i > 0) pszData[pos++] = u' ';
            pszData[pos++] = static_cast<WCHAR>(hex[0]);
            pszData[pos++] = static_cast<WCHAR>(hex[1]);
        }
        pszData[pos] = u'\0';
        return S_OK;
    }
    default:
        return E_FAIL;
    }
}

HRESULT CImagePropertySource::GetMetaTagName(int32_t nMetaFormat, int32_t nMetaTag,
                                             WCHAR* pszTagName, int32_t nBufSize)
{
    Range range{};
    if (!rangeOf(nMetaFormat, range)) return E_FAIL;
    if (FAILED(ensureBlock())) return E_FAIL;
    BlockView view(m_block);
    QfPropertyEntry e;
    if (!view.ok() || nMetaTag < 0 || nMetaTag >= range.count ||
        !view.find(nMetaTag + range.base, e))
        return E_FAIL;
    const std::string_view name = entryName(e);
    if (name.empty()) return E_FAIL;
    return ansiOut(name, pszTagName, nBufSize) ? S_OK : E_FAIL;
}

} // namespace mio
