// SPDX-License-Identifier: MIT
// The media object's metadata sources and the routing of its metadata methods to them, and the
// caption/artist/album/rating/keyword shortcuts built on those methods.
#pragma once

#include <contracts/video_library.h>
#include <tavrel/platform/oleauto.h>
#include <tavrelmediaio/MediaFileIO.h>

#include <memory>

namespace mio {

class CCameraRawSource;
class CExifLibSource;
class CMetadataFileRewriter;
class CImagePropertySource;
class CTagEditorSource;

/// What the media object holds at the time of a call. The sources keep the record pointers,
/// which the object keeps alive until it destroys its MediaMetadata.
struct MetaTarget {
    const VideoFileInfo* video = nullptr;  ///< set for a video/audio object
    HGLOBAL image = nullptr;               ///< the image record (ignored when `video` is set)
    CCameraRawSource* cameraRaw = nullptr; ///< set exactly when the image is camera raw
};

/// Lazily created sources, one slot each. XMP (code 7) goes to a file rewriter made from the
/// object's path on the first code-7 call; a tag-0 write adds the percent rating as tag 2.
class MediaMetadata {
  public:
    MediaMetadata();
    ~MediaMetadata(); ///< rewriter (closed), tag editor, properties, EXIF library
    MediaMetadata(const MediaMetadata&) = delete;
    MediaMetadata& operator=(const MediaMetadata&) = delete;

    HRESULT GetMetaTags(const MetaTarget& t, int32_t nMetaFormat, int32_t* pnTotalTags,
                        int32_t* pnTagList, int32_t nBufSize);
    HRESULT GetMetaData(const MetaTarget& t, int32_t nMetaFormat, int32_t nMetaTag, BYTE* pbData,
                        int32_t nBufSize, int32_t* pnDataSize);
    HRESULT GetMetaDataStr(const MetaTarget& t, int32_t nMetaFormat, int32_t nMetaTag,
                           WCHAR* pszData, int32_t nBufSize);
    HRESULT GetMetaTagName(const MetaTarget& t, int32_t nMetaFormat, int32_t nMetaTag,
                           WCHAR* pszTagName, int32_t nBufSize);
    HRESULT SetMetaData(const MetaTarget& t, int32_t nMetaFormat, int32_t nMetaTag,
                        const BYTE* pbData, int32_t nDataSize);
    HRESULT RemoveAllMetaData(const MetaTarget& t, int32_t nMetaFormat);
    HRESULT UpdateMetaDataToFile(const MetaTarget& t);

    /// Fills the rewriter slot from the object's path when empty: the path's failure comes
    /// back unchanged, E_OUTOFMEMORY when the rewriter cannot be made.
    HRESULT ensureRewriter(const MetaTarget& t);
    /// The rewriter slot (owned here; valid until dropRewriter or destruction); may be null.
    CMetadataFileRewriter* rewriter() const { return m_rewriter.get(); }
    /// Closes and destroys the rewriter, unless it holds writes not yet committed: those are
    /// kept for UpdateMetaDataToFile rather than silently lost.
    void dropRewriter();

  private:
    HRESULT ensureSource(const MetaTarget& t, int32_t nMetaFormat);

    std::unique_ptr<CMetadataFileRewriter> m_rewriter;
    std::unique_ptr<CTagEditorSource> m_tagEditor;
    std::unique_ptr<CImagePropertySource> m_properties;
    std::unique_ptr<CExifLibSource> m_exifLib;
};

/// The kind of object for the text shortcuts.
enum class MediaKind { None, Video, Image };

/// Text shortcuts: fixed sequences of the object's own GetMetaDataStr / GetMetaData /
/// SetMetaData calls. A list of tries returns the first success or the last try's result.
HRESULT mediaGetCaption(IMediaFileIO& self, MediaKind kind, WCHAR* pszCaption, int32_t nBufSize);
HRESULT mediaSetCaption(IMediaFileIO& self, MediaKind kind, const WCHAR* pszCaption,
                        int32_t nDataSize);
HRESULT mediaGetArtist(IMediaFileIO& self, MediaKind kind, WCHAR* pszArtist, int32_t nBufSize);
HRESULT mediaGetAlbum(IMediaFileIO& self, MediaKind kind, WCHAR* pszAlbum, int32_t nBufSize);
HRESULT mediaGetRating(IMediaFileIO& self, MediaKind kind, WCHAR* pszRating, int32_t nBufSize);
HRESULT mediaSetRating(IMediaFileIO& self, MediaKind kind, const WCHAR* pszRating,
                       int32_t nDataSize);
HRESULT mediaGetSubjectTags(IMediaFileIO& self, MediaKind kind, WCHAR* pszSubjectTags,
                            int32_t nBufSize, int32_t* pnDataSize);
HRESULT mediaSetSubjectTags(IMediaFileIO& self, MediaKind kind, const WCHAR* pszSubjectTags,
                            int32_t nDataSize);

/// The _BSTR rule: the buffer variant `get` is called with 64 characters; on success a BSTR of
/// the text goes to *ppOut (the caller frees it), on failure *ppOut is null.
template <class Get> HRESULT mediaTextAsBstr(BSTR* ppOut, Get&& get)
{
    if (!ppOut) return E_POINTER;
    *ppOut = nullptr;
    WCHAR buffer[64] = {};
    const HRESULT hr = get(buffer, static_cast<int32_t>(sizeof buffer));
    if (FAILED(hr)) return hr;
    buffer[63] = u'\0';
    *ppOut = SysAllocString(buffer);
    return *ppOut ? hr : E_OUTOFMEMORY;
}

} // namespace mio
