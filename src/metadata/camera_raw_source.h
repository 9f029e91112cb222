// SPDX-License-Identifier: MIT
// Shooting data of a camera raw file, served as EXIF tags through the camera-raw library.
#pragma once

#include <contracts/camera_raw_library.h>
#include <tavrel/platform/types.h>

#include <array>
#include <cstdint>

namespace mio {

/// The metadata source of a camera raw media object: nine EXIF tags (make, model, flash,
/// ISO, exposure time, F number, focal length, date taken, orientation) answered from the
/// camera-raw library, plus whether the file holds an embedded preview.
///
/// Not thread-safe: one media object (one thread) uses it.
class CCameraRawSource {
  public:
    /// Opens the file named by the ANSI path of the ImageFileData block `hFileData` (not
    /// owned; only read here). identified() tells whether the library took the file.
    explicit CCameraRawSource(HGLOBAL hFileData);
    ~CCameraRawSource();
    CCameraRawSource(const CCameraRawSource&) = delete;
    CCameraRawSource& operator=(const CCameraRawSource&) = delete;

    bool identified() const { return m_raw != nullptr; }

    /// Counts the tags the file has; writes them in listing order into pnTagList while the
    /// count stays within nRoom entries. E_INVALIDARG without pnTotalTags, E_FAIL without a
    /// library handle.
    HRESULT GetMetaTags(int32_t* pnTotalTags, int32_t* pnTagList, int32_t nRoom);
    /// The tag's value in data form; *pnDataSize (optional) receives its size even when the
    /// buffer is too small.
    HRESULT GetMetaData(int32_t nMetaTag, BYTE* pbData, int32_t nBufSize, int32_t* pnDataSize);
    /// The tag's value as UTF-16 text with terminator; nBufSize counts bytes.
    HRESULT GetMetaDataStr(int32_t nMetaTag, WCHAR* pszData, int32_t nBufSize);
    HRESULT GetMetaTagName(int32_t nMetaTag, WCHAR* pszTagName, int32_t nBufSize);
    /// S_OK when the file holds an embedded preview, S_FALSE when not, E_FAIL without handle.
    HRESULT HasEmbeddedPreview();

  private:
    HGLOBAL m_fileData;
    HDCRAW m_raw = nullptr;
    std::array<char, 260> m_path{};
};

} // namespace mio
