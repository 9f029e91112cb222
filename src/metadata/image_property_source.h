// SPDX-License-Identifier: MIT
// The still-image library's property block of a file, served as EXIF tags below 100 and IPTC
// tags for the media object.
#pragma once

#include <tavrel/platform/types.h>

#include <cstdint>

namespace mio {

/// Presents the property block that the still-image library decodes from a file's metadata:
/// code 1 (MetaFormatExif) serves ids 5200..5299 as tags 0..99, code 2 (MetaFormatIptc) ids
/// 5600..5799 as tags 0..199; every other code is refused with E_FAIL. The block is fetched on
/// first use (a failed fetch is retried by the next call) and freed with the source. Takes no
/// lock of its own.
class CImagePropertySource {
  public:
    /// `hFileData`: the ImageFileData record (not owned; must outlive the source).
    explicit CImagePropertySource(HGLOBAL hFileData) : m_fileData(hFileData) {}
    ~CImagePropertySource();
    CImagePropertySource(const CImagePropertySource&) = delete;
    CImagePropertySource& operator=(const CImagePropertySource&) = delete;

    /// Tags of the code's range in block order; *pnTotalTags gets the full count, pnTagList
    /// (may be null) at most nRoom of them. S_OK also when none matches.
    HRESULT GetMetaTags(int32_t nMetaFormat, int32_t* pnTotalTags, int32_t* pnTagList,
                        int32_t nRoom);
    /// The value in data form: texts as UTF-16 with terminator (*pnDataSize: the ANSI byte
    /// length; a null buffer with size 0 is a size query), 32- and 16-bit numbers, byte blocks
    /// without their 4-byte lead. *pnDataSize is set whenever the entry was found.
    HRESULT GetMetaData(int32_t nMetaFormat, int32_t nMetaTag, BYTE* pbData, int32_t nBufSize,
                        int32_t* pnDataSize);
    /// The value as UTF-16 text: numbers in decimal, rationals as "n / d", other byte blocks as
    /// space-separated hex bytes (cut short rather than overflow).
    HRESULT GetMetaDataStr(int32_t nMetaFormat, int32_t nMetaTag, WCHAR* pszData, int32_t nBufSize);
    /// The entry's name; E_FAIL when the entry is missing or its name empty.
    HRESULT GetMetaTagName(int32_t nMetaFormat, int32_t nMetaTag, WCHAR* pszTagName,
                           int32_t nBufSize);

  private:
    HRESULT ensureBlock();

    HGLOBAL m_fileData;
    HGLOBAL m_block = nullptr;
};

} // namespace mio
