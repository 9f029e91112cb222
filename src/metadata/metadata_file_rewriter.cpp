// SPDX-License-Identifier: MIT
// CMetadataFileRewriter: XMP tags of any decodable file through the imaging component, the
// padded rewrite of a JPEG without XMP, and frame 0 as a packed bitmap.
#include "metadata/metadata_file_rewriter.h"

#include <tavrel/platform/combase.h>
#include <tavrel/platform/memory.h>
#include <tavrel/platform/objidl.h>
#include <tavrel/platform/oleauto.h>
#include <tavrel/platform/text.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <system_error>

#include "dib/thumbnail_fit.h"
#include "metadata/tag_catalogue.h"

namespace mio {

namespace {

#define MIO_RW_RETURN_IF_FAILED(expr)                                                              \
    do {                                                                                           \
        const HRESULT hr_ = (expr);                                                                \
        if (FAILED(hr_)) return hr_;                                                               \
    } while (0)

constexpr size_t kMaxPathChars = 259;
constexpr ULONG kXmpPaddingBytes = 4096;
constexpr size_t kMaxNameChars = 64;
// Shifting cycles back after 26 steps; stop well before the name could come round again.
constexpr int kMaxTemporaryNames = 24;
constexpr ULONG kCopyChunk = 64 * 1024;

/// HRESULT of the thread's last error; E_FAIL when a failing call left it at 0.
HRESULT lastErrorResult()
{
    const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
    return FAILED(hr) ? hr : E_FAIL;
}

/// The rewriter name of a tag as UTF-16 (the names are held as 8-bit text, in the ANSI code
/// page); empty outside 0..4.
std::u16string xmpName(int32_t tag)
{
    const std::string_view name = xmpRewriterName(tag);
    if (name.empty()) return {};
    auto wide = tavrel::toWide(name, CP_ACP);
    if (!wide) return {};
    if (wide->size() > kMaxNameChars) wide->resize(kMaxNameChars);
    return std::move(*wide);
}

char16_t asciiLower(char16_t c)
{
    return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool equalsNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (asciiLower(a[i]) != asciiLower(b[i])) return false;
    return true;
}

/// Frees a name handed out by an IEnumString.
struct CoTaskString {
    LPOLESTR text = nullptr;
    CoTaskString() = default;
    ~CoTaskString() { CoTaskMemFree(text); }
    CoTaskString(const CoTaskString&) = delete;
    CoTaskString& operator=(const CoTaskString&) = delete;
};

std::optional<std::filesystem::path> fsPath(std::u16string_view path)
{
    auto utf8 = tavrel::toMultiByte(path, CP_UTF8);
    if (!utf8 || utf8->empty()) return std::nullopt;
    return std::filesystem::path(*utf8);
}

/// The file a path finally names: a symbolic link is followed, so that the link stays a link
/// and its target is what gets replaced, as writing through it would have done.
std::u16string resolveLinks(const std::u16string& path)
{
    const auto fs = fsPath(path);
    std::error_code ec;
    if (!fs || !std::filesystem::is_symlink(*fs, ec)) return path;
    const auto real = std::filesystem::canonical(*fs, ec);
    if (ec) return path;
    auto wide = tavrel::toWide(real.string(), CP_UTF8);
    return wide ? std::move(*wide) : path;
}

/// Gives `copy` the permission bits of `original`; a failure leaves the copy's own bits.
void copyPermissions(const std::u16string& original, const std::u16string& copy)
{
    const auto from = fsPath(original);
    const auto to = fsPath(copy);
    if (!from || !to) return;
    std::error_code ec;
    const auto status = std::filesystem::status(*from, ec);
    if (!ec) std::filesystem::permissions(*to, status.permissions(), ec);
}

/// Writes the whole of `source` from its start into `file`.
HRESULT copyStreamToFile(IStream* source, HANDLE file)
{
    LARGE_INTEGER start{};
    MIO_RW_RETURN_IF_FAILED(source->Seek(start, STREAM_SEEK_SET, nullptr));
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[kCopyChunk]);
    if (!buffer) return E_OUTOFMEMORY;
    for (;;) {
        ULONG got = 0;
        MIO_RW_RETURN_IF_FAILED(source->Read(buffer.get(), kCopyChunk, &got));
        if (got == 0) return S_OK;
        DWORD put = 0;
        if (!WriteFile(file, buffer.get(), got, &put, nullptr)) return lastErrorResult();
        if (put != got) return HRESULT_FROM_WIN32(ERROR_DISK_FULL);
    }
}

} // namespace

CMetadataFileRewriter::CMetadataFileRewriter(const WCHAR* path)
{
    if (path) {
        size_t length = 0;
        while (length < kMaxPathChars && path[length])
            ++length;
        m_path.assign(path, length);
    }
}

CMetadataFileRewriter::~CMetadataFileRewriter()
{
    Close();
}

void CMetadataFileRewriter::Close()
{
    m_xmpReader = nullptr;
    m_frameReader = nullptr;
    m_writer = nullptr;
    m_fastEncoder = nullptr;
    m_frame = nullptr;
    m_decoder = nullptr;
    m_file.reset(); // after the decoder, whose stream borrows the handle
    m_factory = nullptr;
    m_xmpReadable = true;
    m_uncommitted = false; // staged changes went with the fast encoder
}

std::u16string CMetadataFileRewriter::ShiftedName(std::u16string_view path)
{
    std::u16string out(path);
    bool changed = false;
    for (size_t i = out.size(); i-- > 0;) {
        char16_t& c = out[i];
        if (c == u'\\' || c == u'/') break;
        if (c == u'.') {
            if (changed) break;
            continue;
        }
        if ((c >= u'a' && c < u'z') || (c >= u'A' && c < u'Z') || (c >= u'0' && c < u'9')) {
            ++c;
            changed = true;
        } else if (c == u'z' || c == u'Z') {
            c = u'a';
            changed = true;
        } else if (c == u'9') {
            c = u'0';
            changed = true;
        }
    }
    return out;
}

int32_t CMetadataFileRewriter::FindXmpTagByName(std::u16string_view name)
{
    if (name.empty() || name[0] != u'/') return -1;
    const std::u16string_view rest = name.substr(1);
    for (int32_t index = 0; index < kXmpRewriterNameCount; ++index)
        if (equalsNoCase(rest, xmpName(index))) return index;
    return -1;
}

HRESULT CMetadataFileRewriter::OpenFile(DWORD access)
{
    if (!m_factory)
        MIO_RW_RETURN_IF_FAILED(CoCreateInstance(
            CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, uuidof<IWICImagingFactory>(),
            reinterpret_cast<void**>(m_factory.GetAddressOf())));
    if (!m_file) {
        m_file.reset(CreateFileW(m_path.c_str(), access, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!m_file) return lastErrorResult();
    }
    if (!m_decoder)
        MIO_RW_RETURN_IF_FAILED(m_factory->CreateDecoderFromFileHandle(
            reinterpret_cast<ULONG_PTR>(m_file.get()), nullptr, WICDecodeMetadataCacheOnDemand,
            m_decoder.GetAddressOf()));
    if (!m_frame) MIO_RW_RETURN_IF_FAILED(m_decoder->GetFrame(0, m_frame.GetAddressOf()));
    return S_OK;
}

HRESULT CMetadataFileRewriter::OpenForRead()
{
    if (m_xmpReader) return S_OK;
    if (!m_xmpReadable) return E_FAIL;
    MIO_RW_RETURN_IF_FAILED(OpenFile(GENERIC_READ));
    GUID container{};
    MIO_RW_RETURN_IF_FAILED(m_decoder->GetContainerFormat(&container));
    // XMP of TIFF files is not served; the file is not marked as lacking XMP either. Asked
    // before the query reader, which this platform does not offer for TIFF frames.
    if (container == GUID_ContainerFormatTiff) return E_FAIL;
    if (!m_frameReader)
        MIO_RW_RETURN_IF_FAILED(m_frame->GetMetadataQueryReader(m_frameReader.GetAddressOf()));

    tavrel::PropVariant value;
    HRESULT hr = m_frameReader->GetMetadataByName(u"/xmp", &value);
    if (SUCCEEDED(hr)) {
        // Anything but a nested block at "/xmp" is not XMP this rewriter can use.
        hr = (value.vt == VT_UNKNOWN && value.punkVal)
                 ? value.punkVal->QueryInterface(
                       uuidof<IWICMetadataQueryReader>(),
                       reinterpret_cast<void**>(m_xmpReader.ReleaseAndGetAddressOf()))
                 : E_FAIL;
    }
    m_xmpReadable = SUCCEEDED(hr);
    return hr;
}

HRESULT CMetadataFileRewriter::OpenForWrite()
{
    if (m_writer) return S_OK;
    const HRESULT read = OpenForRead();
    if (!m_xmpReadable) {
        if (!m_decoder) return read;
        GUID container{};
        MIO_RW_RETURN_IF_FAILED(m_decoder->GetContainerFormat(&container));
        if (container != GUID_ContainerFormatJpeg) return E_FAIL;
        // A read-only file is refused before it is rewritten with padding.
        const DWORD attributes = GetFileAttributesW(m_path.c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
            return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
        MIO_RW_RETURN_IF_FAILED(PadFile());
    }
    Close();
    MIO_RW_RETURN_IF_FAILED(OpenFile(GENERIC_READ | GENERIC_WRITE));
    MIO_RW_RETURN_IF_FAILED(m_factory->CreateFastMetadataEncoderFromFrameDecode(
        m_frame.Get(), m_fastEncoder.GetAddressOf()));
    return m_fastEncoder->GetMetadataQueryWriter(m_writer.GetAddressOf());
}

HRESULT CMetadataFileRewriter::FlushTemporary(HANDLE file)
{
    return FlushFileBuffers(file) ? S_OK : lastErrorResult();
}

HRESULT CMetadataFileRewriter::ReplaceTarget(const std::u16string& temporary,
                                             const std::u16string& target)
{
    // The rename replaces the file whole or not at all; write-through syncs the folder.
    if (!MoveFileExW(temporary.c_str(), target.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return lastErrorResult();
    return S_OK;
}

HRESULT CMetadataFileRewriter::PadFile()
{
    const std::u16string target = resolveLinks(m_path);

    // The sibling is created exclusively: a file of that name, whoever made it, is never
    // opened, overwritten or deleted; the next shifted name is tried instead.
    std::u16string temporary = target;
    tavrel::UniqueHandle file;
    for (int attempt = 0; attempt < kMaxTemporaryNames && !file; ++attempt) {
        temporary = ShiftedName(temporary);
        file.reset(CreateFileW(temporary.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file) break;
        const DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return lastErrorResult();
    }
    if (!file) return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);

    auto discard = [&](HRESULT hr) {
        file.reset();
        DeleteFileW(temporary.c_str());
        return hr;
    };
    {
        ComPtr<IStream> memory;
        HRESULT hr = CreateStreamOnHGlobal(nullptr, TRUE, memory.GetAddressOf());
        if (SUCCEEDED(hr)) hr = WritePaddedCopy(memory.Get());
        if (SUCCEEDED(hr)) hr = copyStreamToFile(memory.Get(), file.get());
        if (SUCCEEDED(hr)) hr = FlushTemporary(file.get());
        if (FAILED(hr)) return discard(hr);
    }
    file.reset();
    copyPermissions(target, temporary);

    Close();
    const HRESULT replaced = ReplaceTarget(temporary, target);
    if (FAILED(replaced)) {
        DeleteFileW(temporary.c_str());
        return replaced;
    }
    return OpenForRead();
}

HRESULT CMetadataFileRewriter::WritePaddedCopy(IStream* target)
{
    ComPtr<IWICStream> stream;
    MIO_RW_RETURN_IF_FAILED(m_factory->CreateStream(stream.GetAddressOf()));
    MIO_RW_RETURN_IF_FAILED(stream->InitializeFromIStream(target));
    GUID container{};
    MIO_RW_RETURN_IF_FAILED(m_decoder->GetContainerFormat(&container));
    ComPtr<IWICBitmapEncoder> encoder;
    MIO_RW_RETURN_IF_FAILED(m_factory->CreateEncoder(container, nullptr, encoder.GetAddressOf()));
    MIO_RW_RETURN_IF_FAILED(encoder->Initialize(stream.Get(), WICBitmapEncoderNoCache));
    UINT frames = 0;
    MIO_RW_RETURN_IF_FAILED(m_decoder->GetFrameCount(&frames));
    for (UINT index = 0; index < frames; ++index) {
        ComPtr<IWICBitmapFrameDecode> source;
        MIO_RW_RETURN_IF_FAILED(m_decoder->GetFrame(index, source.GetAddressOf()));
        ComPtr<IWICBitmapFrameEncode> frame;
        MIO_RW_RETURN_IF_FAILED(encoder->CreateNewFrame(frame.GetAddressOf(), nullptr));
        MIO_RW_RETURN_IF_FAILED(frame->Initialize(nullptr));

        UINT width = 0, height = 0;
        MIO_RW_RETURN_IF_FAILED(source->GetSize(&width, &height));
        MIO_RW_RETURN_IF_FAILED(frame->SetSize(width, height));
        double dpiX = 0, dpiY = 0;
        if (SUCCEEDED(source->GetResolution(&dpiX, &dpiY))) (void)frame->SetResolution(dpiX, dpiY);
        WICPixelFormatGUID format{};
        MIO_RW_RETURN_IF_FAILED(source->GetPixelFormat(&format));
        MIO_RW_RETURN_IF_FAILED(frame->SetPixelFormat(&format));

        ComPtr<IWICMetadataBlockReader> blocks;
        MIO_RW_RETURN_IF_FAILED(source->QueryInterface(
            uuidof<IWICMetadataBlockReader>(), reinterpret_cast<void**>(blocks.GetAddressOf())));
        ComPtr<IWICMetadataBlockWriter> blockWriter;
        MIO_RW_RETURN_IF_FAILED(
            frame->QueryInterface(uuidof<IWICMetadataBlockWriter>(),
                                  reinterpret_cast<void**>(blockWriter.GetAddressOf())));
        MIO_RW_RETURN_IF_FAILED(blockWriter->InitializeFromBlockReader(blocks.Get()));

        ComPtr<IWICMetadataQueryWriter> writer;
        MIO_RW_RETURN_IF_FAILED(frame->GetMetadataQueryWriter(writer.GetAddressOf()));
        PROPVARIANT padding;
        PropVariantInit(&padding);
        padding.vt = VT_UI4;
        padding.ulVal = kXmpPaddingBytes;
        MIO_RW_RETURN_IF_FAILED(writer->SetMetadataByName(u"/xmp/PaddingSchema:Padding", &padding));

        MIO_RW_RETURN_IF_FAILED(frame->WriteSource(source.Get(), nullptr));
        MIO_RW_RETURN_IF_FAILED(frame->Commit());
    }
    MIO_RW_RETURN_IF_FAILED(encoder->Commit());
    return stream->Commit(STGC_DEFAULT);
}

HRESULT CMetadataFileRewriter::ListTags(int32_t* pnCount, int32_t* pnTagList, int32_t nCapacity)
{
    if (!pnCount) return E_INVALIDARG;
    MIO_RW_RETURN_IF_FAILED(OpenForRead());
    ComPtr<IEnumString> names;
    MIO_RW_RETURN_IF_FAILED(m_xmpReader->GetEnumerator(names.GetAddressOf()));
    int32_t count = 0;
    for (;;) {
        CoTaskString name;
        ULONG fetched = 0;
        if (names->Next(1, &name.text, &fetched) != S_OK || fetched != 1 || !name.text) break;
        const int32_t tag = FindXmpTagByName(name.text);
        if (tag < 0) continue;
        if (pnTagList && count < nCapacity) pnTagList[count] = tag;
        if (count == std::numeric_limits<int32_t>::max()) break;
        ++count;
    }
    *pnCount = count;
    return S_OK;
}

HRESULT CMetadataFileRewriter::ReadTag(int32_t nTag, BYTE* pbBuffer, int32_t nBufSize,
                                       int32_t* pnSize)
{
    MIO_RW_RETURN_IF_FAILED(OpenForRead());
    const std::u16string name = xmpName(nTag);
    if (name.empty()) return E_FAIL;
    const std::u16string query = u"/" + name;
    tavrel::PropVariant value;
    MIO_RW_RETURN_IF_FAILED(m_xmpReader->GetMetadataByName(query.c_str(), &value));
    const int64_t room = pbBuffer ? std::max<int64_t>(nBufSize, 0) : 0;

    if (value.vt == VT_LPWSTR) {
        const std::u16string_view text = value.pwszVal ? value.pwszVal : u"";
        if (text.size() > 0x3FFFFFFE) return E_FAIL;
        const auto bytes = static_cast<int64_t>(2 * text.size());
        if (pnSize) *pnSize = static_cast<int32_t>(bytes);
        if (bytes + 2 > room) return E_INVALIDARG;
        std::memcpy(pbBuffer, text.data(), static_cast<size_t>(bytes));
        std::memset(pbBuffer + bytes, 0, 2);
        return S_OK;
    }
    if (value.vt != VT_UNKNOWN || !value.punkVal) return E_FAIL;

    // A bag: each item that fits with its NUL strictly below the end; one more NUL ends it.
    ComPtr<IWICMetadataQueryReader> bag;
    MIO_RW_RETURN_IF_FAILED(value.punkVal->QueryInterface(
        uuidof<IWICMetadataQueryReader>(), reinterpret_cast<void**>(bag.GetAddressOf())));
    ComPtr<IEnumString> items;
    MIO_RW_RETURN_IF_FAILED(bag->GetEnumerator(items.GetAddressOf()));
    int64_t position = 0;
    bool copied = false;
    for (;;) {
        CoTaskString itemName;
        ULONG fetched = 0;
        if (items->Next(1, &itemName.text, &fetched) != S_OK || fetched != 1 || !itemName.text)
            break;
        tavrel::PropVariant item;
        if (FAILED(bag->GetMetadataByName(itemName.text, &item)) || item.vt != VT_LPWSTR ||
            !item.pwszVal)
            continue;
        const std::u16string_view text = item.pwszVal;
        const int64_t bytes = 2 * static_cast<int64_t>(text.size());
        if (position + bytes + 2 >= room) continue; // later, shorter items may still fit
        std::memcpy(pbBuffer + position, text.data(), static_cast<size_t>(bytes));
        std::memset(pbBuffer + position + bytes, 0, 2);
        position += bytes + 2;
        copied = true;
    }
    if (position + 2 <= room) std::memset(pbBuffer + position, 0, 2);
    if (pnSize) *pnSize = static_cast<int32_t>(position + 2);
    return copied ? S_OK : E_FAIL;
}

HRESULT CMetadataFileRewriter::ReadTagText(int32_t nTag, WCHAR* pszBuffer, int32_t nBufSize)
{
    int32_t size = 0;
    const HRESULT hr = ReadTag(nTag, reinterpret_cast<BYTE*>(pszBuffer), nBufSize, &size);
    if (FAILED(hr) || !pszBuffer) return hr;
    // Items of a bag are joined by a comma: every NUL before the closing two becomes ",".
    const int64_t joined = std::min<int64_t>(size / 2 - 2, nBufSize / 2);
    for (int64_t i = 0; i < joined; ++i)
        if (pszBuffer[i] == u'\0') pszBuffer[i] = u',';
    return hr;
}

HRESULT CMetadataFileRewriter::GetXmpTagName(int32_t nTag, WCHAR* pszBuffer, int32_t nBufSize) const
{
    const std::u16string name = xmpName(nTag);
    if (name.empty()) return E_FAIL;
    if (!pszBuffer || static_cast<int64_t>(nBufSize) < 2 * static_cast<int64_t>(name.size() + 1))
        return E_INVALIDARG;
    std::memcpy(pszBuffer, name.c_str(), 2 * (name.size() + 1));
    return S_OK;
}

bool CMetadataFileRewriter::IsTiff() const
{
    GUID container{};
    return m_decoder && SUCCEEDED(m_decoder->GetContainerFormat(&container)) &&
           container == GUID_ContainerFormatTiff;
}

HRESULT CMetadataFileRewriter::WriteTag(int32_t nTag, const BYTE* pbData, int32_t nDataSize)
{
    // XMP of TIFF files is not served, whether or not the platform could write it in place.
    const HRESULT opened = OpenForWrite();
    if (IsTiff()) return E_FAIL;
    MIO_RW_RETURN_IF_FAILED(opened);
    const std::u16string name = xmpName(nTag);
    if (name.empty()) return E_FAIL;
    const std::u16string path = u"/xmp/" + name;
    const auto* text = reinterpret_cast<const WCHAR*>(pbData);

    HRESULT hr = S_OK;
    PROPVARIANT value; // points at the caller's text or our bag: never cleared
    PropVariantInit(&value);
    if (nTag == kXmpTagSubject) {
        (void)m_writer->RemoveMetadataByName(path.c_str());
        ComPtr<IWICMetadataQueryWriter> bag;
        MIO_RW_RETURN_IF_FAILED(
            m_factory->CreateQueryWriter(GUID_MetadataFormatXMPBag, nullptr, bag.GetAddressOf()));
        int items = 0;
        if (nDataSize > 2) {
            if (!text) return E_INVALIDARG;
            // NUL-ended texts, never read past nDataSize bytes; a last text without its NUL
            // inside the list is left out.
            const size_t units = static_cast<size_t>(nDataSize) / 2;
            size_t consumed = 0;
            while (2 * consumed + 2 < static_cast<size_t>(nDataSize)) {
                size_t length = 0;
                while (consumed + length < units && text[consumed + length] != u'\0')
                    ++length;
                if (consumed + length >= units) break;
                PROPVARIANT item;
                PropVariantInit(&item);
                item.vt = VT_LPWSTR;
                item.pwszVal = const_cast<LPWSTR>(text + consumed);
                MIO_RW_RETURN_IF_FAILED(bag->SetMetadataByName(u"/", &item));
                ++items;
                consumed += length + 1;
            }
        }
        if (items > 0) {
            value.vt = VT_UNKNOWN;
            value.punkVal = bag.Get();
            hr = m_writer->SetMetadataByName(path.c_str(), &value);
            MIO_RW_RETURN_IF_FAILED(hr);
        }
    } else {
        if (!text) return E_INVALIDARG;
        value.vt = VT_LPWSTR;
        value.pwszVal = const_cast<LPWSTR>(text);
        hr = m_writer->SetMetadataByName(path.c_str(), &value);
        MIO_RW_RETURN_IF_FAILED(hr);
    }
    m_modified = true;
    m_uncommitted = true;
    return hr;
}

HRESULT CMetadataFileRewriter::RemoveAllTags()
{
    MIO_RW_RETURN_IF_FAILED(OpenForWrite());
    m_modified = true;
    m_uncommitted = true;
    return m_writer->RemoveMetadataByName(u"/xmp/");
}

HRESULT CMetadataFileRewriter::CommitTags()
{
    if (!m_modified) return S_OK;
    MIO_RW_RETURN_IF_FAILED(OpenForWrite());
    const HRESULT hr = m_fastEncoder->Commit();
    // Readers made before the commit would still show the old block: start afresh.
    if (SUCCEEDED(hr)) Close();
    return hr;
}

HRESULT CMetadataFileRewriter::CopyFrame(IWICBitmapSource* source, UINT width, UINT height,
                                         PackedDib* ppDib)
{
    if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) return E_FAIL;
    // DibAlloc refuses sizes beyond any real photo, so a hostile header costs no memory.
    UniquePackedDib dib(DibAlloc(static_cast<int>(width), static_cast<int>(height), 24));
    if (!dib) return E_OUTOFMEMORY;
    const size_t stride = DibStride(dib.get());
    const size_t total = DibImageSize(dib.get());
    BYTE* bits = DibBits(dib.get());
    if (!bits || stride > UINT32_MAX || total > UINT32_MAX) return E_OUTOFMEMORY;
    // Source rows top to bottom go to bitmap rows bottom to top.
    for (UINT r = 0; r < height; ++r) {
        const size_t offset = (height - 1 - r) * stride;
        const WICRect rect{0, static_cast<INT>(r), static_cast<INT>(width), 1};
        MIO_RW_RETURN_IF_FAILED(source->CopyPixels(
            &rect, static_cast<UINT>(stride), static_cast<UINT>(total - offset), bits + offset));
    }
    *ppDib = dib.release();
    return S_OK;
}

HRESULT CMetadataFileRewriter::ReadFullFrameDib(PackedDib* ppDib)
{
    *ppDib = nullptr;
    MIO_RW_RETURN_IF_FAILED(OpenDecoder());
    WICPixelFormatGUID format{};
    MIO_RW_RETURN_IF_FAILED(m_frame->GetPixelFormat(&format));
    if (format != GUID_WICPixelFormat24bppBGR) return E_FAIL;
    UINT width = 0, height = 0;
    MIO_RW_RETURN_IF_FAILED(m_frame->GetSize(&width, &height));
    return CopyFrame(m_frame.Get(), width, height, ppDib);
}

HRESULT CMetadataFileRewriter::ReadFrameDib(PackedDib* ppDib, int nWidthLimit, int nHeightLimit)
{
    if (!ppDib) return E_INVALIDARG;
    *ppDib = nullptr;
    if (nWidthLimit < 0 || nHeightLimit < 0) return E_INVALIDARG;
    if (nWidthLimit == 0 || nHeightLimit == 0) return ReadFullFrameDib(ppDib);
    MIO_RW_RETURN_IF_FAILED(OpenDecoder());
    WICPixelFormatGUID format{};
    MIO_RW_RETURN_IF_FAILED(m_frame->GetPixelFormat(&format));
    if (format != GUID_WICPixelFormat24bppBGR) return E_FAIL;
    UINT width = 0, height = 0;
    MIO_RW_RETURN_IF_FAILED(m_frame->GetSize(&width, &height));
    if (width == 0 || height == 0 || width > INT32_MAX || height > INT32_MAX) return E_FAIL;
    int fitWidth = 0, fitHeight = 0;
    if (DibFitSize(static_cast<int>(width), static_cast<int>(height), nWidthLimit, nHeightLimit,
                   &fitWidth, &fitHeight) != 1)
        return ReadFullFrameDib(ppDib);
    ComPtr<IWICBitmapScaler> scaler;
    if (FAILED(m_factory->CreateBitmapScaler(scaler.GetAddressOf())) ||
        FAILED(scaler->Initialize(m_frame.Get(), static_cast<UINT>(fitWidth),
                                  static_cast<UINT>(fitHeight), WICBitmapInterpolationModeFant)))
        return ReadFullFrameDib(ppDib);
    return CopyFrame(scaler.Get(), static_cast<UINT>(fitWidth), static_cast<UINT>(fitHeight),
                     ppDib);
}

} // namespace mio
