// SPDX-License-Identifier: MIT
// The tags of video and audio files (ID3v1, ID3v2, Vorbis comments, ASF attributes) served
// through the tag-editor component for the media object.
#pragma once

#include <contracts/tag_editor.h>
#include <contracts/video_library.h>
#include <tavrel/platform/types.h>
#include <tavrel/platform/unknwn.h>

#include <array>
#include <cstdint>

namespace mio {

/// Creates and deletes the process-wide tag-editor lock; the module calls them at load and
/// unload (tests from their main). Until created, the lock is a no-op.
void tagEditorLockInit();
void tagEditorLockFini();

/// Adapts the tag-editor component to the metadata methods for MetaFormat codes 3..6. The
/// component is created and opens the file on first use and stays open until destruction;
/// writes that would not change a value are skipped, and changes reach the file on Commit.
///
/// Every method but GetMetaTagName and Commit holds the tag-editor lock for its whole run,
/// component calls included. The media object calls them while it holds the video-library
/// lock, which therefore nests outside this one.
class CTagEditorSource {
  public:
    /// Takes the ANSI path of `videoInfo` (not owned; read only here).
    explicit CTagEditorSource(const VideoFileInfo& videoInfo);
    ~CTagEditorSource();
    CTagEditorSource(const CTagEditorSource&) = delete;
    CTagEditorSource& operator=(const CTagEditorSource&) = delete;

    /// *pnTotalTags receives the number of tags of the family present in the file (0 when the
    /// family is absent); their numbers go ascending to pnTagList (may be null) while fewer than
    /// nRoom were written. E_INVALIDARG without pnTotalTags; E_FAIL for codes outside 3..6;
    /// the component's failure to be created or to open the file.
    HRESULT GetMetaTags(int32_t nMetaFormat, int32_t* pnTotalTags, int32_t* pnTagList,
                        int32_t nRoom);
    /// The value: text tags as UTF-16 without terminator, byte tags as stored (ID3v2 without its
    /// leading bytes). *pnDataSize (optional) receives the stored byte length of the value; a
    /// buffer smaller than that receives nothing and the result is still S_OK (a size query).
    /// E_FAIL when the family or tag is absent, or when a buffer of the reported size cannot
    /// hold the UTF-16 form of the text.
    HRESULT GetMetaData(int32_t nMetaFormat, int32_t nMetaTag, BYTE* pbData, int32_t nBufSize,
                        int32_t* pnDataSize);
    /// The value as terminated UTF-16 text; byte tags as hexadecimal bytes separated by spaces,
    /// cut to the room of the buffer. E_FAIL when absent or the text does not fit.
    HRESULT GetMetaDataStr(int32_t nMetaFormat, int32_t nMetaTag, WCHAR* pszData, int32_t nBufSize);
    /// Sets a tag in memory: UTF-16 text (up to its first NUL) for text tags, raw bytes for byte
    /// tags; an empty text removes the tag. S_OK without calling the component when the value
    /// is already stored. E_FAIL when the family cannot be written, the size is not positive,
    /// or the tag is outside the family.
    HRESULT SetMetaData(int32_t nMetaFormat, int32_t nMetaTag, const BYTE* pbData,
                        int32_t nDataSize);
    /// Removes every tag of the family in memory; E_FAIL when the family cannot be removed.
    HRESULT RemoveAllMetaData(int32_t nMetaFormat);
    /// The family's name of the tag; no component, no lock. E_FAIL outside the family's range.
    HRESULT GetMetaTagName(int32_t nMetaFormat, int32_t nMetaTag, WCHAR* pszTagName,
                           int32_t nBufSize);
    /// Writes the changes into the file. E_FAIL when nothing was changed or there is no
    /// component; otherwise the component's result.
    HRESULT Commit();

  private:
    HRESULT ensureComponent();
    const TagEntry* entryOf(int32_t nMetaFormat, int32_t nMetaTag) const;

    std::array<char, sizeof(VideoFileInfo::ansiPath)> m_path{};
    ComPtr<ITagEditor> m_editor;
    TagBlock* m_block = nullptr; // the component's, valid while it is open
    HRESULT m_creationFailure = S_OK;
    bool m_modified = false;
};

} // namespace mio
