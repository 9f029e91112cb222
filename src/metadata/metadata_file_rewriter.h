// SPDX-License-Identifier: MIT
// CMetadataFileRewriter: XMP access for the media object to any file the imaging component
// decodes, from its path alone, and frame 0 of a 24-bit file as a packed bitmap.
#pragma once

#include <contracts/wincodec.h>
#include <tavrel/platform/files.h>
#include <tavrel/platform/unknwn.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "dib/packed_dib.h"

namespace mio {

/// One file's XMP through the imaging component: lists, reads, writes and removes the five
/// rewriter tags of the catalogue and commits them in place with the fast metadata encoder. A
/// JPEG without an XMP block is first re-encoded (scan data copied) with 4096 bytes of XMP
/// padding into an exclusively created sibling, which replaces the file by rename once flushed.
/// Not thread-safe: one thread uses a rewriter at a time.
class CMetadataFileRewriter {
  public:
    /// Copies at most 259 characters of `path`; touches no file.
    explicit CMetadataFileRewriter(const WCHAR* path);
    /// Runs Close: writes not yet committed are dropped.
    virtual ~CMetadataFileRewriter();
    CMetadataFileRewriter(const CMetadataFileRewriter&) = delete;
    CMetadataFileRewriter& operator=(const CMetadataFileRewriter&) = delete;

    /// Releases every interface and the file handle; the XMP readable mark goes back to 1.
    void Close();

    /// Counts the rewriter tags present in the XMP block; writes at most nCapacity of them
    /// (none when pnTagList is null). The count is written only on success.
    HRESULT ListTags(int32_t* pnCount, int32_t* pnTagList, int32_t nCapacity);
    /// A text tag: its UTF-16 text with the NUL, *pnSize = 2 x characters (no NUL);
    /// E_INVALIDARG (nothing copied, size still reported) when text and NUL do not fit. A bag
    /// (keywords): each item that fits, with its NUL, then one more NUL; *pnSize counts both;
    /// E_FAIL when no item fitted. E_FAIL for tags outside 0..4 and other value types.
    HRESULT ReadTag(int32_t nTag, BYTE* pbBuffer, int32_t nBufSize, int32_t* pnSize);
    /// ReadTag with the items of a bag joined by "," (no space).
    HRESULT ReadTagText(int32_t nTag, WCHAR* pszBuffer, int32_t nBufSize);
    /// The tag's rewriter name ("xmp:Rating", ...); touches no file. E_FAIL outside 0..4,
    /// E_INVALIDARG when the name and its NUL do not fit.
    HRESULT GetXmpTagName(int32_t nTag, WCHAR* pszBuffer, int32_t nBufSize) const;
    /// Stages a tag: tag 1 takes a list of NUL-ended texts in nDataSize bytes (2 or fewer:
    /// the keywords are only removed); other tags a NUL-terminated text. Pads a JPEG without
    /// XMP first (the only file change before CommitTags).
    HRESULT WriteTag(int32_t nTag, const BYTE* pbData, int32_t nDataSize);
    /// Stages the removal of the whole XMP block's content.
    HRESULT RemoveAllTags();
    /// S_OK without touching the file when nothing was ever written; otherwise commits the
    /// staged changes in place.
    HRESULT CommitTags();
    /// Frame 0 of a 24-bit BGR file as a new bottom-up 24-bit bitmap (the caller frees it with
    /// DibFree), scaled (Fant) to fit the limits when larger; either limit 0 gives full size.
    /// E_FAIL for another pixel format.
    HRESULT ReadFrameDib(PackedDib* ppDib, int nWidthLimit, int nHeightLimit);

    /// True after a write or removal that no successful CommitTags has written yet.
    bool HasUncommittedChanges() const { return m_uncommitted; }
    /// True once anything was written or removed (never cleared: CommitTags then commits).
    bool IsModified() const { return m_modified; }
    const std::u16string& path() const { return m_path; }

    /// The name of the padded copy: the last name part (or, without a dot, the whole file
    /// name) with each ASCII letter and digit shifted to the next one ('z', 'Z' to 'a', '9'
    /// to '0'): photo.jpg gives photo.kqh. Applied again when that name is taken.
    static std::u16string ShiftedName(std::u16string_view path);
    /// The tag whose rewriter name follows the leading "/" of an enumerated name, ignoring
    /// ASCII case; -1 when the name does not start with "/" or names none of them.
    static int32_t FindXmpTagByName(std::u16string_view name);

  protected:
    /// Replaces `target` by the complete, flushed file `temporary` (rename, durable). Tests
    /// override it to make the last step fail.
    virtual HRESULT ReplaceTarget(const std::u16string& temporary, const std::u16string& target);
    /// Flushes the padded copy to its device before it may replace anything.
    virtual HRESULT FlushTemporary(HANDLE file);

  private:
    HRESULT OpenFile(DWORD access);
    HRESULT OpenForRead();
    HRESULT OpenForWrite();
    HRESULT OpenDecoder() { return OpenFile(GENERIC_READ); }
    HRESULT PadFile();
    HRESULT WritePaddedCopy(IStream* target);
    HRESULT ReadFullFrameDib(PackedDib* ppDib);
    bool IsTiff() const;
    HRESULT CopyFrame(IWICBitmapSource* source, UINT width, UINT height, PackedDib* ppDib);

    std::u16string m_path;
    ComPtr<IWICImagingFactory> m_factory;
    ComPtr<IWICBitmapDecoder> m_decoder;
    ComPtr<IWICBitmapFrameDecode> m_frame;
    ComPtr<IWICMetadataQueryReader> m_frameReader;
    ComPtr<IWICMetadataQueryReader> m_xmpReader;
    ComPtr<IWICFastMetadataEncoder> m_fastEncoder;
    ComPtr<IWICMetadataQueryWriter> m_writer;
    bool m_modified = false;
    bool m_xmpReadable = true;
    bool m_uncommitted = false;
    tavrel::UniqueHandle m_file; // borrowed by the decoder's stream: closed after it
};

} // namespace mio
