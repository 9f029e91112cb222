// SPDX-License-Identifier: MIT
// Five basic EXIF fields of a still image (tags 100..104 of MetaFormatExif), read with the EXIF
// reader for the media object.
#pragma once

#include <contracts/exif_library.h>
#include <tavrel/platform/types.h>

#include <cstdint>

namespace mio {

/// Creates and deletes the process-wide EXIF-library lock; the module calls them at load and
/// unload (tests from their main). Until created, the lock is a no-op.
void exifLibraryLockInit();
void exifLibraryLockFini();

/// Make, Model, DateTime, Orientation and ImageDescription of the first image directory, as
/// tags 100..104 of MetaFormatExif.
///
/// Every method but GetMetaTagName holds the EXIF-library lock for its whole run. The media
/// object calls them while it holds the image-library lock, so that lock nests outside this one;
/// nothing here takes another lock.
class CExifLibSource {
  public:
    /// Loads the file named by the ANSI path of the ImageFileData block `hFileData` (not owned;
    /// only read here). A file without an EXIF block keeps no reader, and every query but the
    /// names then fails with E_FAIL.
    explicit CExifLibSource(HGLOBAL hFileData);
    ~CExifLibSource();
    CExifLibSource(const CExifLibSource&) = delete;
    CExifLibSource& operator=(const CExifLibSource&) = delete;

    bool hasExif() const { return m_reader != nullptr; }

    /// *pnTotalTags receives the number of the five fields present; their tag numbers go to
    /// pnTagList (may be null) in table order while fewer than nRoom were written.
    /// E_INVALIDARG without pnTotalTags, E_FAIL without an EXIF block.
    HRESULT GetMetaTags(int32_t* pnTotalTags, int32_t* pnTagList, int32_t nRoom);
    /// The value in data form: texts as UTF-16 with terminator (*pnDataSize: the reader's byte
    /// length of the ANSI text), 16- and 32-bit numbers, other types as their bytes.
    /// *pnDataSize (optional) is set whenever the tag was found, also when the buffer is too
    /// small, which gives E_FAIL. E_FAIL for an absent tag or a tag outside 100..104.
    HRESULT GetMetaData(int32_t nMetaTag, BYTE* pbData, int32_t nBufSize, int32_t* pnDataSize);
    /// The value as UTF-16 text with terminator (numbers in decimal); nBufSize counts bytes.
    /// E_FAIL for an absent tag, a type other than text or number, or too small a buffer.
    HRESULT GetMetaDataStr(int32_t nMetaTag, WCHAR* pszData, int32_t nBufSize);
    /// The table name of tags 100..104 ("Make", ..., "ImageDescription"); no lock, no reader.
    HRESULT GetMetaTagName(int32_t nMetaTag, WCHAR* pszTagName, int32_t nBufSize);

  private:
    HEXIFREADER m_reader = nullptr;
};

} // namespace mio
