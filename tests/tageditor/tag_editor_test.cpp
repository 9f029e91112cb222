// SPDX-License-Identifier: MIT
// The tag-editor component: creation, argument and state checks, the tag block, staged edits
// and the guarantee that a failed save leaves the file as it was.
#include "tag_editor_test_support.h"

#include <tavrel/platform/text.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>

namespace {

using namespace tageditor_test;
namespace fs = std::filesystem;

constexpr int kId3v1 = TagFamilyId3v1;
constexpr int kId3v2 = TagFamilyId3v2;
constexpr int kVorbis = TagFamilyVorbisComment;
constexpr int kAsf = TagFamilyAsfAttributes;

size_t filesIn(const fs::path& folder)
{
    return static_cast<size_t>(
        std::distance(fs::directory_iterator(folder), fs::directory_iterator()));
}

TEST(TagEditor, CreatedThroughTheClassTableAndRevoked)
{
    EXPECT_EQ(TagEditorRegisterClass(), S_OK);
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(CoCreateInstance(CLSID_TagEditor, nullptr, CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(unknown.GetAddressOf())),
              S_OK);
    ComPtr<ITagEditor> editor;
    EXPECT_EQ(unknown.As(&editor), S_OK);
    // One object edits one file; aggregation is not offered.
    ComPtr<IUnknown> inner;
    EXPECT_EQ(CoCreateInstance(CLSID_TagEditor, unknown.Get(), CLSCTX_ALL, IID_IUnknown,
                               reinterpret_cast<void**>(inner.GetAddressOf())),
              CLASS_E_NOAGGREGATION);
    EXPECT_EQ(TagEditorRevokeClass(), S_OK);
    ComPtr<ITagEditor> none;
    EXPECT_TRUE(FAILED(CoCreateInstance(CLSID_TagEditor, nullptr, CLSCTX_ALL, IID_ITagEditor,
                                        reinterpret_cast<void**>(none.GetAddressOf()))));
    EXPECT_EQ(TagEditorRegisterClass(), S_OK);
}

TEST(TagEditor, OpenChecksArgumentsStateAndContainer)
{
    auto editor = createEditor();
    ASSERT_TRUE(editor);
    TagBlock* block = reinterpret_cast<TagBlock*>(1);
    DWORD families = 7;
    EXPECT_EQ(editor->Open(0, nullptr, &block, &families, 0), E_INVALIDARG);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(families, 0u);
    EXPECT_EQ(editor->Open(0, "x.mp3", nullptr, &families, 0), E_INVALIDARG);
    EXPECT_EQ(editor->Open(0, "x.mp3", &block, nullptr, 0), E_INVALIDARG);

    support::TempDir dir;
    EXPECT_EQ(editor->Open(0, (dir / "missing.mp3").string().c_str(), &block, &families, 0),
              HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(editor->Open(0, dir.path().string().c_str(), &block, &families, 0),
              HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    support::writeFile(dir / "empty.mp3", {});
    EXPECT_EQ(editor->Open(0, (dir / "empty.mp3").string().c_str(), &block, &families, 0), E_FAIL);
    support::writeFile(dir / "text.wma", bytesOf("not a media file at all"));
    EXPECT_EQ(editor->Open(0, (dir / "text.wma").string().c_str(), &block, &families, 0), E_FAIL);
    EXPECT_EQ(block, nullptr);

    // Nothing open: every edit fails, Close succeeds.
    EXPECT_EQ(setTag(editor.Get(), kId3v2, 17, id3Text("x")), E_FAIL);
    EXPECT_EQ(editor->RemoveFamily(kId3v1, 0), E_FAIL);
    EXPECT_EQ(editor->Save(0), E_FAIL);
    EXPECT_EQ(editor->Close(), S_OK);

    MIO_CORPUS_FILE(mp3, "audio/silence-44-s.mp3");
    support::ScopedCopy copy(mp3);
    ASSERT_EQ(editor->Open(0, copy.path().string().c_str(), &block, &families, 0), S_OK);
    ASSERT_NE(block, nullptr);
    TagBlock* second = nullptr;
    EXPECT_EQ(editor->Open(0, copy.path().string().c_str(), &second, &families, 0), E_FAIL);
    EXPECT_EQ(editor->Close(), S_OK);
    EXPECT_EQ(editor->Close(), S_OK);
}

TEST(TagEditor, BlockShowsFamiliesFlagsAndStoredForms)
{
    MIO_CORPUS_FILE(mp3, "audio/silence-44-s.mp3");
    support::ScopedCopy copy(mp3);
    auto opened = openFile(copy.path());
    ASSERT_EQ(opened.hr, S_OK);
    const TagBlock* block = opened.block;
    EXPECT_EQ(opened.families, (1u << 3) | (1u << 4));
    EXPECT_NE(block->familyPresent[3], 0);
    EXPECT_NE(block->familyPresent[4], 0);
    EXPECT_EQ(block->familyPresent[5], 0);
    EXPECT_EQ(block->familyPresent[6], 0);
    EXPECT_EQ(block->familyFlags[3], kTagFamilyWritable | kTagFamilyRemovable);
    EXPECT_EQ(block->familyFlags[4], kTagFamilyWritable | kTagFamilyRemovable);
    EXPECT_EQ(block->familyFlags[5], 0u); // MPEG audio carries no Vorbis comments
    EXPECT_EQ(block->familyFlags[6], 0u);

    // ID3v2: encoding byte then UTF-8; the comment with language and empty description.
    EXPECT_EQ(entryBytes(block, 17), id3Text("Silence"));
    EXPECT_EQ(entryText(block, 30, 1), "piman");
    EXPECT_EQ(entryText(block, 1, 1), "Quod Libet Test Data");
    EXPECT_EQ(entryText(block, 37, 1), "02/10");
    EXPECT_EQ(entryText(block, 4, 1), "Silence");
    // ID3v1: ANSI text, track and genre as single bytes.
    EXPECT_EQ(entryText(block, 110), "Silence");
    EXPECT_EQ(entryText(block, 113), "2004");
    EXPECT_EQ(entryBytes(block, 115), (Bytes{2}));
    const std::string genre = exifTool(copy.path(), "ID3v1:Genre", true);
    if (genre == "255") { // "none"
        EXPECT_LE(block->entries[116].nLength, 0);
    } else if (!genre.empty()) {
        EXPECT_EQ(entryBytes(block, 116), (Bytes{static_cast<uint8_t>(std::stoi(genre))}));
    }
    EXPECT_LE(block->entries[0].nLength, 0);
    EXPECT_LE(block->entries[85].nLength, 0);
}

TEST(TagEditor, SetTagValidatesAndNormalisesValues)
{
    MIO_CORPUS_FILE(mp3, "audio/silence-44-s.mp3");
    support::ScopedCopy copy(mp3);
    auto opened = openFile(copy.path());
    ASSERT_EQ(opened.hr, S_OK);
    ITagEditor* editor = opened.editor.Get();

    EXPECT_EQ(editor->SetTag(17, nullptr, kId3v2, 0, 0, 0), E_INVALIDARG);
    EXPECT_EQ(setTag(editor, kId3v2, 17, {}), E_INVALIDARG);
    EXPECT_EQ(setTag(editor, kId3v2, 85, id3Text("x")), E_INVALIDARG);
    EXPECT_EQ(setTag(editor, kId3v2, 0, id3Text("x")), E_INVALIDARG);
    EXPECT_EQ(setTag(editor, kId3v1, 109, bytesOf("x")), E_INVALIDARG);
    EXPECT_EQ(setTag(editor, 9, 1, bytesOf("x")), E_INVALIDARG);
    EXPECT_EQ(setTag(editor, kId3v2, 17, Bytes{7, 'a'}), E_INVALIDARG);        // no such encoding
    EXPECT_EQ(setTag(editor, kId3v2, 17, Bytes{3, 0xC3, 0x28}), E_INVALIDARG); // bad UTF-8
    EXPECT_EQ(setTag(editor, kId3v1, 113, bytesOf("20x4")), E_INVALIDARG);
    EXPECT_EQ(setTag(editor, kId3v1, 115, Bytes{1, 2}), E_INVALIDARG);
    EXPECT_EQ(setTag(editor, kId3v2, 62, Bytes{0}), E_INVALIDARG); // play counter without a body
    // Families the container does not carry are not writable.
    EXPECT_EQ(setTag(editor, kVorbis, 1, bytesOf("x")), E_FAIL);
    EXPECT_EQ(setTag(editor, kAsf, 1, bytesOf("x")), E_FAIL);
    EXPECT_EQ(opened.block->entries[17].nLength, 8);

    // A terminator in the value is not part of the stored text.
    ASSERT_EQ(setTag(editor, kId3v2, 17, {3, 'S', 'o', 'n', 'g', 0}), S_OK);
    EXPECT_EQ(entryBytes(opened.block, 17), id3Text("Song"));
    // Latin-1 and UTF-16 input are stored as UTF-8.
    ASSERT_EQ(setTag(editor, kId3v2, 30, {0, 'S', 0xE9, 'n'}), S_OK);
    EXPECT_EQ(entryBytes(opened.block, 30), id3Text("S\xC3\xA9n"));
    ASSERT_EQ(setTag(editor, kId3v2, 3, {1, 0xFF, 0xFE, 'A', 0, 0xE9, 0, 0, 0}), S_OK);
    EXPECT_EQ(entryBytes(opened.block, 3), id3Text("A\xC3\xA9"));
    // A comment whose language bytes are not letters gets "eng"; the description is skipped.
    ASSERT_EQ(setTag(editor, kId3v2, kId3v2CommentTag, {3, 0, 0, 0, 0, 'N', 'o', 't', 'e'}), S_OK);
    EXPECT_EQ(entryBytes(opened.block, 50), (Bytes{3, 'e', 'n', 'g', 0, 'N', 'o', 't', 'e'}));
    ASSERT_EQ(setTag(editor, kId3v2, kId3v2CommentTag, {3, 'd', 'e', 'u', 'x', 0, 'H', 'i'}), S_OK);
    EXPECT_EQ(entryBytes(opened.block, 50), (Bytes{3, 'd', 'e', 'u', 0, 'H', 'i'}));
    // An empty text removes the tag.
    ASSERT_EQ(setTag(editor, kId3v1, 111, {0}), S_OK);
    EXPECT_LE(opened.block->entries[111].nLength, 0);
}

TEST(TagEditor, EditsAreStagedUntilSaveAndDroppedByClose)
{
    MIO_CORPUS_FILE(mp3, "audio/silence-44-s.mp3");
    support::ScopedCopy copy(mp3);
    const Bytes original = support::readFile(copy.path());
    {
        auto opened = openFile(copy.path());
        ASSERT_EQ(opened.hr, S_OK);
        ASSERT_EQ(setTag(opened.editor.Get(), kId3v2, 17, id3Text("Staged")), S_OK);
        ASSERT_EQ(opened.editor->RemoveFamily(kId3v1, 0), S_OK);
        EXPECT_EQ(opened.block->familyPresent[3], 0);
        EXPECT_LE(opened.block->entries[110].nLength, 0);
        EXPECT_EQ(opened.block->familyFlags[3], kTagFamilyWritable); // nothing left to remove
        EXPECT_EQ(opened.editor->RemoveFamily(kId3v1, 0), E_FAIL);
        EXPECT_EQ(opened.editor->RemoveFamily(kVorbis, 0), E_FAIL);
        EXPECT_EQ(opened.editor->RemoveFamily(42, 0), E_FAIL);
        EXPECT_EQ(opened.editor->Close(), S_OK);
    }
    EXPECT_EQ(support::readFile(copy.path()), original);
    // Saving without changes leaves the file alone too.
    auto opened = openFile(copy.path());
    ASSERT_EQ(opened.hr, S_OK);
    EXPECT_EQ(opened.editor->Save(0), S_OK);
    EXPECT_EQ(support::readFile(copy.path()), original);
    EXPECT_EQ(entryText(opened.block, 17, 1), "Silence");
}

TEST(TagEditor, SaveRewritesThroughASiblingAndRefreshesTheBlock)
{
    MIO_CORPUS_FILE(mp3, "audio/silence-44-s.mp3");
    support::ScopedCopy copy(mp3);
    fs::permissions(copy.path(), fs::perms(0640));
    auto opened = openFile(copy.path());
    ASSERT_EQ(opened.hr, S_OK);
    ITagEditor* editor = opened.editor.Get();
    // A private frame: lead byte, owner, terminator, data. The byte value round-trips.
    const Bytes priv{0, 'o', 'w', 'n', 'e', 'r', 0, 1, 2, 3};
    ASSERT_EQ(setTag(editor, kId3v2, 61, priv), S_OK);
    ASSERT_EQ(setTag(editor, kId3v2, 17, id3Text("Nuevo t\xC3\xADtulo")), S_OK);
    ASSERT_EQ(editor->RemoveFamily(kId3v1, 0), S_OK);
    const auto sizeBefore = fs::file_size(copy.path());
    ASSERT_EQ(editor->Save(0), S_OK);

    EXPECT_EQ(filesIn(copy.path().parent_path()), 1u); // no temporary file left behind
    EXPECT_EQ(fs::status(copy.path()).permissions() & fs::perms::all, fs::perms(0640));
    EXPECT_EQ(entryBytes(opened.block, 61), priv);
    EXPECT_EQ(entryText(opened.block, 17, 1), "Nuevo t\xC3\xADtulo");
    EXPECT_EQ(opened.block->familyPresent[3], 0);
    EXPECT_LT(fs::file_size(copy.path()), sizeBefore + 200);

    // A second object sees the saved file.
    auto again = openFile(copy.path());
    ASSERT_EQ(again.hr, S_OK);
    EXPECT_EQ(again.families, 1u << 4);
    EXPECT_EQ(entryBytes(again.block, 61), priv);
    EXPECT_EQ(entryText(again.block, 30, 1), "piman"); // untouched frames stay
}

TEST(TagEditor, SaveOfAReplacedFileFailsAndLeavesItAlone)
{
    MIO_CORPUS_FILE(flac, "audio/silence-44-s.flac");
    support::ScopedCopy copy(flac);
    auto opened = openFile(copy.path());
    ASSERT_EQ(opened.hr, S_OK);
    ASSERT_EQ(setTag(opened.editor.Get(), kVorbis, 1, bytesOf("New")), S_OK);
    const Bytes garbage = bytesOf(std::string(4096, 'g'));
    support::writeFile(copy.path(), garbage);
    EXPECT_EQ(opened.editor->Save(0), E_FAIL);
    EXPECT_EQ(support::readFile(copy.path()), garbage);
    EXPECT_EQ(filesIn(copy.path().parent_path()), 1u);
}

TEST(TagEditor, NewId3v1TagHoldsOnlyTheFieldsSet)
{
    MIO_CORPUS_FILE(mp3, "audio/xing.mp3");
    support::ScopedCopy copy(mp3);
    auto opened = openFile(copy.path());
    ASSERT_EQ(opened.hr, S_OK);
    EXPECT_EQ(opened.families, 0u);
    // Absent families of the container can be written, not removed.
    EXPECT_EQ(opened.block->familyFlags[3], kTagFamilyWritable);
    EXPECT_EQ(opened.block->familyFlags[4], kTagFamilyWritable);
    EXPECT_EQ(opened.editor->RemoveFamily(kId3v2, 0), E_FAIL);
    ASSERT_EQ(setTag(opened.editor.Get(), kId3v1, 110, bytesOf("Title")), S_OK);
    ASSERT_EQ(setTag(opened.editor.Get(), kId3v1, 113, bytesOf("2004")), S_OK);
    ASSERT_EQ(opened.editor->Save(0), S_OK);
    ASSERT_EQ(opened.editor->Close(), S_OK);

    auto again = openFile(copy.path());
    ASSERT_EQ(again.hr, S_OK);
    EXPECT_EQ(again.families, 1u << 3);
    std::vector<int> listed;
    for (int tag = 110; tag <= 116; ++tag)
        if (again.block->entries[tag].nLength > 0) listed.push_back(tag);
    EXPECT_EQ(listed, (std::vector<int>{110, 113}));
    EXPECT_EQ(entryText(again.block, 113), "2004");
    EXPECT_EQ(fs::file_size(copy.path()), fs::file_size(mp3) + 128);
}

TEST(TagEditor, SaveThroughASymbolicLinkRewritesTheLinkedFile)
{
    MIO_CORPUS_FILE(flac, "audio/silence-44-s.flac");
    support::ScopedCopy copy(flac);
    support::TempDir links;
    const fs::path link = links / "alias.flac";
    fs::create_symlink(copy.path(), link);
    auto opened = openFile(link);
    ASSERT_EQ(opened.hr, S_OK);
    ASSERT_EQ(setTag(opened.editor.Get(), kVorbis, 1, bytesOf("Linked")), S_OK);
    ASSERT_EQ(opened.editor->Save(0), S_OK);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(filesIn(links.path()), 1u);
    auto target = openFile(copy.path());
    ASSERT_EQ(target.hr, S_OK);
    EXPECT_EQ(entryText(target.block, 1), "Linked");
}

// Each text tag has a frame of its own: values set on all of them come back unchanged, each
// under its own number, from a fresh ID3v2.4 tag and from an ID3v2.3 tag that has to become
// 2.4 to hold the frames 2.3 lacks (TagLib would drop them).
TEST(TagEditor, EveryId3v2TextTagRoundTrips)
{
    for (const char* name : {"audio/xing.mp3", "audio/silence-44-s.mp3"}) {
        SCOPED_TRACE(name);
        MIO_CORPUS_FILE(mp3, name);
        support::ScopedCopy copy(mp3);
        auto opened = openFile(copy.path());
        ASSERT_EQ(opened.hr, S_OK);
        const bool v23 = opened.families & (1u << 4);
        auto valueOf = [](int tag) {
            if (tag == 2 || tag == 21) return std::to_string(100 + tag); // numbers
            if (tag == 84) return std::string("1984");
            return "v" + std::to_string(tag);
        };
        std::vector<int> tags;
        for (int tag = 1; tag <= 46; ++tag)
            tags.push_back(tag);
        tags.push_back(kId3v2CommentTag);
        tags.push_back(84);
        for (int tag : tags) {
            if (v23 && tag == 9) continue; // before 2.4 the recording time is the year (84)
            const Bytes value =
                tag == kId3v2CommentTag ? Bytes{3, 'e', 'n', 'g', 0, 'c'} : id3Text(valueOf(tag));
            ASSERT_EQ(setTag(opened.editor.Get(), kId3v2, tag, value), S_OK) << tag;
        }
        ASSERT_EQ(opened.editor->Save(0), S_OK);
        auto again = openFile(copy.path());
        ASSERT_EQ(again.hr, S_OK);
        if (v23) {
            EXPECT_EQ(entryText(again.block, 9, 1), "1984");
        }
        EXPECT_EQ(exifTool(copy.path(), "ID3v2_4:Mood"), "v24");
        for (int tag : tags) {
            if (v23 && (tag == 9 || tag == 84)) continue; // the year became a recording time
            const std::string expected = tag == kId3v2CommentTag ? "c" : valueOf(tag);
            EXPECT_EQ(entryText(again.block, tag, tag == kId3v2CommentTag ? 5 : 1), expected)
                << tag;
        }
    }
}

// ID3v1 and ASF text is ANSI: in the active code page, both ways.
TEST(TagEditor, AnsiFamiliesFollowTheActiveCodePage)
{
    MIO_CORPUS_FILE(wma, "audio/issue_29.wma");
    support::ScopedCopy copy(wma);
    ASSERT_TRUE(TavrelSetActiveCodePage(1252));
    auto opened = openFile(copy.path());
    const std::string title1252 = entryText(opened.block, 1);
    const HRESULT set = setTag(opened.editor.Get(), kAsf, 13, bytesOf("Caf\xE9"));
    const HRESULT saved = opened.editor->Save(0);
    TavrelSetActiveCodePage(CP_UTF8);
    ASSERT_EQ(opened.hr, S_OK);
    EXPECT_EQ(title1252, "Se\xF1or Flamingos Adieu");
    EXPECT_EQ(set, S_OK);
    EXPECT_EQ(saved, S_OK);
    auto again = openFile(copy.path());
    ASSERT_EQ(again.hr, S_OK);
    EXPECT_EQ(entryText(again.block, 1), "Se\xC3\xB1or Flamingos Adieu");
    EXPECT_EQ(entryText(again.block, 13), "Caf\xC3\xA9");
}

// TagLib's own file stream ignores failed writes and reports the save as done, leaving a cut
// file. Through the component the failure is reported and the original keeps every byte.
TEST(TagEditor, FailedWriteLeavesTheOriginalIntact)
{
    MIO_CORPUS_FILE(mp3, "audio/silence-44-s.mp3");
    support::ScopedCopy copy(mp3);
    const Bytes original = support::readFile(copy.path());
    auto opened = openFile(copy.path());
    ASSERT_EQ(opened.hr, S_OK);
    ASSERT_EQ(setTag(opened.editor.Get(), kId3v2, kId3v2CommentTag,
                     [] {
                         Bytes b{3, 'e', 'n', 'g', 0};
                         b.resize(b.size() + 70000, 'x');
                         return b;
                     }()),
              S_OK);

    struct rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    auto* previous = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = saved;
    limited.rlim_cur = original.size() + 4096; // room for the copy, not for the new tag
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
    const HRESULT hr = opened.editor->Save(0);
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previous);

    EXPECT_EQ(hr, HRESULT_FROM_WIN32(ERROR_FILE_TOO_LARGE));
    EXPECT_EQ(support::readFile(copy.path()), original);
    EXPECT_EQ(filesIn(copy.path().parent_path()), 1u);
    // The staged edit is still there and a later save (with room) succeeds.
    EXPECT_EQ(opened.editor->Save(0), S_OK);
    EXPECT_EQ(entryBytes(opened.block, 50).size(), 5u + 70000u);
}

} // namespace
