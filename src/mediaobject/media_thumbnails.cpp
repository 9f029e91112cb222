// SPDX-License-Identifier: MIT
// Preview, frame and mask thumbnails of the media object, with their cache and frame reader.
#include "mediaobject/media_thumbnails.h"

#include <contracts/still_image_library.h>
#include <contracts/video_library.h>
#include <contracts/wincodec.h>
#include <dib/image_file_io.h>
#include <dib/thumbnail_fit.h>
#include <tavrel/platform/combase.h>
#include <tavrel/platform/files.h>
#include <tavrel/platform/memory.h>
#include <tavrel/platform/text.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "mediaobject/media_file_io.h"
#include "metadata/metadata_file_rewriter.h"
#include "metadata/tag_editor_source.h"

namespace mio {

namespace {

constexpr int32_t kMetaFormatId3v2 = 4;
constexpr int32_t kAttachedPictureTag = 48;
constexpr int32_t kJpegFileFormat = 53;
constexpr size_t kMaxPathChars = 260;
// An attached picture larger than this is not a cover; refuse it rather than allocate.
constexpr int32_t kMaxAttachedPictureBytes = 64 * 1024 * 1024;

struct ImageRecordFree {
    void operator()(HGLOBAL record) const { q32FileFreeFileData(record); }
};

// Removes the temporary file however the read ends.
class TempFileRemover {
  public:
    explicit TempFileRemover(std::string path) : m_path(std::move(path)) {}
    ~TempFileRemover() { ::unlink(m_path.c_str()); }
    TempFileRemover(const TempFileRemover&) = delete;
    TempFileRemover& operator=(const TempFileRemover&) = delete;

  private:
    std::string m_path;
};

bool writeAll(int fd, std::span<const BYTE> bytes)
{
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes = bytes.subspan(static_cast<size_t>(n));
    }
    return true;
}

} // namespace

std::span<const BYTE> AttachedJpegBytes(std::span<const BYTE> value)
{
    const auto* begin = reinterpret_cast<const char*>(value.data());
    const size_t typeLen = strnlen(begin, value.size());
    if (typeLen == value.size()) return {};
    const std::string_view type(begin, typeLen);
    size_t header = 0;
    if (type == "image/jpeg")
        header = 12;
    else if (type == "image/jpg")
        header = 11;
    else if (type == "JPG")
        header = 4;
    else
        return {};
    if (header > value.size()) return {};
    const auto rest = value.subspan(header);
    const size_t descLen = strnlen(reinterpret_cast<const char*>(rest.data()), rest.size());
    if (descLen >= rest.size()) return {};
    return rest.subspan(descLen + 1);
}

HRESULT DecodeJpegBytes(std::span<const BYTE> bytes, PackedDib* ppDib)
{
    *ppDib = nullptr;
    if (bytes.empty()) return E_FAIL;
    WCHAR tempDir[kMaxPathChars + 1] = {};
    const DWORD len = GetTempPathW(static_cast<DWORD>(kMaxPathChars), tempDir);
    if (len == 0 || len > kMaxPathChars) return E_FAIL;
    auto dir = tavrel::toMultiByte(std::u16string_view(tempDir, len));
    if (!dir || dir->empty()) return E_FAIL;
    if (dir->back() != '/') dir->push_back('/');
    // A fresh name per read, created exclusively and owner-only (mkstemps), so neither another
    // object nor another user can meet or plant this file.
    std::string path = *dir + "tmio-XXXXXX.jpg";
    if (path.size() >= kMaxPathChars) return E_FAIL;
    const int fd = ::mkstemps(path.data(), 4);
    if (fd < 0) return E_FAIL;
    const TempFileRemover remover(path);
    ::fchmod(fd, S_IRUSR | S_IWUSR);
    const bool written = writeAll(fd, bytes);
    if (::close(fd) != 0 || !written) return E_FAIL;

    int result = 0;
    PackedDib dib = nullptr;
    {
        const auto hold = LibraryLockHold::enter(imageLibraryLock());
        const std::unique_ptr<void, ImageRecordFree> record(qfFileGetFileData(path.c_str(), 0));
        if (record) result = DibReadImageFile(record.get(), false, &dib, nullptr);
    }
    if (result <= 0 || !dib) {
        DibFree(dib);
        return E_FAIL;
    }
    *ppDib = dib;
    return S_OK;
}

// ---- CMediaFileIO thumbnails ----

void CMediaFileIO::resetThumbnailCache()
{
    m_thumbs.cached.reset();
}

HRESULT CMediaFileIO::finishThumbnail(PackedDib source, bool libraryOwned, int32_t nWidthLimit,
                                      int32_t nHeightLimit, bool frameThumb, int32_t nFrame,
                                      BOOL bExactSize, PackedDib* ppDib)
{
    // The engine's bitmap in hand, or the library's (never freed, never cached).
    UniquePackedDib own(libraryOwned ? nullptr : source);
    PackedDib current = source;
    auto replace = [&](PackedDib next) {
        own.reset(next); // frees the engine's previous bitmap, leaves the library's alone
        current = next;
        libraryOwned = false;
    };
    if (own && own.get() == m_thumbs.cached.get()) (void)m_thumbs.cached.release();

    PackedDib fitted = nullptr;
    if (DibFitThumbnail(current, &fitted, nWidthLimit, nHeightLimit, true) > 0 && fitted)
        replace(fitted);

    if (frameThumb) {
        if (m_alphaBackground) {
            PackedDib mask = nullptr;
            if (GetMaskThumbnail(&mask, nWidthLimit, nHeightLimit) == S_OK && mask) {
                const BITMAPINFOHEADER* background = m_alphaBackground;
                UniquePackedDib resized;
                if (background->biWidth != mask->biWidth ||
                    background->biHeight != mask->biHeight) {
                    PackedDib tmp = nullptr;
                    if (DibResample(background, &tmp, mask->biWidth, mask->biHeight) > 0 && tmp) {
                        resized.reset(tmp);
                        background = tmp;
                    } else {
                        DibFree(tmp);
                    }
                }
                // The library's frame must not be painted on: blend into a copy of our own.
                if (background->biWidth == mask->biWidth &&
                    background->biHeight == mask->biHeight) {
                    if (libraryOwned) {
                        PackedDib copy = nullptr;
                        if (DibConvert(current, &copy, 24, false) > 0 && copy)
                            replace(copy);
                        else
                            DibFree(copy);
                    }
                    if (!libraryOwned) (void)DibBlendMask(current, background, mask);
                }
            }
        } else if (isImage()) {
            int32_t maskCount = 0;
            {
                tavrel::GlobalLockGuard lock(m_imageData);
                if (const auto* data = static_cast<const ImageFileData*>(lock.data()))
                    maskCount = data->maskCount;
            }
            PackedDib mask = nullptr;
            if (maskCount > 0 && GetMaskThumbnail(&mask, nWidthLimit, nHeightLimit) == S_OK &&
                mask) {
                PackedDib withAlpha = nullptr;
                if (DibAddAlpha(current, mask, &withAlpha) > 0 && withAlpha)
                    replace(withAlpha);
                else
                    DibFree(withAlpha);
            }
        }
    }

    if (bExactSize && nWidthLimit > 0 && nHeightLimit > 0 &&
        (current->biWidth != nWidthLimit || current->biHeight != nHeightLimit)) {
        PackedDib canvas = nullptr;
        if (DibCenterOnCanvas(current, &canvas, nWidthLimit, nHeightLimit) > 0 && canvas)
            replace(canvas);
    }

    if (!libraryOwned) {
        m_thumbs.cached = std::move(own);
        m_thumbs.cachedIsPreview = !frameThumb;
        if (frameThumb) m_thumbs.cachedFrame = nFrame;
    }
    *ppDib = current;
    return S_OK;
}

HRESULT CMediaFileIO::readAttachedPicture(std::vector<BYTE>& value)
{
    int32_t size = 0;
    HRESULT hr = GetMetaData(kMetaFormatId3v2, kAttachedPictureTag, nullptr, 0, &size);
    std::unique_ptr<CTagEditorSource> direct;
    if (hr == E_NOTIMPL) {
        // The object's metadata dispatch is not wired in yet: ask the tag editor directly.
        direct.reset(new (std::nothrow) CTagEditorSource(*m_videoInfo));
        if (!direct) return E_OUTOFMEMORY;
        hr = direct->GetMetaData(kMetaFormatId3v2, kAttachedPictureTag, nullptr, 0, &size);
    }
    if (FAILED(hr) || size <= 0) return E_FAIL;
    if (size > kMaxAttachedPictureBytes) return E_FAIL;
    try {
        value.assign(static_cast<size_t>(size), 0);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    int32_t got = 0;
    hr = direct
             ? direct->GetMetaData(kMetaFormatId3v2, kAttachedPictureTag, value.data(), size, &got)
             : GetMetaData(kMetaFormatId3v2, kAttachedPictureTag, value.data(), size, &got);
    if (FAILED(hr) || got <= 0 || got > size) return E_FAIL;
    value.resize(static_cast<size_t>(got));
    return S_OK;
}

HRESULT CMediaFileIO::readEmbeddedJpegPreview(PackedDib* ppDib)
{
    *ppDib = nullptr;
    std::vector<BYTE> value;
    const HRESULT hr = readAttachedPicture(value);
    if (FAILED(hr)) return hr;
    const auto picture = AttachedJpegBytes(value);
    if (picture.empty()) return E_FAIL;
    return DecodeJpegBytes(picture, ppDib);
}

bool CMediaFileIO::rawPreviewCovers(int32_t nWidthLimit, int32_t nHeightLimit) const
{
    tavrel::GlobalLockGuard lock(m_imageData);
    const auto* data = static_cast<const ImageFileData*>(lock.data());
    return data && data->hasPreview == 1 &&
           static_cast<uint32_t>(data->preview.width) >= static_cast<uint32_t>(nWidthLimit) &&
           static_cast<uint32_t>(data->preview.height) >= static_cast<uint32_t>(nHeightLimit);
}

namespace {

bool reusable(const BITMAPINFOHEADER* cached, int32_t nWidthLimit, int32_t nHeightLimit)
{
    return nWidthLimit <= cached->biWidth || nHeightLimit <= cached->biHeight;
}

} // namespace

STDMETHODIMP CMediaFileIO::GetPreviewThumbnail(PackedDib* ppDib, int32_t nWidthLimit,
                                               int32_t nHeightLimit, BOOL bForceGenerate,
                                               BOOL bExactSize)
{
    if (!ppDib) return E_INVALIDARG;
    *ppDib = nullptr;
    if (m_thumbs.cached && m_thumbs.cachedIsPreview &&
        reusable(m_thumbs.cached.get(), nWidthLimit, nHeightLimit))
        return finishThumbnail(m_thumbs.cached.get(), false, nWidthLimit, nHeightLimit, false, 0,
                               bExactSize, ppDib);
    resetThumbnailCache();

    PackedDib source = nullptr;
    bool libraryOwned = false;
    if (isVideo()) {
        BITMAPINFOHEADER* preview = nullptr;
        if (qVideoGetPreview(m_videoInfo.get(), &preview) > 0 && preview) {
            source = preview;
            libraryOwned = true;
        } else if (m_videoInfo->formatKind == kVideoKindTagJpegPreview) {
            PackedDib jpeg = nullptr;
            if (readEmbeddedJpegPreview(&jpeg) == S_OK) source = jpeg;
        }
    } else if (isImage()) {
        const bool tryPreview =
            !m_isCameraRaw || (m_cameraRaw && m_cameraRaw->HasEmbeddedPreview() == S_OK &&
                               rawPreviewCovers(nWidthLimit, nHeightLimit));
        if (tryPreview) {
            PackedDib dib = nullptr;
            if (DibReadImageFile(m_imageData, true, &dib, nullptr) > 0 && dib)
                source = dib;
            else
                DibFree(dib);
        }
    } else {
        return E_FAIL;
    }

    if (!source) {
        if (!bForceGenerate) return E_FAIL;
        return GetFrameThumbnail(ppDib, nWidthLimit, nHeightLimit, 0, TRUE, bExactSize);
    }
    return finishThumbnail(source, libraryOwned, nWidthLimit, nHeightLimit, false, 0, bExactSize,
                           ppDib);
}

STDMETHODIMP CMediaFileIO::GetFrameThumbnail(PackedDib* ppDib, int32_t nWidthLimit,
                                             int32_t nHeightLimit, int32_t nFrame, BOOL bRough,
                                             BOOL bExactSize)
{
    return GetFrameThumbnailEx(ppDib, nWidthLimit, nHeightLimit, nFrame, bRough, bExactSize,
                               nullptr);
}

STDMETHODIMP CMediaFileIO::GetFrameThumbnailByTime(PackedDib* ppDib, int32_t nWidthLimit,
                                                   int32_t nHeightLimit, double dTime, BOOL bRough,
                                                   BOOL bExactSize)
{
    int32_t frame = 0;
    if (isVideo()) {
        const double exact = dTime * (m_videoInfo->frameRate / 1000.0);
        // Out of range (or NaN) is no frame of this file.
        if (!(exact > -1.0 && exact < 2147483648.0)) {
            if (ppDib) *ppDib = nullptr;
            return E_FAIL;
        }
        frame = static_cast<int32_t>(exact);
    } else if (!isImage()) {
        if (ppDib) *ppDib = nullptr;
        return E_FAIL;
    }
    return GetFrameThumbnail(ppDib, nWidthLimit, nHeightLimit, frame, bRough, bExactSize);
}

HRESULT CMediaFileIO::readVideoFrame(int32_t nWidthLimit, int32_t nHeightLimit, int32_t nFrame,
                                     BOOL bRough, PackedDib* ppSource, bool* pLibraryOwned)
{
    if (m_frameReader && nWidthLimit > m_thumbs.readerWidth &&
        nHeightLimit > m_thumbs.readerHeight) {
        qVideoReadVideoEnd(m_frameReader);
        m_frameReader = nullptr;
    }
    if (!m_frameReader) {
        const int32_t mode = bRough ? kVideoReadRough : kVideoReadExact;
        int fitW = m_videoInfo->width;
        int fitH = m_videoInfo->height;
        BITMAPINFOHEADER header{};
        const bool shrink = DibFitSize(m_videoInfo->width, m_videoInfo->height, nWidthLimit,
                                       nHeightLimit, &fitW, &fitH) == 1;
        if (shrink) DibInitHeader(&header, fitW, fitH, m_videoInfo->bitCount);
        m_thumbs.readerWidth = fitW;
        m_thumbs.readerHeight = fitH;
        HVIDEOREADER reader = nullptr;
        if (qVideoReadVideoBegin(m_videoInfo.get(), mode, &reader, shrink ? &header : nullptr) <=
                0 ||
            !reader)
            return E_FAIL;
        m_frameReader = reader;
    }
    BITMAPINFOHEADER* frame = nullptr;
    if (qVideoReadVideo(m_videoInfo.get(), nFrame, &frame, 0, m_frameReader) > 0) {
        if (!frame) return E_FAIL;
        *pLibraryOwned = true;
        m_thumbs.readerWidth = frame->biWidth;
        m_thumbs.readerHeight = frame->biHeight;
    } else {
        // A frame handed back with a failure still lives in the reader; never free it here.
        if (!frame) return E_FAIL;
        *pLibraryOwned = true;
    }
    *ppSource = frame;
    return S_OK;
}

HRESULT CMediaFileIO::readImageFrame(int32_t nWidthLimit, int32_t nHeightLimit, BOOL* pbAbort,
                                     PackedDib* ppSource)
{
    int32_t format = -1;
    int32_t bits = 0;
    const bool formatKnown = GetFileFormatID(&format) == S_OK;
    const bool bitsKnown = GetFrameBitCount(&bits) == S_OK;
    PackedDib dib = nullptr;
    if (formatKnown && bitsKnown && format == kJpegFileFormat && bits == 24) {
        // The object's one rewriter doubles as its JPEG reader.
        MediaMetadata* meta = metadata();
        if (!meta) return E_OUTOFMEMORY;
        const HRESULT made = meta->ensureRewriter(metaTarget());
        if (FAILED(made)) return made;
        if (meta->rewriter()->ReadFrameDib(&dib, nWidthLimit, nHeightLimit) == S_OK && dib) {
            *ppSource = dib;
            return S_OK;
        }
        DibFree(dib);
        dib = nullptr;
        meta->dropRewriter();
        if (DibReadImageFile(m_imageData, false, &dib, pbAbort) > 0 && dib) {
            *ppSource = dib;
            return S_OK;
        }
        DibFree(dib);
        return E_FAIL;
    }
    const bool usePreview = m_isCameraRaw && rawPreviewCovers(nWidthLimit, nHeightLimit);
    if (DibReadImageFile(m_imageData, usePreview, &dib, pbAbort) > 0 && dib) {
        *ppSource = dib;
        return S_OK;
    }
    DibFree(dib);
    return E_FAIL;
}

STDMETHODIMP CMediaFileIO::GetFrameThumbnailEx(PackedDib* ppDib, int32_t nWidthLimit,
                                               int32_t nHeightLimit, int32_t nFrame, BOOL bRough,
                                               BOOL bExactSize, BOOL* pbAbort)
{
    if (!ppDib) return E_INVALIDARG;
    *ppDib = nullptr;
    if (m_thumbs.cached && !m_thumbs.cachedIsPreview && m_thumbs.cachedFrame == nFrame &&
        reusable(m_thumbs.cached.get(), nWidthLimit, nHeightLimit))
        return finishThumbnail(m_thumbs.cached.get(), false, nWidthLimit, nHeightLimit, true,
                               nFrame, bExactSize, ppDib);
    resetThumbnailCache();

    PackedDib source = nullptr;
    bool libraryOwned = false;
    HRESULT hr = E_FAIL;
    if (isVideo() && m_videoInfo->hasVideo)
        hr = readVideoFrame(nWidthLimit, nHeightLimit, nFrame, bRough, &source, &libraryOwned);
    else if (isImage())
        hr = readImageFrame(nWidthLimit, nHeightLimit, pbAbort, &source);
    if (FAILED(hr)) return hr;
    if (!source) return E_FAIL;
    return finishThumbnail(source, libraryOwned, nWidthLimit, nHeightLimit, true, nFrame,
                           bExactSize, ppDib);
}

STDMETHODIMP CMediaFileIO::GetMaskThumbnail(PackedDib* ppDib, int32_t nWidthLimit,
                                            int32_t nHeightLimit)
{
    if (!ppDib) return E_INVALIDARG;
    *ppDib = nullptr;
    m_thumbs.mask.reset();
    if (!isImage()) return E_FAIL;
    PackedDib mask = nullptr;
    if (DibReadMaskImage(m_imageData, &mask) <= 0 || !mask) {
        DibFree(mask);
        return E_FAIL;
    }
    UniquePackedDib held(mask);
    PackedDib fitted = nullptr;
    if (DibFitThumbnail(mask, &fitted, nWidthLimit, nHeightLimit, false) > 0 && fitted)
        held.reset(fitted);
    m_thumbs.mask = std::move(held);
    *ppDib = m_thumbs.mask.get();
    return S_OK;
}

STDMETHODIMP CMediaFileIO::SetAlphaBackground(PackedDib pDib)
{
    m_alphaBackground = pDib;
    return S_OK;
}

} // namespace mio
