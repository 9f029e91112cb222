// SPDX-License-Identifier: MIT
// The tag editor against ExifTool on copies of the corpus: what it lists agrees with what
// ExifTool reads, and what it saves ExifTool reads back.
#include "tag_editor_test_support.h"

namespace {

using namespace tageditor_test;

struct Expectation {
    int tag;
    size_t lead;             // leading bytes of the stored form
    const char* exifToolTag; // "Group:Tag"
};

struct CorpusCase {
    const char* file;
    DWORD families;
    std::vector<Expectation> tags;
};

const std::vector<CorpusCase>& cases()
{
    static const std::vector<CorpusCase> list = {
        {"audio/silence-44-s-v1.mp3",
         1u << 3,
         {{110, 0, "ID3v1:Title"},
          {111, 0, "ID3v1:Artist"},
          {112, 0, "ID3v1:Album"},
          {113, 0, "ID3v1:Year"}}},
        {"audio/silence-44-s.mp3",
         (1u << 3) | (1u << 4),
         {{17, 1, "ID3v2_3:Title"},
          {30, 1, "ID3v2_3:Artist"},
          {1, 1, "ID3v2_3:Album"},
          {84, 1, "ID3v2_3:Year"},
          {37, 1, "ID3v2_3:Track"}}},
        {"audio/id3v1v2-combined.mp3",
         (1u << 3) | (1u << 4),
         {{17, 1, "ID3v2_4:Title"},
          {30, 1, "ID3v2_4:Artist"},
          {37, 1, "ID3v2_4:Track"},
          {50, 5, "ID3v2_4:Comment"},
          {110, 0, "ID3v1:Title"}}},
        {"audio/id3v22-test.mp3",
         1u << 4,
         {{17, 1, "ID3v2_2:Title"},
          {30, 1, "ID3v2_2:Artist"},
          {1, 1, "ID3v2_2:Album"},
          {84, 1, "ID3v2_2:Year"},
          {50, 5, "ID3v2_2:Comment"}}},
        {"audio/vbri.mp3",
         1u << 4,
         {{17, 1, "ID3v2_3:Title"},
          {30, 1, "ID3v2_3:Artist"},
          {4, 1, "ID3v2_3:Genre"},
          {50, 5, "ID3v2_3:Comment"}}},
        {"audio/with-id3.aif", 1u << 4, {{17, 1, "ID3v2_4:Title"}}},
        {"audio/silence-44-s.flac",
         1u << 5,
         {{1, 0, "Vorbis:Title"},
          {3, 0, "Vorbis:Album"},
          {12, 0, "Vorbis:Date"},
          {11, 0, "Vorbis:Genre"}}},
        {"audio/variable-block.flac",
         1u << 5,
         {{1, 0, "Vorbis:Title"}, {5, 0, "Vorbis:Artist"}, {16, 0, "Vorbis:Comment"}}},
        {"audio/issue_29.wma",
         1u << 6,
         {{1, 0, "ASF:Title"}, {14, 0, "ASF:Author"}, {13, 0, "ASF:AlbumTitle"}}},
        {"audio/real_example.wma",
         1u << 6,
         {{1, 0, "ASF:Title"}, {14, 0, "ASF:Author"}, {7, 0, "ASF:Genre"}}},
        {"audio/silence-1.wma", 1u << 6, {{1, 0, "ASF:Title"}}},
    };
    return list;
}

TEST(TagEditorCorpus, ListedValuesAgreeWithExifTool)
{
    if (!haveExifTool()) GTEST_SKIP() << "exiftool not installed";
    int compared = 0;
    for (const auto& c : cases()) {
        SCOPED_TRACE(c.file);
        const auto path = support::corpusPathOrEmpty(c.file);
        if (path.empty()) continue;
        support::ScopedCopy copy(path);
        auto opened = openFile(copy.path());
        ASSERT_EQ(opened.hr, S_OK);
        EXPECT_EQ(opened.families, c.families);
        for (const auto& e : c.tags) {
            const std::string expected = exifTool(copy.path(), e.exifToolTag);
            ASSERT_FALSE(expected.empty()) << e.exifToolTag;
            EXPECT_EQ(entryText(opened.block, e.tag, e.lead), expected) << e.exifToolTag;
            ++compared;
        }
    }
    if (compared == 0) GTEST_SKIP() << "corpus not available";
}

// Every container type the component knows opens; other media files are refused.
TEST(TagEditorCorpus, OpensKnownContainersAndRefusesOthers)
{
    const std::pair<const char*, HRESULT> files[] = {
        {"audio/example.opus", S_OK},
        {"audio/multipage-setup.ogg", S_OK},
        {"audio/lowercase-fields.ogg", S_OK},
        {"audio/multiple-vc.flac", S_OK},
        {"audio/lossless.wma", S_OK},
        {"video/fixture.wmv", S_OK},
        {"audio/xing.mp3", S_OK},
        {"audio/duplicate_id3v2.mp3", S_OK},
        {"audio/fixture-bad-offset.mp3", S_OK},
        {"audio/has-tags.m4a", E_FAIL},
        {"audio/silence-2s-PCM-44100-16-ID3v23.wav", E_FAIL},
        {"video/fixture.mkv", E_FAIL},
        {"jpeg/flower.jpg", E_FAIL},
        {"broken/emptyfile.mp3", E_FAIL},
        {"broken/silence-1_zeroed_header.wma", E_FAIL},
    };
    int tried = 0;
    for (const auto& [name, expected] : files) {
        SCOPED_TRACE(name);
        const auto path = support::corpusPathOrEmpty(name);
        if (path.empty()) continue;
        auto opened = openFile(path);
        EXPECT_EQ(opened.hr, expected);
        ++tried;
    }
    if (tried == 0) GTEST_SKIP() << "corpus not available";
    // Files cut in half still open or fail cleanly.
    for (const char* name : {"broken/id3v1v2-combined_truncated_half.mp3"}) {
        const auto path = support::corpusPathOrEmpty(name);
        if (path.empty()) continue;
        auto opened = openFile(path);
        EXPECT_TRUE(opened.hr == S_OK || opened.hr == E_FAIL);
    }
}

struct WriteCase {
    const char* file;
    int family;
    int tag;
    Bytes value;
    const char* exifToolTag;
    const char* expected;
};

TEST(TagEditorCorpus, SavedTagsAreReadBackByExifTool)
{
    if (!haveExifTool()) GTEST_SKIP() << "exiftool not installed";
    const std::string title = "Caf\xC3\xA9 t\xC3\xADtulo";
    const std::vector<WriteCase> writes = {
        {"audio/silence-44-s.mp3", TagFamilyId3v2, 17, id3Text(title), "ID3v2_3:Title",
         title.c_str()},
        {"audio/silence-44-s.mp3", TagFamilyId3v2, 84, id3Text("1999"), "ID3v2_3:Year", "1999"},
        {"audio/silence-44-s.mp3",
         TagFamilyId3v2,
         50,
         {3, 'e', 'n', 'g', 0, 'h', 'i'},
         "ID3v2_3:Comment",
         "hi"},
        {"audio/silence-44-s.mp3", TagFamilyId3v1, 110, bytesOf("Short"), "ID3v1:Title", "Short"},
        {"audio/xing.mp3", TagFamilyId3v2, 17, id3Text(title), "ID3v2_4:Title", title.c_str()},
        {"audio/xing.mp3", TagFamilyId3v1, 111, bytesOf("Someone"), "ID3v1:Artist", "Someone"},
        {"audio/id3v1v2-combined.mp3", TagFamilyId3v2, 9, id3Text("2001"), "ID3v2_4:RecordingTime",
         "2001"},
        {"audio/with-id3.aif", TagFamilyId3v2, 30, id3Text("Artist"), "ID3v2_4:Artist", "Artist"},
        {"audio/silence-44-s.flac", TagFamilyVorbisComment, 1, bytesOf(title), "Vorbis:Title",
         title.c_str()},
        {"audio/multipage-setup.ogg", TagFamilyVorbisComment, 5, bytesOf("Singer"), "Vorbis:Artist",
         "Singer"},
        {"audio/example.opus", TagFamilyVorbisComment, 3, bytesOf("Album"), "Vorbis:Album",
         "Album"},
        {"audio/issue_29.wma", TagFamilyAsfAttributes, 1, bytesOf(title), "ASF:Title",
         title.c_str()},
        {"audio/issue_29.wma", TagFamilyAsfAttributes, 13, bytesOf("Disc"), "ASF:AlbumTitle",
         "Disc"},
        {"audio/issue_29.wma", TagFamilyAsfAttributes, 6, bytesOf("9"), "ASF:TrackNumber", "9"},
        {"video/fixture.wmv", TagFamilyAsfAttributes, 14, bytesOf("Maker"), "ASF:Author", "Maker"},
    };
    int written = 0;
    for (const auto& w : writes) {
        SCOPED_TRACE(std::string(w.file) + " " + w.exifToolTag);
        const auto path = support::corpusPathOrEmpty(w.file);
        if (path.empty()) continue;
        support::ScopedCopy copy(path);
        auto opened = openFile(copy.path());
        ASSERT_EQ(opened.hr, S_OK);
        ASSERT_EQ(setTag(opened.editor.Get(), w.family, w.tag, w.value), S_OK);
        ASSERT_EQ(opened.editor->Save(0), S_OK);
        EXPECT_EQ(exifTool(copy.path(), w.exifToolTag), w.expected);
        EXPECT_EQ(entryBytes(opened.block, w.tag), w.value); // refreshed from the saved file
        ++written;
    }
    if (written == 0) GTEST_SKIP() << "corpus not available";
}

TEST(TagEditorCorpus, RemovedFamiliesAreGoneForExifTool)
{
    if (!haveExifTool()) GTEST_SKIP() << "exiftool not installed";
    MIO_CORPUS_FILE(mp3, "audio/silence-44-s.mp3");
    support::ScopedCopy copy(mp3);
    auto opened = openFile(copy.path());
    ASSERT_EQ(opened.hr, S_OK);
    ASSERT_EQ(opened.editor->RemoveFamily(TagFamilyId3v2, 0), S_OK);
    ASSERT_EQ(opened.editor->Save(0), S_OK);
    EXPECT_EQ(exifTool(copy.path(), "ID3v2_3:Title"), "");
    EXPECT_EQ(exifTool(copy.path(), "ID3v1:Title"), "Silence");
    EXPECT_EQ(opened.block->familyPresent[4], 0);

    MIO_CORPUS_FILE(wma, "audio/issue_29.wma");
    support::ScopedCopy wmaCopy(wma);
    auto asf = openFile(wmaCopy.path());
    ASSERT_EQ(asf.hr, S_OK);
    ASSERT_EQ(asf.editor->RemoveFamily(TagFamilyAsfAttributes, 0), S_OK);
    ASSERT_EQ(asf.editor->Save(0), S_OK);
    EXPECT_EQ(exifTool(wmaCopy.path(), "ASF:Title"), "");
    EXPECT_EQ(exifTool(wmaCopy.path(), "ASF:AlbumTitle"), "");
    EXPECT_EQ(asf.block->familyPresent[6], 0);
}

} // namespace
