// SPDX-License-Identifier: MIT
// CImageFileIO metadata: tags read through the imaging query readers, XMP written through the fast
// metadata encoder, and the one-time padded rewrite of a read-only file without XMP.
#include <tavrel/platform/system.h>
#include <tavrel/platform/text.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "imageobject/image_file_io.h"
#include "imageobject/result_macros.h"
#include "metadata/tag_catalogue.h"

namespace mio {

namespace {

constexpr int32_t kFormatExif = 1;
constexpr int32_t kFormatIptc = 2;
constexpr int32_t kFormatXmp = 7;
constexpr ULONG kXmpPaddingBytes = 4096;
constexpr ULONG kCopyChunk = 512;
constexpr int32_t kBstrBufferBytes = 128;

/// Frees a name handed out by an IEnumString.
struct CoTaskString {
    LPOLESTR text = nullptr;
    ~CoTaskString() { CoTaskMemFree(text); }
    CoTaskString() = default;
    CoTaskString(const CoTaskString&) = delete;
    CoTaskString& operator=(const CoTaskString&) = delete;
};

bool vectorOfText(VARTYPE vt)
{
    return vt == (VT_VECTOR | VT_LPSTR) || vt == (VT_VECTOR | VT_LPWSTR);
}

/// An 8-bit text in the thread's code page as UTF-16; E_FAIL when it cannot be converted.
HRESULT ansiToWide(const char* text, std::u16string& out)
{
    out.clear();
    if (!text || !*text) return S_OK;
    auto wide = tavrel::toWide(std::string_view(text), CP_THREAD_ACP);
    if (!wide) return lastErrorResult();
    out = std::move(*wide);
    return S_OK;
}

/// The non-empty items of a text vector joined with ", ".
HRESULT joinTextVector(const PROPVARIANT& value, std::u16string& out)
{
    out.clear();
    const bool wide = value.vt == (VT_VECTOR | VT_LPWSTR);
    const ULONG count = wide ? value.calpwstr.cElems : value.calpstr.cElems;
    for (ULONG i = 0; i < count; ++i) {
        std::u16string item;
        if (wide) {
            const LPWSTR text = value.calpwstr.pElems[i];
            if (text) item = text;
        } else {
            RETURN_IF_FAILED(ansiToWide(value.calpstr.pElems[i], item));
        }
        if (item.empty()) continue;
        if (!out.empty()) out += u", ";
        out += item;
    }
    return S_OK;
}

/// The text items of a nested block (an XMP bag) joined with `separator`.
HRESULT joinNestedBlock(IUnknown* unknown, std::u16string_view separator, std::u16string& out)
{
    out.clear();
    if (!unknown) return E_FAIL;
    ComPtr<IWICMetadataQueryReader> reader;
    RETURN_IF_FAILED(unknown->QueryInterface(IID_IWICMetadataQueryReader,
                                             reinterpret_cast<void**>(reader.GetAddressOf())));
    ComPtr<IEnumString> names;
    RETURN_IF_FAILED(reader->GetEnumerator(names.GetAddressOf()));
    bool any = false;
    for (;;) {
        CoTaskString name;
        ULONG fetched = 0;
        if (names->Next(1, &name.text, &fetched) != S_OK || fetched != 1) break;
        tavrel::PropVariant item;
        RETURN_IF_FAILED(reader->GetMetadataByName(name.text, &item));
        if (item.vt != VT_LPWSTR || !item.pwszVal || !*item.pwszVal) continue;
        if (any) out += separator;
        out += item.pwszVal;
        any = true;
    }
    return S_OK;
}

/// Copies `text` and its NUL when `nBufSize` bytes hold them.
HRESULT copyText(std::u16string_view text, WCHAR* out, int32_t nBufSize)
{
    const int64_t needed = 2 * (static_cast<int64_t>(text.size()) + 1);
    RETURN_HR_IF(E_INVALIDARG, nBufSize < needed);
    if (!text.empty()) std::memcpy(out, text.data(), 2 * text.size());
    out[text.size()] = u'\0';
    return S_OK;
}

/// Zero-fills the caller's buffer: the answer for a value holding an empty text.
void zeroFill(void* out, int32_t nBufSize)
{
    if (nBufSize > 0) std::memset(out, 0, static_cast<size_t>(nBufSize));
}

bool emptyText(const PROPVARIANT& value)
{
    if (value.vt == VT_LPWSTR) return !value.pwszVal || !*value.pwszVal;
    if (value.vt == VT_LPSTR) return !value.pszVal || !*value.pszVal;
    return false;
}

std::u16string asciiToU16(const char* text)
{
    std::u16string out;
    for (; *text; ++text)
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*text)));
    return out;
}

/// A fresh value from a BSTR-returning call made into a 128-byte buffer.
template <typename Call> HRESULT toBstr(BSTR* out, Call&& call)
{
    RETURN_HR_IF(E_INVALIDARG, !out);
    *out = nullptr;
    WCHAR buffer[kBstrBufferBytes / 2] = {};
    RETURN_IF_FAILED(call(buffer, kBstrBufferBytes));
    *out = SysAllocString(buffer);
    return *out ? S_OK : E_OUTOFMEMORY;
}

std::atomic<unsigned> g_siblingCounter{0};

/// `path` as a filesystem path, for the permission copy; empty when it cannot be converted.
std::filesystem::path fsPath(LPCWSTR path)
{
    auto utf8 = tavrel::toMultiByte(std::u16string_view(path), CP_UTF8);
    return utf8 ? std::filesystem::path(*utf8) : std::filesystem::path();
}

} // namespace

// ---- read side ----

HRESULT CImageFileIO::blockReader(ComPtr<IWICMetadataQueryReader>& member, LPCWSTR path)
{
    if (member) return S_OK;
    tavrel::PropVariant value;
    RETURN_IF_FAILED(m_frameQueryReader->GetMetadataByName(path, &value));
    if (value.vt != VT_UNKNOWN || !value.punkVal) return E_NOINTERFACE;
    return value.punkVal->QueryInterface(IID_IWICMetadataQueryReader,
                                         reinterpret_cast<void**>(member.GetAddressOf()));
}

HRESULT CImageFileIO::getBlockReaders(int32_t nMetaFormat,
                                      ComPtr<IWICMetadataQueryReader> (&list)[2], int& count)
{
    count = 0;
    RETURN_HR_IF(E_FAIL, !m_opened);
    // Container first: the imaging component offers no query reader for the other containers,
    // and they answer E_NOTIMPL either way.
    RETURN_HR_IF(E_NOTIMPL, m_containerFormat != GUID_ContainerFormatJpeg);
    RETURN_IF_FAILED(ensureQueryReader());
    switch (nMetaFormat) {
    case kFormatExif:
        // The EXIF sub-directory is required even when the first directory exists.
        RETURN_IF_FAILED(blockReader(m_exifReader, u"/app1/ifd/exif"));
        list[count++] = m_exifReader;
        RETURN_IF_FAILED(blockReader(m_ifdReader, u"/app1/ifd"));
        list[count++] = m_ifdReader;
        return S_OK;
    case kFormatIptc:
        RETURN_IF_FAILED(blockReader(m_iptcReader, u"/app13/irb/8bimiptc/iptc"));
        list[count++] = m_iptcReader;
        return S_OK;
    case kFormatXmp:
        RETURN_IF_FAILED(blockReader(m_xmpReader, u"/xmp"));
        list[count++] = m_xmpReader;
        return S_OK;
    default:
        return E_NOTIMPL;
    }
}

HRESULT CImageFileIO::readTagValue(int32_t nMetaFormat, int32_t nMetaTag, PROPVARIANT* value)
{
    RETURN_HR_IF(E_FAIL, !m_opened);
    ComPtr<IWICMetadataQueryReader> readers[2];
    int count = 0;
    RETURN_IF_FAILED(getBlockReaders(nMetaFormat, readers, count));
    const auto path = GetTagPath(nMetaFormat, nMetaTag);
    RETURN_HR_IF(E_FAIL, !path);
    HRESULT hr = WINCODEC_ERR_PROPERTYNOTFOUND;
    for (int i = 0; i < count; ++i) {
        PropVariantClear(value);
        hr = readers[i]->GetMetadataByName(path->data(), value);
        if (SUCCEEDED(hr)) return hr;
    }
    PropVariantClear(value);
    return hr;
}

STDMETHODIMP CImageFileIO::GetMetaTags(int32_t nMetaFormat, int32_t* pnTotalTags,
                                       int32_t* pnTagList, int32_t nBufSize)
{
    auto lock = hold();
    RETURN_HR_IF(E_INVALIDARG, nMetaFormat < 1 || nMetaFormat > 7 || !pnTotalTags);
    RETURN_HR_IF(E_FAIL, !m_opened);
    ComPtr<IWICMetadataQueryReader> readers[2];
    int count = 0;
    RETURN_IF_FAILED(getBlockReaders(nMetaFormat, readers, count));

    // Enumerate every block first, so a failing enumerator leaves the caller's list untouched.
    ComPtr<IEnumString> names[2];
    for (int i = 0; i < count; ++i)
        RETURN_IF_FAILED(readers[i]->GetEnumerator(names[i].GetAddressOf()));
    int32_t total = 0;
    for (int i = 0; i < count; ++i) {
        for (;;) {
            CoTaskString name;
            ULONG fetched = 0;
            if (names[i]->Next(1, &name.text, &fetched) != S_OK || fetched != 1) break;
            const int32_t tag = FindTagByPath(nMetaFormat, std::u16string_view(name.text));
            if (tag < 0) continue;
            if (pnTagList && total < nBufSize) pnTagList[total] = tag;
            ++total;
        }
    }
    *pnTotalTags = total;
    return S_OK;
}

STDMETHODIMP CImageFileIO::GetMetaData(int32_t nMetaFormat, int32_t nMetaTag, BYTE* pbData,
                                       int32_t nBufSize, int32_t* pnDataSize)
{
    auto lock = hold();
    RETURN_HR_IF(E_INVALIDARG, !pbData);
    RETURN_HR_IF(E_FAIL, !m_opened);
    tavrel::PropVariant value;
    RETURN_IF_FAILED(readTagValue(nMetaFormat, nMetaTag, &value));

    if (emptyText(value)) {
        if (pnDataSize) *pnDataSize = 0;
        zeroFill(pbData, nBufSize);
        return S_OK;
    }

    BYTE scalar[8] = {};
    const void* bytes = scalar;
    size_t size = 0;
    std::u16string text;
    bool isText = false;
    switch (value.vt) {
    case VT_I1:
    case VT_UI1:
        scalar[0] = value.bVal;
        size = 1;
        break;
    case VT_UI2:
        std::memcpy(scalar, &value.uiVal, 2);
        size = 2;
        break;
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
        std::memcpy(scalar, &value.ulVal, 4);
        size = 4;
        break;
    case VT_I8:
    case VT_UI8:
        std::memcpy(scalar, &value.uhVal.QuadPart, 8);
        size = 8;
        break;
    case VT_LPWSTR:
        text = value.pwszVal;
        isText = true;
        break;
    case VT_LPSTR:
        RETURN_IF_FAILED(ansiToWide(value.pszVal, text));
        isText = true;
        break;
    case VT_BLOB:
        bytes = value.blob.pBlobData;
        size = value.blob.cbSize;
        break;
    case VT_UNKNOWN:
        RETURN_IF_FAILED(joinNestedBlock(value.punkVal, u";", text));
        for (char16_t& c : text)
            if (c == u';') c = u'\0';
        isText = true;
        break;
    default:
        if (!vectorOfText(value.vt)) return E_NOTIMPL;
        RETURN_IF_FAILED(joinTextVector(value, text));
        isText = true;
        break;
    }
    if (isText) {
        bytes = text.c_str(); // includes the NUL
        size = 2 * (text.size() + 1);
    }
    RETURN_HR_IF(E_FAIL, size > 0x7FFFFFFF);
    if (pnDataSize) *pnDataSize = static_cast<int32_t>(size);
    RETURN_HR_IF(E_INVALIDARG, static_cast<int64_t>(nBufSize) < static_cast<int64_t>(size));
    if (size) std::memcpy(pbData, bytes, size);
    return S_OK;
}

STDMETHODIMP CImageFileIO::GetMetaDataStr(int32_t nMetaFormat, int32_t nMetaTag, WCHAR* pszData,
                                          int32_t nBufSize)
{
    auto lock = hold();
    RETURN_HR_IF(E_INVALIDARG, !pszData);
    RETURN_HR_IF(E_FAIL, !m_opened);
    tavrel::PropVariant value;
    RETURN_IF_FAILED(readTagValue(nMetaFormat, nMetaTag, &value));

    if (emptyText(value)) {
        zeroFill(pszData, nBufSize);
        return S_OK;
    }
    char number[64] = {};
    std::u16string text;
    switch (value.vt) {
    case VT_I1:
        std::snprintf(number, 32, "%d", static_cast<int>(static_cast<signed char>(value.bVal)));
        text = asciiToU16(number);
        break;
    case VT_UI1:
        std::snprintf(number, 32, "%d", static_cast<int>(value.bVal));
        text = asciiToU16(number);
        break;
    case VT_UI2:
        std::snprintf(number, 32, "%d", static_cast<int>(value.uiVal));
        text = asciiToU16(number);
        break;
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
        std::snprintf(number, 32, "%d", static_cast<int>(static_cast<int32_t>(value.ulVal)));
        text = asciiToU16(number);
        break;
    case VT_I8:
    case VT_UI8: {
        const uint64_t raw = value.uhVal.QuadPart;
        std::snprintf(number, 64, "%d / %d", static_cast<int>(static_cast<int32_t>(raw)),
                      static_cast<int>(static_cast<int32_t>(raw >> 32)));
        text = asciiToU16(number);
        break;
    }
    case VT_LPWSTR:
        text = value.pwszVal;
        break;
    case VT_LPSTR:
        RETURN_IF_FAILED(ansiToWide(value.pszVal, text));
        break;
    case VT_BLOB:
        for (ULONG i = 0; i < value.blob.cbSize; ++i) {
            std::snprintf(number, 32, "%02x", static_cast<unsigned>(value.blob.pBlobData[i]));
            if (i) text += u", ";
            text += asciiToU16(number);
        }
        break;
    case VT_UNKNOWN:
        RETURN_IF_FAILED(joinNestedBlock(value.punkVal, u"; ", text));
        break;
    default:
        if (!vectorOfText(value.vt)) return E_NOTIMPL;
        RETURN_IF_FAILED(joinTextVector(value, text));
        break;
    }
    return copyText(text, pszData, nBufSize);
}

STDMETHODIMP CImageFileIO::GetMetaTagName(int32_t nMetaFormat, int32_t nMetaTag, WCHAR* pszTagName,
                                          int32_t nBufSize)
{
    auto lock = hold();
    RETURN_HR_IF(E_INVALIDARG, !pszTagName);
    RETURN_HR_IF(E_FAIL, !m_opened);
    const auto name = GetTagDisplayName(nMetaFormat, nMetaTag);
    RETURN_HR_IF(E_FAIL, !name);
    return copyText(*name, pszTagName, nBufSize);
}

STDMETHODIMP CImageFileIO::GetMetaDataStr_BSTR(int32_t nMetaFormat, int32_t nMetaTag,
                                               BSTR* ppszData)
{
    auto lock = hold();
    return toBstr(ppszData, [&](WCHAR* buffer, int32_t size) {
        return GetMetaDataStr(nMetaFormat, nMetaTag, buffer, size);
    });
}

STDMETHODIMP CImageFileIO::GetCaption(WCHAR* pszCaption, int32_t nBufSize)
{
    return GetMetaDataStr(kFormatXmp, kXmpTagTitle, pszCaption, nBufSize);
}

STDMETHODIMP CImageFileIO::GetCaption_BSTR(BSTR* ppszCaption)
{
    auto lock = hold();
    return toBstr(ppszCaption,
                  [&](WCHAR* buffer, int32_t size) { return GetCaption(buffer, size); });
}

STDMETHODIMP CImageFileIO::GetRating(WCHAR* pszRating, int32_t nBufSize)
{
    return GetMetaDataStr(kFormatXmp, kXmpTagRating, pszRating, nBufSize);
}

STDMETHODIMP CImageFileIO::GetSubjectTags(WCHAR* pszSubjectTags, int32_t nBufSize,
                                          int32_t* pnDataSize)
{
    return GetMetaData(kFormatXmp, kXmpTagSubject, reinterpret_cast<BYTE*>(pszSubjectTags),
                       nBufSize, pnDataSize);
}

STDMETHODIMP CImageFileIO::GetArtist_BSTR(BSTR* ppszArtist)
{
    auto lock = hold();
    return toBstr(ppszArtist, [&](WCHAR* buffer, int32_t size) { return GetArtist(buffer, size); });
}

STDMETHODIMP CImageFileIO::GetAlbum_BSTR(BSTR* ppszAlbum)
{
    auto lock = hold();
    return toBstr(ppszAlbum, [&](WCHAR* buffer, int32_t size) { return GetAlbum(buffer, size); });
}

// ---- write side ----

HRESULT CImageFileIO::rewriteWithXmpPadding(IStream* stream)
{
    GUID container{};
    RETURN_IF_FAILED(m_decoder->GetContainerFormat(&container));
    RETURN_HR_IF(E_NOTIMPL, container != GUID_ContainerFormatJpeg);
    ComPtr<IWICBitmapEncoder> encoder;
    RETURN_IF_FAILED(m_factory->CreateEncoder(container, nullptr, encoder.GetAddressOf()));
    RETURN_IF_FAILED(encoder->Initialize(stream, WICBitmapEncoderNoCache));
    UINT frames = 0;
    RETURN_IF_FAILED(m_decoder->GetFrameCount(&frames));
    for (UINT index = 0; index < frames; ++index) {
        ComPtr<IWICBitmapFrameDecode> source;
        RETURN_IF_FAILED(m_decoder->GetFrame(index, source.GetAddressOf()));
        ComPtr<IWICBitmapFrameEncode> target;
        RETURN_IF_FAILED(encoder->CreateNewFrame(target.GetAddressOf(), nullptr));
        RETURN_IF_FAILED(target->Initialize(nullptr));

        UINT width = 0, height = 0;
        RETURN_IF_FAILED(source->GetSize(&width, &height));
        RETURN_IF_FAILED(target->SetSize(width, height));
        double dpiX = 0, dpiY = 0;
        RETURN_IF_FAILED(source->GetResolution(&dpiX, &dpiY));
        RETURN_IF_FAILED(target->SetResolution(dpiX, dpiY));
        WICPixelFormatGUID format{};
        RETURN_IF_FAILED(source->GetPixelFormat(&format));
        RETURN_IF_FAILED(target->SetPixelFormat(&format));

        ComPtr<IWICMetadataBlockReader> blocks;
        RETURN_IF_FAILED(source->QueryInterface(IID_IWICMetadataBlockReader,
                                                reinterpret_cast<void**>(blocks.GetAddressOf())));
        ComPtr<IWICMetadataBlockWriter> blockWriter;
        RETURN_IF_FAILED(target->QueryInterface(
            IID_IWICMetadataBlockWriter, reinterpret_cast<void**>(blockWriter.GetAddressOf())));
        RETURN_IF_FAILED(blockWriter->InitializeFromBlockReader(blocks.Get()));

        ComPtr<IWICMetadataQueryWriter> writer;
        RETURN_IF_FAILED(target->GetMetadataQueryWriter(writer.GetAddressOf()));
        tavrel::PropVariant padding;
        padding.vt = VT_UI4;
        padding.ulVal = kXmpPaddingBytes;
        RETURN_IF_FAILED(writer->SetMetadataByName(u"/xmp/PaddingSchema:Padding", &padding));

        RETURN_IF_FAILED(target->WriteSource(source.Get(), nullptr));
        RETURN_IF_FAILED(target->Commit());
    }
    RETURN_IF_FAILED(encoder->Commit());
    return stream->Commit(STGC_DEFAULT);
}

HRESULT CImageFileIO::replaceFileFromStream(LPCWSTR linkPath, IStream* stream)
{
    // The new content goes to a sibling created exclusively, and replaces the original by a
    // rename only once it is complete and flushed: a failure at any point leaves the original
    // file as it was. A symbolic link is followed, so that the link stays a link and its target
    // is what gets replaced, as writing through it would have done.
    std::u16string resolved(linkPath);
    {
        std::error_code ec;
        const auto link = fsPath(linkPath);
        if (!link.empty() && std::filesystem::is_symlink(link, ec)) {
            const auto real = std::filesystem::canonical(link, ec);
            auto wide = ec ? std::nullopt : tavrel::toWide(real.string(), CP_UTF8);
            if (wide) resolved = std::move(*wide);
        }
    }
    const LPCWSTR path = resolved.c_str();
    std::u16string sibling;
    tavrel::UniqueHandle file;
    for (int attempt = 0; attempt < 16 && !file; ++attempt) {
        char suffix[64] = {};
        std::snprintf(suffix, sizeof suffix, ".%lx-%u-%lx.mio-tmp",
                      static_cast<unsigned long>(GetCurrentProcessId()),
                      g_siblingCounter.fetch_add(1), static_cast<unsigned long>(GetTickCount()));
        sibling = std::u16string(path) + asciiToU16(suffix);
        file.reset(CreateFileW(sibling.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file && GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
    if (!file) return lastErrorResult();

    auto discard = [&](HRESULT hr) {
        file.reset();
        DeleteFileW(sibling.c_str());
        return hr;
    };
    BYTE buffer[kCopyChunk];
    for (;;) {
        ULONG read = 0;
        const HRESULT hr = stream->Read(buffer, kCopyChunk, &read);
        if (FAILED(hr)) return discard(hr);
        if (read == 0) break;
        DWORD written = 0;
        if (!WriteFile(file.get(), buffer, read, &written, nullptr))
            return discard(lastErrorResult());
        if (written != read) return discard(HRESULT_FROM_WIN32(ERROR_DISK_FULL));
        if (read < kCopyChunk) break;
    }
    if (!FlushFileBuffers(file.get())) return discard(lastErrorResult());
    file.reset();

    // The replacement keeps the original's permission bits.
    std::error_code ec;
    const auto target = fsPath(path);
    const auto temp = fsPath(sibling.c_str());
    if (!target.empty() && !temp.empty()) {
        const auto status = std::filesystem::status(target, ec);
        if (!ec) std::filesystem::permissions(temp, status.permissions(), ec);
    }
    if (!MoveFileExW(sibling.c_str(), path, MOVEFILE_REPLACE_EXISTING))
        return discard(lastErrorResult());
    // Make the rename itself durable; a failure here no longer endangers either version.
    if (!target.empty()) {
        const int dir = ::open(target.parent_path().empty() ? "." : target.parent_path().c_str(),
                               O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir >= 0) {
            ::fsync(dir);
            ::close(dir);
        }
    }
    return S_OK;
}

HRESULT CImageFileIO::ensureWritable()
{
    if (m_readOnly != VARIANT_TRUE) return S_OK;
    tavrel::UniqueBstr path(SysAllocString(m_path.get()));
    RETURN_HR_IF(E_OUTOFMEMORY, !path.get());
    ComPtr<IWICImagingFactory> factory = m_factory;

    ComPtr<IWICMetadataQueryReader> readers[2];
    int count = 0;
    if (getBlockReaders(kFormatXmp, readers, count) == WINCODEC_ERR_PROPERTYNOTFOUND) {
        ComPtr<IStream> stream;
        RETURN_IF_FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.GetAddressOf()));
        RETURN_IF_FAILED(rewriteWithXmpPadding(stream.Get()));
        RETURN_IF_FAILED(CloseMedia());
        LARGE_INTEGER start{};
        RETURN_IF_FAILED(stream->Seek(start, STREAM_SEEK_SET, nullptr));
        RETURN_IF_FAILED(replaceFileFromStream(path.get(), stream.Get()));
        stream = nullptr;
        return OpenMedia(path.get(), factory.Get(), VARIANT_FALSE, VARIANT_FALSE);
    }
    RETURN_IF_FAILED(CloseMedia());
    return OpenMedia(path.get(), factory.Get(), VARIANT_FALSE, VARIANT_FALSE);
}

HRESULT CImageFileIO::ensureQueryWriter()
{
    if (m_queryWriter) return S_OK;
    return m_fastEncoder->GetMetadataQueryWriter(m_queryWriter.GetAddressOf());
}

HRESULT CImageFileIO::writeXmpTag(int32_t nMetaTag, const BYTE* pbData, int32_t nDataSize)
{
    RETURN_HR_IF(E_FAIL, !pbData || !m_fastEncoder);
    RETURN_IF_FAILED(ensureQueryWriter());
    const auto tagPath = GetTagPath(kFormatXmp, nMetaTag);
    RETURN_HR_IF(E_FAIL, !tagPath);
    RETURN_HR_IF(E_NOTIMPL, m_containerFormat != GUID_ContainerFormatJpeg);
    const std::u16string fullPath = u"/xmp" + std::u16string(*tagPath);
    const auto* text = reinterpret_cast<const WCHAR*>(pbData);

    tavrel::PropVariant value;
    ComPtr<IWICMetadataQueryWriter> bag;
    if (nMetaTag == kXmpTagSubject) {
        const HRESULT removed = m_queryWriter->RemoveMetadataByName(fullPath.c_str());
        if (FAILED(removed) && removed != WINCODEC_ERR_PROPERTYNOTFOUND) return removed;
        RETURN_IF_FAILED(
            m_factory->CreateQueryWriter(GUID_MetadataFormatXMPBag, nullptr, bag.GetAddressOf()));
        int items = 0;
        if (nDataSize > 2) {
            // Walk NUL-ended texts without reading past nDataSize bytes.
            const size_t units = static_cast<size_t>(nDataSize) / 2;
            size_t consumed = 0; // in characters
            while (2 * consumed + 2 < static_cast<size_t>(nDataSize) && consumed < units) {
                size_t length = 0;
                while (consumed + length < units && text[consumed + length] != u'\0')
                    ++length;
                if (consumed + length >= units) break; // the last text has no NUL within the list
                tavrel::PropVariant item;
                item.vt = VT_LPWSTR;
                item.pwszVal = const_cast<LPWSTR>(text + consumed);
                const HRESULT hr = bag->SetMetadataByName(u"/", &item);
                item.vt = VT_EMPTY; // not ours to free
                RETURN_IF_FAILED(hr);
                ++items;
                consumed += length + 1;
            }
        }
        if (items > 0) {
            value.vt = VT_UNKNOWN;
            value.punkVal = bag.Get();
        }
    } else {
        value.vt = VT_LPWSTR;
        value.pwszVal = const_cast<LPWSTR>(text);
    }
    HRESULT hr = m_queryWriter->SetMetadataByName(fullPath.c_str(), &value);
    value.vt = VT_EMPTY; // the text and the bag are not owned by the value
    RETURN_IF_FAILED(hr);

    if (nMetaTag == kXmpTagRating) {
        // _wtoi: optional sign and leading decimal digits; anything else reads as 0.
        const std::u16string_view rating(text);
        size_t i = 0;
        while (i < rating.size() && (rating[i] == u' ' || rating[i] == u'\t'))
            ++i;
        bool negative = false;
        if (i < rating.size() && (rating[i] == u'+' || rating[i] == u'-'))
            negative = rating[i++] == u'-';
        int64_t stars = 0;
        while (i < rating.size() && rating[i] >= u'0' && rating[i] <= u'9' && stars < 1000)
            stars = stars * 10 + (rating[i++] - u'0');
        if (negative) stars = -stars;
        if (stars >= 0 && stars <= 5) {
            const std::u16string percent =
                asciiToU16(std::to_string(RatingPercent[static_cast<size_t>(stars)]).c_str());
            const auto percentPath = GetTagPath(kFormatXmp, kXmpTagRatingPercent);
            RETURN_HR_IF(E_FAIL, !percentPath);
            const std::u16string percentFull = u"/xmp" + std::u16string(*percentPath);
            tavrel::PropVariant percentValue;
            percentValue.vt = VT_LPWSTR;
            percentValue.pwszVal = const_cast<LPWSTR>(percent.c_str());
            hr = m_queryWriter->SetMetadataByName(percentFull.c_str(), &percentValue);
            percentValue.vt = VT_EMPTY;
            RETURN_IF_FAILED(hr);
        }
    }
    m_metadataModified = true;
    return hr;
}

STDMETHODIMP CImageFileIO::SetMetaData(int32_t nMetaFormat, int32_t nMetaTag, const BYTE* pbData,
                                       int32_t nDataSize)
{
    auto lock = hold();
    RETURN_HR_IF(E_FAIL, !m_opened);
    // A write that must fail whatever the file holds is refused before the object reopens for
    // writing, so that a JPEG without XMP is not re-encoded for a call that then fails.
    RETURN_HR_IF(E_NOTIMPL, nMetaFormat != kFormatXmp);
    RETURN_HR_IF(E_FAIL, !pbData || !GetTagPath(kFormatXmp, nMetaTag));
    RETURN_IF_FAILED(ensureWritable());
    return writeXmpTag(nMetaTag, pbData, nDataSize);
}

STDMETHODIMP CImageFileIO::RemoveAllMetaData(int32_t nMetaFormat)
{
    auto lock = hold();
    RETURN_HR_IF(E_FAIL, !m_opened);
    RETURN_IF_FAILED(ensureWritable());
    RETURN_HR_IF(E_FAIL, !m_fastEncoder);
    RETURN_IF_FAILED(ensureQueryWriter());
    RETURN_HR_IF(E_NOTIMPL, m_containerFormat != GUID_ContainerFormatJpeg);
    LPCWSTR path = nullptr;
    switch (nMetaFormat) {
    case kFormatXmp:
        path = u"/xmp/";
        break;
    case kFormatExif:
        path = u"/app1/ifd/";
        break;
    case kFormatIptc:
        path = u"/app13/irb/8bimiptc/iptc";
        break;
    default:
        return E_NOTIMPL;
    }
    const HRESULT hr = m_queryWriter->RemoveMetadataByName(path);
    if (SUCCEEDED(hr)) m_metadataModified = true;
    return hr;
}

STDMETHODIMP CImageFileIO::UpdateMetaDataToFile()
{
    auto lock = hold();
    RETURN_HR_IF(E_FAIL, m_readOnly == VARIANT_TRUE || !m_opened || !m_fastEncoder);
    if (!m_metadataModified) return S_OK;
    const HRESULT hr = m_fastEncoder->Commit();
    if (SUCCEEDED(hr)) m_metadataModified = false;
    return hr;
}

STDMETHODIMP CImageFileIO::SetCaption(const WCHAR* pszCaption, int32_t nDataSize)
{
    return SetMetaData(kFormatXmp, kXmpTagTitle, reinterpret_cast<const BYTE*>(pszCaption),
                       nDataSize);
}

STDMETHODIMP CImageFileIO::SetRating(const WCHAR* pszRating, int32_t nDataSize)
{
    return SetMetaData(kFormatXmp, kXmpTagRating, reinterpret_cast<const BYTE*>(pszRating),
                       nDataSize);
}

STDMETHODIMP CImageFileIO::SetSubjectTags(const WCHAR* pszSubjectTags, int32_t nDataSize)
{
    return SetMetaData(kFormatXmp, kXmpTagSubject, reinterpret_cast<const BYTE*>(pszSubjectTags),
                       nDataSize);
}

} // namespace mio
