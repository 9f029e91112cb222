// SPDX-License-Identifier: MIT
// MediaMetadata: which metadata source serves which call of the media object, and the text
// shortcuts as fixed sequences of those calls.
#include "mediaobject/media_metadata.h"

#include "metadata/camera_raw_source.h"
#include "metadata/exif_lib_source.h"
#include "metadata/image_property_source.h"
#include "metadata/metadata_file_rewriter.h"
#include "metadata/tag_catalogue.h"
#include "metadata/tag_editor_source.h"

#include <contracts/still_image_library.h>
#include <tavrel/platform/memory.h>
#include <tavrel/platform/text.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>
#include <string>

namespace mio {

namespace {

constexpr int32_t kFirstExifLibTag = 100;

enum class Route { Fail, Xmp, TagEditor, CameraRaw, CameraRawRefused, Image };

Route routeOf(const MetaTarget& t, int32_t nMetaFormat)
{
    if (nMetaFormat == MetaFormatXmp) return Route::Xmp;
    if (t.video) return Route::TagEditor;
    if (!t.image) return Route::Fail;
    if (t.cameraRaw)
        return nMetaFormat == MetaFormatExif ? Route::CameraRaw : Route::CameraRawRefused;
    return Route::Image;
}

/// The object's file path as UTF-16 (at most 260 characters): the video record's, else the
/// image record's. E_FAIL without a record; a failed conversion gives the system's error.
HRESULT filePathOf(const MetaTarget& t, std::u16string& path)
{
    std::array<char, 261> ansi{};
    if (t.video) {
        std::memcpy(ansi.data(), t.video->ansiPath, sizeof t.video->ansiPath);
    } else if (t.image) {
        tavrel::GlobalLockGuard lock(t.image);
        const auto* data = static_cast<const ImageFileData*>(lock.data());
        if (!data) return E_FAIL;
        std::memcpy(ansi.data(), data->path, sizeof data->path);
    } else {
        return E_FAIL;
    }
    const std::string_view text(ansi.data(), strnlen(ansi.data(), 260));
    if (text.empty()) return E_FAIL;
    const auto wide = tavrel::toWide(text, CP_ACP);
    if (!wide) {
        const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
        return FAILED(hr) ? hr : E_FAIL;
    }
    path = wide->substr(0, 260);
    return S_OK;
}

/// _wtoi: leading blanks, an optional sign and decimal digits; anything else reads as 0. Large
/// values saturate, which keeps them outside 0..5.
int64_t wtoi(const WCHAR* text)
{
    size_t i = 0;
    while (text[i] == u' ' || text[i] == u'\t')
        ++i;
    bool negative = false;
    if (text[i] == u'+' || text[i] == u'-') negative = text[i++] == u'-';
    int64_t value = 0;
    while (text[i] >= u'0' && text[i] <= u'9') {
        if (value < 1000000) value = value * 10 + (text[i] - u'0');
        ++i;
    }
    return negative ? -value : value;
}

} // namespace

MediaMetadata::MediaMetadata() = default;

MediaMetadata::~MediaMetadata()
{
    if (m_rewriter) m_rewriter->Close();
    m_rewriter.reset();
    m_tagEditor.reset();
    m_properties.reset();
    m_exifLib.reset();
}

HRESULT MediaMetadata::ensureRewriter(const MetaTarget& t)
{
    if (m_rewriter) return S_OK;
    std::u16string path;
    const HRESULT hr = filePathOf(t, path);
    if (FAILED(hr)) return hr;
    m_rewriter.reset(new (std::nothrow) CMetadataFileRewriter(path.c_str()));
    return m_rewriter ? S_OK : E_OUTOFMEMORY;
}

void MediaMetadata::dropRewriter()
{
    if (!m_rewriter || m_rewriter->HasUncommittedChanges()) return;
    m_rewriter->Close();
    m_rewriter.reset();
}

HRESULT MediaMetadata::ensureSource(const MetaTarget& t, int32_t nMetaFormat)
{
    if (nMetaFormat == MetaFormatXmp) return ensureRewriter(t);
    if (t.video) {
        if (!m_tagEditor) {
            m_tagEditor.reset(new (std::nothrow) CTagEditorSource(*t.video));
            if (!m_tagEditor) return E_OUTOFMEMORY;
        }
        return S_OK;
    }
    if (!t.image) return S_OK;
    // Another code on an image lets go of the file; staged XMP writes keep their rewriter.
    dropRewriter();
    if (t.cameraRaw) return S_OK;
    if (!m_properties) {
        m_properties.reset(new (std::nothrow) CImagePropertySource(t.image));
        if (!m_properties) return E_OUTOFMEMORY;
    }
    if (nMetaFormat == MetaFormatExif && !m_exifLib) {
        m_exifLib.reset(new (std::nothrow) CExifLibSource(t.image));
        if (!m_exifLib) return E_OUTOFMEMORY;
    }
    return S_OK;
}

HRESULT MediaMetadata::GetMetaTags(const MetaTarget& t, int32_t nMetaFormat, int32_t* pnTotalTags,
                                   int32_t* pnTagList, int32_t nBufSize)
{
    if (!pnTotalTags) return E_INVALIDARG;
    *pnTotalTags = 0;
    const HRESULT ensured = ensureSource(t, nMetaFormat);
    if (FAILED(ensured)) return ensured;
    const int32_t room = pnTagList ? std::max(nBufSize, 0) : 0;
    switch (routeOf(t, nMetaFormat)) {
    case Route::Xmp:
        return m_rewriter->ListTags(pnTotalTags, pnTagList, room);
    case Route::TagEditor:
        return m_tagEditor->GetMetaTags(nMetaFormat, pnTotalTags, pnTagList, room);
    case Route::CameraRaw:
        return t.cameraRaw->GetMetaTags(pnTotalTags, pnTagList, room);
    case Route::CameraRawRefused:
        return E_INVALIDARG;
    case Route::Image: {
        if (nMetaFormat != MetaFormatExif)
            return m_properties->GetMetaTags(nMetaFormat, pnTotalTags, pnTagList, room);
        // For EXIF the properties' own result is not used: the EXIF library's decides.
        int32_t listed = 0;
        (void)m_properties->GetMetaTags(nMetaFormat, &listed, pnTagList, room);
        *pnTotalTags = listed;
        // The EXIF library's tags follow the properties, in whatever room is left; a full list
        // gets none of them but the total still counts them.
        int32_t* rest = nullptr;
        int32_t restRoom = 0;
        if (pnTagList && listed < room) {
            rest = pnTagList + listed;
            restRoom = room - listed;
        }
        int32_t more = 0;
        const HRESULT hr = m_exifLib->GetMetaTags(&more, rest, restRoom);
        if (SUCCEEDED(hr)) *pnTotalTags = listed + more;
        return hr;
    }
    case Route::Fail:
        break;
    }
    return E_FAIL;
}

HRESULT MediaMetadata::GetMetaData(const MetaTarget& t, int32_t nMetaFormat, int32_t nMetaTag,
                                   BYTE* pbData, int32_t nBufSize, int32_t* pnDataSize)
{
    const HRESULT ensured = ensureSource(t, nMetaFormat);
    if (FAILED(ensured)) return ensured;
    switch (routeOf(t, nMetaFormat)) {
    case Route::Xmp:
        return m_rewriter->ReadTag(nMetaTag, pbData, nBufSize, pnDataSize);
    case Route::TagEditor:
        return m_tagEditor->GetMetaData(nMetaFormat, nMetaTag, pbData, nBufSize, pnDataSize);
    case Route::CameraRaw:
        return t.cameraRaw->GetMetaData(nMetaTag, pbData, nBufSize, pnDataSize);
    case Route::CameraRawRefused:
        return E_INVALIDARG;
    case Route::Image:
        if (nMetaFormat == MetaFormatExif && nMetaTag >= kFirstExifLibTag)
            return m_exifLib->GetMetaData(nMetaTag, pbData, nBufSize, pnDataSize);
        return m_properties->GetMetaData(nMetaFormat, nMetaTag, pbData, nBufSize, pnDataSize);
    case Route::Fail:
        break;
    }
    return E_FAIL;
}

HRESULT MediaMetadata::GetMetaDataStr(const MetaTarget& t, int32_t nMetaFormat, int32_t nMetaTag,
                                      WCHAR* pszData, int32_t nBufSize)
{
    const HRESULT ensured = ensureSource(t, nMetaFormat);
    if (FAILED(ensured)) return ensured;
    switch (routeOf(t, nMetaFormat)) {
    case Route::Xmp:
        return m_rewriter->ReadTagText(nMetaTag, pszData, nBufSize);
    case Route::TagEditor:
        return m_tagEditor->GetMetaDataStr(nMetaFormat, nMetaTag, pszData, nBufSize);
    case Route::CameraRaw:
        return t.cameraRaw->GetMetaDataStr(nMetaTag, pszData, nBufSize);
    case Route::CameraRawRefused:
        return E_INVALIDARG;
    case Route::Image:
        if (nMetaFormat == MetaFormatExif && nMetaTag >= kFirstExifLibTag)
            return m_exifLib->GetMetaDataStr(nMetaTag, pszData, nBufSize);
        return m_properties->GetMetaDataStr(nMetaFormat, nMetaTag, pszData, nBufSize);
    case Route::Fail:
        break;
    }
    return E_FAIL;
}

HRESULT MediaMetadata::GetMetaTagName(const MetaTarget& t, int32_t nMetaFormat, int32_t nMetaTag,
                                      WCHAR* pszTagName, int32_t nBufSize)
{
    const HRESULT ensured = ensureSource(t, nMetaFormat);
    if (FAILED(ensured)) return ensured;
    switch (routeOf(t, nMetaFormat)) {
    case Route::Xmp:
        return m_rewriter->GetXmpTagName(nMetaTag, pszTagName, nBufSize);
    case Route::TagEditor:
        return m_tagEditor->GetMetaTagName(nMetaFormat, nMetaTag, pszTagName, nBufSize);
    case Route::CameraRaw:
        return t.cameraRaw->GetMetaTagName(nMetaTag, pszTagName, nBufSize);
    case Route::CameraRawRefused:
        return E_INVALIDARG;
    case Route::Image:
        if (nMetaFormat == MetaFormatExif && nMetaTag >= kFirstExifLibTag)
            return m_exifLib->GetMetaTagName(nMetaTag, pszTagName, nBufSize);
        return m_properties->GetMetaTagName(nMetaFormat, nMetaTag, pszTagName, nBufSize);
    case Route::Fail:
        break;
    }
    return E_FAIL;
}

HRESULT MediaMetadata::SetMetaData(const MetaTarget& t, int32_t nMetaFormat, int32_t nMetaTag,
                                   const BYTE* pbData, int32_t nDataSize)
{
    const HRESULT ensured = ensureSource(t, nMetaFormat);
    if (FAILED(ensured)) return ensured;
    const Route route = routeOf(t, nMetaFormat);
    if (route == Route::TagEditor)
        return m_tagEditor->SetMetaData(nMetaFormat, nMetaTag, pbData, nDataSize);
    if (route != Route::Xmp) return E_FAIL; // images are written only through XMP
    const HRESULT stored = m_rewriter->WriteTag(nMetaTag, pbData, nDataSize);
    if (FAILED(stored) || nMetaTag != kXmpTagRating || !pbData) return stored;
    // A star rating 0..5 is accompanied by its percent rating.
    const int64_t stars = wtoi(reinterpret_cast<const WCHAR*>(pbData));
    if (stars < 0 || stars > 5) return stored;
    const std::string digits = std::to_string(RatingPercent[static_cast<size_t>(stars)]);
    const std::u16string percent(digits.begin(), digits.end());
    return m_rewriter->WriteTag(kXmpTagRatingPercent,
                                reinterpret_cast<const BYTE*>(percent.c_str()),
                                static_cast<int32_t>((percent.size() + 1) * 2));
}

HRESULT MediaMetadata::RemoveAllMetaData(const MetaTarget& t, int32_t nMetaFormat)
{
    const HRESULT ensured = ensureSource(t, nMetaFormat);
    if (FAILED(ensured)) return ensured;
    const Route route = routeOf(t, nMetaFormat);
    if (route == Route::TagEditor) return m_tagEditor->RemoveAllMetaData(nMetaFormat);
    if (route == Route::Xmp) return m_rewriter->RemoveAllTags();
    return E_FAIL;
}

HRESULT MediaMetadata::UpdateMetaDataToFile(const MetaTarget& t)
{
    HRESULT hr = S_OK;
    if (t.video && m_tagEditor) hr = m_tagEditor->Commit();
    // A rewriter that never wrote has nothing to say: it must not turn a failed tag save into
    // a success. One that wrote answers with its commit unless the tag save failed.
    if (m_rewriter && m_rewriter->IsModified()) {
        const HRESULT committed = m_rewriter->CommitTags();
        if (FAILED(committed) || SUCCEEDED(hr)) hr = committed;
    }
    return hr;
}

// ---- text shortcuts ----

namespace {

struct Try {
    int32_t format;
    int32_t tag;
};

template <size_t N>
HRESULT firstText(IMediaFileIO& self, const Try (&tries)[N], WCHAR* out, int32_t nBufSize)
{
    HRESULT hr = E_FAIL;
    for (const Try& t : tries) {
        hr = self.GetMetaDataStr(t.format, t.tag, out, nBufSize);
        if (SUCCEEDED(hr)) return hr;
    }
    return hr;
}

const BYTE* bytesOf(const WCHAR* text)
{
    return reinterpret_cast<const BYTE*>(text);
}

} // namespace

HRESULT mediaGetCaption(IMediaFileIO& self, MediaKind kind, WCHAR* pszCaption, int32_t nBufSize)
{
    static constexpr Try kVideo[] = {{MetaFormatId3v2, 17},
                                     {MetaFormatId3v1, 110},
                                     {MetaFormatVorbisComment, 1},
                                     {MetaFormatAsfAttributes, 1}};
    static constexpr Try kImage[] = {{MetaFormatXmp, 4}};
    if (kind == MediaKind::Video) return firstText(self, kVideo, pszCaption, nBufSize);
    if (kind == MediaKind::Image) return firstText(self, kImage, pszCaption, nBufSize);
    return E_FAIL;
}

HRESULT mediaSetCaption(IMediaFileIO& self, MediaKind kind, const WCHAR* pszCaption,
                        int32_t nDataSize)
{
    if (kind != MediaKind::Image) return E_FAIL;
    return self.SetMetaData(MetaFormatXmp, 4, bytesOf(pszCaption), nDataSize);
}

HRESULT mediaGetArtist(IMediaFileIO& self, MediaKind kind, WCHAR* pszArtist, int32_t nBufSize)
{
    static constexpr Try kVideo[] = {{MetaFormatId3v2, 30},
                                     {MetaFormatId3v1, 111},
                                     {MetaFormatVorbisComment, 5},
                                     {MetaFormatAsfAttributes, 14},
                                     {MetaFormatAsfAttributes, 11}};
    if (kind == MediaKind::Video) return firstText(self, kVideo, pszArtist, nBufSize);
    return E_FAIL;
}

HRESULT mediaGetAlbum(IMediaFileIO& self, MediaKind kind, WCHAR* pszAlbum, int32_t nBufSize)
{
    static constexpr Try kVideo[] = {{MetaFormatId3v2, 1},
                                     {MetaFormatId3v1, 112},
                                     {MetaFormatVorbisComment, 3},
                                     {MetaFormatAsfAttributes, 13}};
    if (kind == MediaKind::Video) return firstText(self, kVideo, pszAlbum, nBufSize);
    return E_FAIL;
}

HRESULT mediaGetRating(IMediaFileIO& self, MediaKind kind, WCHAR* pszRating, int32_t nBufSize)
{
    if (kind == MediaKind::Video)
        return self.GetMetaDataStr(MetaFormatAsfAttributes, 15, pszRating, nBufSize);
    if (kind == MediaKind::Image) return self.GetMetaDataStr(MetaFormatXmp, 0, pszRating, nBufSize);
    return E_FAIL;
}

HRESULT mediaSetRating(IMediaFileIO& self, MediaKind kind, const WCHAR* pszRating,
                       int32_t nDataSize)
{
    if (kind == MediaKind::Video)
        return self.SetMetaData(MetaFormatAsfAttributes, 15, bytesOf(pszRating), nDataSize);
    if (kind == MediaKind::Image)
        return self.SetMetaData(MetaFormatXmp, 0, bytesOf(pszRating), nDataSize);
    return E_FAIL;
}

HRESULT mediaGetSubjectTags(IMediaFileIO& self, MediaKind kind, WCHAR* pszSubjectTags,
                            int32_t nBufSize, int32_t* pnDataSize)
{
    if (kind != MediaKind::Image) return E_FAIL;
    return self.GetMetaData(MetaFormatXmp, 1, reinterpret_cast<BYTE*>(pszSubjectTags), nBufSize,
                            pnDataSize);
}

HRESULT mediaSetSubjectTags(IMediaFileIO& self, MediaKind kind, const WCHAR* pszSubjectTags,
                            int32_t nDataSize)
{
    if (kind != MediaKind::Image) return E_FAIL;
    return self.SetMetaData(MetaFormatXmp, 1, bytesOf(pszSubjectTags), nDataSize);
}

} // namespace mio
