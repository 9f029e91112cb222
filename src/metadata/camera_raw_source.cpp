// SPDX-License-Identifier: MIT
// CCameraRawSource: the camera-raw library's shooting data as EXIF tag values and texts.
#include "metadata/camera_raw_source.h"

#include <contracts/still_image_library.h>
#include <tavrel/platform/files.h>
#include <tavrel/platform/memory.h>
#include <tavrel/platform/text.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace mio {

namespace {

constexpr int32_t kTagMake = 100;
constexpr int32_t kTagModel = 101;
constexpr int32_t kTagFlash = 29;
constexpr int32_t kTagIso = 19;
constexpr int32_t kTagExposureTime = 15;
constexpr int32_t kTagFNumber = 16;
constexpr int32_t kTagFocalLength = 30;
constexpr int32_t kTagDateTimeOriginal = 10;
constexpr int32_t kTagOrientation = 103;
constexpr int kMaxNameBytes = 4096;

struct TagRow {
    int32_t tag;
    std::u16string_view name;
};

// Listing order of GetMetaTags; names as the EXIF catalogue gives them.
constexpr TagRow kTags[] = {
    {kTagMake, u"Make"},
    {kTagModel, u"Model"},
    {kTagFlash, u"Flash"},
    {kTagIso, u"ISO speed ratings"},
    {kTagExposureTime, u"Exposure time"},
    {kTagFNumber, u"F number"},
    {kTagFocalLength, u"Focal length"},
    {kTagDateTimeOriginal, u"Date and time of original generation"},
    {kTagOrientation, u"Orientation"},
};

const TagRow* findTag(int32_t tag)
{
    for (const TagRow& row : kTags)
        if (row.tag == tag) return &row;
    return nullptr;
}

// Truncation toward zero; nothing for values an int32 cannot hold (NaN, infinities, a zero
// exposure time inverted), where a plain cast would be undefined.
std::optional<int32_t> truncated(double value)
{
    if (!std::isfinite(value)) return std::nullopt;
    const double t = std::trunc(value);
    if (t < -2147483648.0 || t > 2147483647.0) return std::nullopt;
    return static_cast<int32_t>(t);
}

// The library's flip code as an EXIF orientation value; -1 for codes EXIF cannot express.
int32_t orientationOf(int flip)
{
    switch (flip) {
    case 0:
        return 1;
    case 3:
        return 3;
    case 5:
        return 8;
    case 6:
        return 6;
    default:
        return -1;
    }
}

std::u16string asciiToWide(std::string_view text)
{
    return std::u16string(text.begin(), text.end());
}

// Make or model as UTF-16, converted from the library's ANSI text in the thread's code page;
// empty when the file names none.
std::u16string fetchName(HDCRAW raw, int (*getter)(HDCRAW, LPSTR, int*))
{
    int length = 0;
    getter(raw, nullptr, &length);
    if (length <= 0) return {};
    // A maker or model name is a few dozen bytes; a claimed length beyond this is not trusted
    // with an allocation of that size.
    length = std::min(length, kMaxNameBytes);
    // One byte more than asked so the text is terminated whatever the library copies.
    std::string ansi(static_cast<size_t>(length) + 1, '\0');
    int room = length;
    getter(raw, ansi.data(), &room);
    ansi.resize(std::strlen(ansi.c_str()));
    if (ansi.empty()) return {};
    const int cch = MultiByteToWideChar(CP_THREAD_ACP, 0, ansi.data(),
                                        static_cast<int>(ansi.size()), nullptr, 0);
    if (cch <= 0) return {};
    std::u16string wide(static_cast<size_t>(cch), u'\0');
    MultiByteToWideChar(CP_THREAD_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(),
                        cch);
    return wide;
}

// "YYYY:MM:DD hh:mm:ss" of seconds since 1970, in local time.
std::optional<std::u16string> formatTimeStamp(int64_t seconds)
{
    FILETIME utc{};
    FILETIME local{};
    SYSTEMTIME st{};
    if (!TavrelUnixTimeToFileTime(seconds, 0, &utc) || !FileTimeToLocalFileTime(&utc, &local) ||
        !FileTimeToSystemTime(&local, &st))
        return std::nullopt;
    char text[64];
    std::snprintf(text, sizeof text, "%04d:%02d:%02d %02d:%02d:%02d", st.wYear, st.wMonth, st.wDay,
                  st.wHour, st.wMinute, st.wSecond);
    return asciiToWide(text);
}

HRESULT copyText(std::u16string_view text, WCHAR* out, int32_t nBufSize)
{
    const size_t bytes = (text.size() + 1) * sizeof(WCHAR);
    if (nBufSize < 0 || static_cast<size_t>(nBufSize) < bytes) return E_INVALIDARG;
    std::memcpy(out, text.data(), text.size() * sizeof(WCHAR));
    out[text.size()] = u'\0';
    return S_OK;
}

void clearBuffer(void* buffer, int32_t nBufSize)
{
    if (nBufSize > 0) std::memset(buffer, 0, static_cast<size_t>(nBufSize));
}

template <typename T>
HRESULT putValue(const T& value, BYTE* out, int32_t nBufSize, int32_t* pnDataSize)
{
    if (pnDataSize) *pnDataSize = static_cast<int32_t>(sizeof(T));
    if (nBufSize < static_cast<int32_t>(sizeof(T))) return E_FAIL;
    std::memcpy(out, &value, sizeof(T));
    return S_OK;
}

struct Rational {
    int32_t numerator;
    int32_t denominator;
};

} // namespace

CCameraRawSource::CCameraRawSource(HGLOBAL hFileData) : m_fileData(hFileData)
{
    {
        tavrel::GlobalLockGuard lock(hFileData);
        const auto* data = static_cast<const ImageFileData*>(lock.data());
        if (!data) return;
        std::memcpy(m_path.data(), data->path, m_path.size());
        m_path.back() = '\0';
    }
    HDCRAW raw = InitDCRaw(m_path.data());
    if (raw && IdentifyRawData(raw) != 0) {
        ClearDCRaw(raw);
        raw = nullptr;
    }
    m_raw = raw;
}

CCameraRawSource::~CCameraRawSource()
{
    if (m_raw) ClearDCRaw(m_raw);
}

HRESULT CCameraRawSource::GetMetaTags(int32_t* pnTotalTags, int32_t* pnTagList, int32_t nRoom)
{
    if (!pnTotalTags) return E_INVALIDARG;
    if (!m_raw) return E_FAIL;
    int32_t count = 0;
    auto add = [&](bool present, int32_t tag) {
        if (!present) return;
        ++count;
        if (pnTagList && count <= nRoom) pnTagList[count - 1] = tag;
    };
    int length = 0;
    add(GetMake(m_raw, nullptr, &length) > 0 || length > 0, kTagMake);
    length = 0;
    add(GetModel(m_raw, nullptr, &length) > 0 || length > 0, kTagModel);
    // A NaN compares unequal to 0.0 and so counts as present.
    add(GetFlashUsed(m_raw) != 0.0, kTagFlash);
    add(GetIsoSpeed(m_raw) != 0.0, kTagIso);
    add(GetShutter(m_raw) != 0.0, kTagExposureTime);
    add(GetAperture(m_raw) != 0.0, kTagFNumber);
    add(GetFocalLenr(m_raw) != 0.0, kTagFocalLength);
    add(GetTimeStamp(m_raw) != 0, kTagDateTimeOriginal);
    add(GetTiffFlip(m_raw) != -1, kTagOrientation);
    *pnTotalTags = count;
    return S_OK;
}

HRESULT CCameraRawSource::GetMetaData(int32_t nMetaTag, BYTE* pbData, int32_t nBufSize,
                                      int32_t* pnDataSize)
{
    if (!m_raw) return E_FAIL;
    if (!pbData) return E_INVALIDARG;
    switch (nMetaTag) {
    case kTagMake:
    case kTagModel: {
        const std::u16string name = fetchName(m_raw, nMetaTag == kTagMake ? GetMake : GetModel);
        if (name.empty()) {
            clearBuffer(pbData, nBufSize);
            return S_OK;
        }
        const auto bytes = static_cast<int32_t>((name.size() + 1) * sizeof(WCHAR));
        if (pnDataSize) *pnDataSize = bytes;
        if (nBufSize < bytes) return E_INVALIDARG;
        std::memcpy(pbData, name.c_str(), static_cast<size_t>(bytes));
        return S_OK;
    }
    case kTagFlash:
    case kTagIso: {
        const auto value =
            truncated(nMetaTag == kTagFlash ? GetFlashUsed(m_raw) : GetIsoSpeed(m_raw));
        if (pnDataSize) *pnDataSize = 2;
        if (!value) return E_FAIL;
        return putValue(static_cast<uint16_t>(*value), pbData, nBufSize, pnDataSize);
    }
    case kTagExposureTime: {
        const auto denominator = truncated(1.0 / GetShutter(m_raw) + 0.5);
        if (pnDataSize) *pnDataSize = 8;
        if (!denominator) return E_FAIL;
        return putValue(Rational{1, *denominator}, pbData, nBufSize, pnDataSize);
    }
    case kTagFNumber: {
        const auto numerator = truncated(GetAperture(m_raw) * 1000.0);
        if (pnDataSize) *pnDataSize = 8;
        if (!numerator) return E_FAIL;
        return putValue(Rational{*numerator, 1000}, pbData, nBufSize, pnDataSize);
    }
    case kTagFocalLength: {
        const auto numerator = truncated(GetFocalLenr(m_raw));
        if (pnDataSize) *pnDataSize = 8;
        if (!numerator) return E_FAIL;
        return putValue(Rational{*numerator, 1}, pbData, nBufSize, pnDataSize);
    }
    case kTagDateTimeOriginal: {
        const auto text = formatTimeStamp(GetTimeStamp(m_raw));
        if (!text) return E_FAIL;
        const auto bytes = static_cast<int32_t>((text->size() + 1) * sizeof(WCHAR));
        if (pnDataSize) *pnDataSize = bytes;
        if (nBufSize < bytes) return E_FAIL;
        std::memcpy(pbData, text->c_str(), static_cast<size_t>(bytes));
        return S_OK;
    }
    case kTagOrientation: {
        const int32_t orientation = orientationOf(GetTiffFlip(m_raw));
        return putValue(static_cast<uint16_t>(orientation), pbData, nBufSize, pnDataSize);
    }
    default:
        return E_FAIL;
    }
}

HRESULT CCameraRawSource::GetMetaDataStr(int32_t nMetaTag, WCHAR* pszData, int32_t nBufSize)
{
    if (!m_raw) return E_FAIL;
    if (!pszData) return E_INVALIDARG;
    char number[32];
    auto format = [&](const char* fmt, auto... args) {
        std::snprintf(number, sizeof number, fmt, args...);
        return asciiToWide(number);
    };
    std::u16string text;
    switch (nMetaTag) {
    case kTagMake:
    case kTagModel:
        text = fetchName(m_raw, nMetaTag == kTagMake ? GetMake : GetModel);
        if (text.empty()) {
            clearBuffer(pszData, nBufSize);
            return E_FAIL;
        }
        break;
    case kTagFlash:
    case kTagIso: {
        const auto value =
            truncated(nMetaTag == kTagFlash ? GetFlashUsed(m_raw) : GetIsoSpeed(m_raw));
        if (!value) return E_FAIL;
        text = format("%d", *value);
        break;
    }
    case kTagExposureTime: {
        const double shutter = static_cast<float>(GetShutter(m_raw));
        const auto value =
            shutter > 0.0 && shutter < 1.0 ? truncated(1.0 / shutter + 0.5) : truncated(shutter);
        if (!value) return E_FAIL;
        text = format(shutter > 0.0 && shutter < 1.0 ? "1/%d" : "%d", *value);
        break;
    }
    case kTagFNumber: {
        // Narrowed to single precision first: 2.8 reads as 2799/1000.
        const auto value =
            truncated(static_cast<double>(static_cast<float>(GetAperture(m_raw))) * 1000.0);
        if (!value) return E_FAIL;
        text = format("%d/1000", *value);
        break;
    }
    case kTagFocalLength: {
        const auto value = truncated(GetFocalLenr(m_raw));
        if (!value) return E_FAIL;
        text = format("%d/1", *value);
        break;
    }
    case kTagDateTimeOriginal: {
        auto stamp = formatTimeStamp(GetTimeStamp(m_raw));
        if (!stamp) return E_FAIL;
        text = std::move(*stamp);
        break;
    }
    case kTagOrientation:
        text = format("%d", orientationOf(GetTiffFlip(m_raw)));
        break;
    default:
        return E_FAIL;
    }
    return copyText(text, pszData, nBufSize);
}

HRESULT CCameraRawSource::GetMetaTagName(int32_t nMetaTag, WCHAR* pszTagName, int32_t nBufSize)
{
    if (!m_raw) return E_FAIL;
    if (!pszTagName) return E_INVALIDARG;
    const TagRow* row = findTag(nMetaTag);
    if (!row) return E_FAIL;
    return copyText(row->name, pszTagName, nBufSize) == S_OK ? S_OK : E_FAIL;
}

HRESULT CCameraRawSource::HasEmbeddedPreview()
{
    if (!m_raw) return E_FAIL;
    return EmbeddedThumbnail(m_raw) != 0 ? S_OK : S_FALSE;
}

} // namespace mio
