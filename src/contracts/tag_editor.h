// SPDX-License-Identifier: MIT
// The tag-editor component for audio and video files: its COM interface and the tag block it
// exposes while a file is open.
#pragma once

#include <tavrel/platform/types.h>
#include <tavrel/platform/unknwn.h>

#include <cstddef>
#include <cstdint>

/// Class of the tag-editor component (created with CoCreateInstance, context CLSCTX_ALL).
TAVREL_DEFINE_GUID(CLSID_TagEditor, 0x40fe045b, 0x211a, 0x4ec4, 0x9c, 0x34, 0xac, 0x93, 0x3d, 0xaf,
                   0x9b, 0x98);
/// The component's interface.
TAVREL_DEFINE_GUID(IID_ITagEditor, 0x438de31f, 0x9fbc, 0x4505, 0x88, 0xaa, 0x47, 0x2a, 0x54, 0xab,
                   0x92, 0xb9);

/// Family indices of the component (the engine's MetaFormat code minus 2).
enum TagFamily : int32_t {
    TagFamilyId3v1 = 1,         // MetaFormatId3v1, tags 110..116
    TagFamilyId3v2 = 2,         // MetaFormatId3v2, tags 1..84
    TagFamilyVorbisComment = 3, // MetaFormatVorbisComment, tags 1..16
    TagFamilyAsfAttributes = 4, // MetaFormatAsfAttributes, tags 0..16
};

/// Bits of TagBlock::familyFlags.
inline constexpr uint32_t kTagFamilyWritable = 2;
inline constexpr uint32_t kTagFamilyRemovable = 8;

/// First byte of an ID3v2 text frame value: the frame's text encoding; 3 is UTF-8.
inline constexpr BYTE kId3v2EncodingUtf8 = 3;
/// Bytes in front of the text of an ID3v2 frame: the encoding byte; for the comment frame
/// (tag 50) also the three-letter language and one byte of empty description terminator.
inline constexpr int kId3v2TextLead = 1;
inline constexpr int kId3v2CommentLead = 5;
inline constexpr int kId3v2CommentTag = 50;

/// Highest tag number of any family; the block has one entry for each of 0..116.
inline constexpr int kTagEditorMaxTag = 116;

#pragma pack(push, 4)
/// One tag's value as the component holds it. The 48-byte stride is the component's; an
/// address takes 8 bytes here, so the opaque tail that callers copy unchanged is 36 bytes.
struct TagEntry {
    int32_t nLength;   // bytes of the stored value; 0 or less when the tag is absent
    BYTE* pData;       // the stored bytes, owned by the component
    BYTE reserved[36]; // the component's; copy as is
};

/// The component's view of the open file, read in place by the caller. Indices of
/// familyPresent and familyFlags are MetaFormat codes (family index + 2), those of entries
/// tag numbers (shared by all families; a tag belongs to the family asked about).
struct TagBlock {
    BYTE reserved[252];
    int32_t familyPresent[20]; // non-zero when the file has the family with that code
    uint32_t familyFlags[22];  // kTagFamilyWritable, kTagFamilyRemovable per code
    TagEntry entries[kTagEditorMaxTag + 1];
};
#pragma pack(pop)

static_assert(sizeof(TagEntry) == 48);
static_assert(offsetof(TagEntry, nLength) == 0);
static_assert(offsetof(TagEntry, pData) == 4);
static_assert(offsetof(TagBlock, familyPresent) == 252);
static_assert(offsetof(TagBlock, familyFlags) == 332);
static_assert(offsetof(TagBlock, entries) == 420);
static_assert(sizeof(TagBlock) == 420 + 48 * (kTagEditorMaxTag + 1));

/// The tag-editor component. One object edits one file at a time; it is not safe for
/// concurrent use (callers serialise with their tag-editor lock).
struct ITagEditor : IUnknown {
    /// Opens the file and reads its tags. dwReserved and dwReserved2: pass 0.
    /// pszFileName: ANSI path (active code page).
    /// ppTagBlock: receives the component-owned tag block, valid until Close or the final
    /// Release; null on failure.
    /// pdwFamilies: receives a bit mask of the families present (bit n for MetaFormat code n).
    /// Returns S_OK; E_INVALIDARG for a null path or output; E_FAIL when already open;
    /// HRESULT_FROM_WIN32 of the system error when the file cannot be opened; E_FAIL when the
    /// file is not of a container the component knows.
    STDMETHOD(Open)
    (DWORD dwReserved, LPCSTR pszFileName, TagBlock** ppTagBlock, DWORD* pdwFamilies,
     DWORD dwReserved2) PURE;

    /// Replaces the value of tag nTag of family nFamily (TagFamily) in memory. pEntry is a
    /// copy of the block's entry with nLength and pData replaced by the new value, in the
    /// stored form (for ID3v2 with its leading bytes). The component copies the bytes; the
    /// caller keeps and frees its buffer. On success the block's entry shows the new value.
    /// dwReserved1..3: pass 0.
    /// Returns S_OK; E_INVALIDARG for a null entry, a non-positive length or a tag outside
    /// the family; E_FAIL when not open or the family cannot be written.
    STDMETHOD(SetTag)
    (int32_t nTag, const TagEntry* pEntry, int32_t nFamily, DWORD dwReserved1, DWORD dwReserved2,
     DWORD dwReserved3) PURE;

    /// Removes every tag of family nFamily in memory. dwReserved: pass 0.
    /// Returns S_OK; E_FAIL when not open or the family cannot be removed.
    STDMETHOD(RemoveFamily)(int32_t nFamily, DWORD dwReserved) PURE;

    /// Writes the changes into the file (through a new sibling file renamed over the
    /// original, so a failure leaves the original intact). dwReserved: pass 0.
    /// Returns S_OK, E_FAIL when not open, or the failure of the rewrite.
    STDMETHOD(Save)(DWORD dwReserved) PURE;

    /// Closes the file and releases the tag block; unsaved changes are dropped. S_OK, also
    /// when nothing is open.
    STDMETHOD(Close)() PURE;
};
TAVREL_INTERFACE_ID(ITagEditor, IID_ITagEditor);

/// Adds CLSID_TagEditor to the process's in-process class table (TavrelRegisterInprocClass), so
/// that CoCreateInstance finds it; called once by whoever loads the component's module.
/// Returns the table's result. TagEditorRevokeClass removes the class again.
TAVREL_API HRESULT TagEditorRegisterClass();
TAVREL_API HRESULT TagEditorRevokeClass();
using PFN_TagEditorRegisterClass = decltype(&TagEditorRegisterClass);
using PFN_TagEditorRevokeClass = decltype(&TagEditorRevokeClass);
