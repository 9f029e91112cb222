// SPDX-License-Identifier: MIT
// The tag-editor source over the real tag-editor component, on copies of corpus audio files:
// listing, values, texts, names, edits skipped or committed, and what ExifTool reads back.
#include <contracts/tag_editor.h>
#include <contracts/video_library.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "metadata/tag_editor_source.h"
#include "support/test_support.h"

namespace {

class TagEditorEnvironment : public ::testing::Environment {
  public:
    void SetUp() override
    {
        mio::tagEditorLockInit();
        ASSERT_EQ(TagEditorRegisterClass(), S_OK);
    }
    void TearDown() override
    {
        TagEditorRevokeClass();
        mio::tagEditorLockFini();
    }
};
const auto* const g_environment = ::testing::AddGlobalTestEnvironment(new TagEditorEnvironment);

VideoFileInfo videoRecord(const std::filesystem::path& file)
{
    VideoFileInfo info{};
    info.recordSize = sizeof(VideoFileInfo);
    std::strncpy(info.ansiPath, file.string().c_str(), sizeof(info.ansiPath) - 1);
    return info;
}

// One ExifTool value of the file ("-s3" form), without the line end.
std::string exiftool(const std::filesystem::path& file, const std::string& tag)
{
    std::string out;
    FILE* pipe =
        popen(("exiftool -s3 -" + tag + " '" + file.string() + "' 2>/dev/null").c_str(), "r");
    if (!pipe) return out;
    char chunk[512];
    while (std::fgets(chunk, sizeof chunk, pipe))
        out += chunk;
    pclose(pipe);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

std::vector<int32_t> listTags(mio::CTagEditorSource& source, int32_t code)
{
    int32_t total = -1;
    std::vector<int32_t> tags(128, -1);
    EXPECT_EQ(source.GetMetaTags(code, &total, tags.data(), 128), S_OK);
    tags.resize(total > 0 ? static_cast<size_t>(total) : 0);
    return tags;
}

std::u16string text(mio::CTagEditorSource& source, int32_t code, int32_t tag)
{
    WCHAR buffer[256] = {};
    const HRESULT hr = source.GetMetaDataStr(code, tag, buffer, sizeof buffer);
    return hr == S_OK ? std::u16string(buffer) : u"<failed>";
}

HRESULT setText(mio::CTagEditorSource& source, int32_t code, int32_t tag, std::u16string value)
{
    return source.SetMetaData(code, tag, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<int32_t>((value.size() + 1) * sizeof(char16_t)));
}

std::u16string wide(const std::string& ascii)
{
    return std::u16string(ascii.begin(), ascii.end());
}

TEST(TagEditorSource, NamesComeFromTheFamilyTablesWithoutAComponent)
{
    // A source whose file does not exist still names tags.
    VideoFileInfo info = videoRecord("/nonexistent/file.mp3");
    mio::CTagEditorSource source(info);
    WCHAR name[64];
    const struct {
        int32_t code, tag;
        std::u16string_view name;
    } rows[] = {
        {3, 110, u"Song Title"}, {3, 116, u"Genre"}, {4, 1, u"Album/Movie/Show Title"},
        {4, 50, u"Comments"},    {4, 84, u"Year"},   {5, 8, u"Lincense"},
        {5, 16, u"Comment"},     {6, 0, u"All"},     {6, 16, u"Copyrights"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(source.GetMetaTagName(row.code, row.tag, name, sizeof name), S_OK) << row.tag;
        EXPECT_EQ(std::u16string_view(name), row.name);
    }
    for (auto [code, tag] : {std::pair{4, 85}, {4, 0}, {6, 17}, {3, 109}, {5, 0}, {7, 0}, {2, 1}})
        EXPECT_EQ(source.GetMetaTagName(code, tag, name, sizeof name), E_FAIL)
            << code << '/' << tag;
    EXPECT_EQ(source.GetMetaTagName(6, 0, name, 6), E_FAIL); // "All" needs 8 bytes
}

TEST(TagEditorSource, FailedCreationIsAnsweredAgainWithoutRetrying)
{
    MIO_CORPUS_FILE(original, "audio/silence-44-s.mp3");
    support::TempDir dir;
    const auto path = dir / "later.mp3";
    VideoFileInfo info = videoRecord(path);
    mio::CTagEditorSource source(info);
    int32_t total = -1;
    const HRESULT first = source.GetMetaTags(4, &total, nullptr, 0);
    EXPECT_EQ(first, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND));
    // The file appears, but the source keeps its answer.
    std::filesystem::copy_file(original, path);
    EXPECT_EQ(source.GetMetaTags(4, &total, nullptr, 0), first);
    BYTE data[8];
    EXPECT_EQ(source.GetMetaData(4, 17, data, sizeof data, nullptr), first);
    EXPECT_EQ(setText(source, 4, 17, u"x"), first);
    EXPECT_EQ(source.RemoveAllMetaData(4), first);
    EXPECT_EQ(source.Commit(), E_FAIL);
    // Codes the source does not serve are refused before the component is involved.
    EXPECT_EQ(source.GetMetaTags(7, &total, nullptr, 0), E_FAIL);
    EXPECT_EQ(source.GetMetaTags(4, nullptr, nullptr, 0), E_INVALIDARG);
}

TEST(TagEditorSource, Id3v1FieldsAgreeWithExiftool)
{
    MIO_CORPUS_FILE(file, "audio/silence-44-s-v1.mp3");
    VideoFileInfo info = videoRecord(file);
    mio::CTagEditorSource source(info);
    EXPECT_EQ(listTags(source, 3), (std::vector<int32_t>{110, 111, 112, 113, 115, 116}));
    EXPECT_EQ(listTags(source, 4), std::vector<int32_t>{}); // family absent: S_OK, none
    EXPECT_EQ(text(source, 3, 110), wide(exiftool(file, "ID3v1:Title")));
    EXPECT_EQ(text(source, 3, 111), wide(exiftool(file, "ID3v1:Artist")));
    EXPECT_EQ(text(source, 3, 112), wide(exiftool(file, "ID3v1:Album")));
    EXPECT_EQ(text(source, 3, 113), wide(exiftool(file, "ID3v1:Year")));
    EXPECT_EQ(text(source, 3, 114), u"<failed>");
    // Track and genre are byte values: hexadecimal bytes.
    char track[8];
    std::snprintf(track, sizeof track, "%02X", std::stoi(exiftool(file, "ID3v1:Track")));
    EXPECT_EQ(text(source, 3, 115), wide(track));
    EXPECT_EQ(text(source, 3, 116), u"32"); // genre 50, Darkwave
    EXPECT_EQ(exiftool(file, "ID3v1:Genre"), "Darkwave");
}

class TagEditorSourceMp3 : public ::testing::Test {
  protected:
    void SetUp() override
    {
        MIO_CORPUS_FILE(original, "audio/silence-44-s.mp3");
        m_copy = std::make_unique<support::ScopedCopy>(original);
        m_info = videoRecord(m_copy->path());
        m_source = std::make_unique<mio::CTagEditorSource>(m_info);
    }
    const std::filesystem::path& path() const { return m_copy->path(); }

    std::unique_ptr<support::ScopedCopy> m_copy;
    VideoFileInfo m_info{};
    std::unique_ptr<mio::CTagEditorSource> m_source;
};

TEST_F(TagEditorSourceMp3, TextValuesSkipTheEncodingByteAndAnswerSizeQueries)
{
    const std::vector<int32_t> tags = listTags(*m_source, 4);
    EXPECT_NE(std::find(tags.begin(), tags.end(), 17), tags.end());
    EXPECT_EQ(text(*m_source, 4, 17), wide(exiftool(path(), "ID3v2_3:Title")));
    EXPECT_EQ(text(*m_source, 4, 1), wide(exiftool(path(), "ID3v2_3:Album")));

    // "Silence" is stored as the encoding byte and 7 bytes.
    BYTE data[32];
    std::memset(data, 0xEE, sizeof data);
    int32_t size = -1;
    EXPECT_EQ(m_source->GetMetaData(4, 17, data, 2, &size), S_OK);
    EXPECT_EQ(size, 7);
    EXPECT_EQ(data[0], 0xEE);
    EXPECT_EQ(m_source->GetMetaData(4, 17, data, 14, &size), S_OK);
    EXPECT_EQ(std::u16string_view(reinterpret_cast<const char16_t*>(data), 7), u"Silence");
    EXPECT_EQ(data[14], 0xEE); // no terminator added
    // Big enough by the reported size but not for UTF-16: refused.
    EXPECT_EQ(m_source->GetMetaData(4, 17, data, 7, &size), E_FAIL);
    EXPECT_EQ(size, 7);
    // The text needs its terminator in the string form.
    WCHAR buffer[8];
    EXPECT_EQ(m_source->GetMetaDataStr(4, 17, buffer, 14), E_FAIL);
    EXPECT_EQ(m_source->GetMetaDataStr(4, 17, buffer, 16), S_OK);
    EXPECT_EQ(std::u16string(buffer), u"Silence");
    EXPECT_EQ(m_source->GetMetaData(4, 2, data, sizeof data, &size), E_FAIL); // absent
}

TEST_F(TagEditorSourceMp3, UnchangedValueIsNotWrittenAndLeavesNothingToCommit)
{
    EXPECT_EQ(setText(*m_source, 4, 17, u"Silence"), S_OK);
    EXPECT_EQ(m_source->Commit(), E_FAIL);
    // A value that only begins like the stored one is a change.
    EXPECT_EQ(setText(*m_source, 4, 17, u"Silence!"), S_OK);
    EXPECT_EQ(text(*m_source, 4, 17), u"Silence!");
    EXPECT_EQ(m_source->Commit(), S_OK);
    EXPECT_EQ(exiftool(path(), "ID3v2_3:Title"), "Silence!");
}

TEST_F(TagEditorSourceMp3, EditsReachTheFileAsExiftoolReadsThem)
{
    const std::u16string title = u"Sch\u00f6ne Gr\u00fc\u00dfe \u65e5\u672c\u8a9e";
    EXPECT_EQ(setText(*m_source, 4, 17, title), S_OK);
    EXPECT_EQ(setText(*m_source, 4, 50, u"A comment"), S_OK);
    EXPECT_EQ(text(*m_source, 4, 50), u"A comment");
    // A byte frame: the play counter's body, placed after the lead byte.
    const BYTE counter[] = {0, 0, 1, 2};
    EXPECT_EQ(m_source->SetMetaData(4, 62, counter, sizeof counter), S_OK);
    BYTE data[8] = {};
    int32_t size = -1;
    EXPECT_EQ(m_source->GetMetaData(4, 62, data, sizeof data, &size), S_OK);
    EXPECT_EQ(size, 4);
    EXPECT_EQ(std::memcmp(data, counter, 4), 0);
    EXPECT_EQ(text(*m_source, 4, 62), u"00 00 01 02");
    WCHAR hex[6];
    EXPECT_EQ(m_source->GetMetaDataStr(4, 62, hex, 8), S_OK); // room for "00" only
    EXPECT_EQ(std::u16string(hex), u"00");
    EXPECT_EQ(m_source->SetMetaData(4, 62, counter, 0), E_FAIL);

    EXPECT_EQ(m_source->Commit(), S_OK);
    EXPECT_EQ(m_source->Commit(), S_OK); // the modified flag stays set
    EXPECT_EQ(exiftool(path(), "ID3v2_3:Title"), "Sch\xc3\xb6ne Gr\xc3\xbc\xc3\x9f"
                                                 "e \xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e");
    EXPECT_EQ(exiftool(path(), "ID3:Comment"), "A comment");
    EXPECT_EQ(exiftool(path(), "ID3:PlayCounter"), "258");

    // A new source on the saved file sees the same values.
    mio::CTagEditorSource again(m_info);
    EXPECT_EQ(text(again, 4, 17), title);
    EXPECT_EQ(text(again, 4, 62), u"00 00 01 02");
}

TEST_F(TagEditorSourceMp3, EmptyTextRemovesOneTagAndRemoveAllEmptiesTheFamily)
{
    EXPECT_EQ(setText(*m_source, 4, 17, u""), S_OK);
    EXPECT_EQ(text(*m_source, 4, 17), u"<failed>");
    EXPECT_EQ(m_source->RemoveAllMetaData(3), S_OK);
    EXPECT_EQ(listTags(*m_source, 3), std::vector<int32_t>{});
    EXPECT_EQ(m_source->Commit(), S_OK);
    EXPECT_EQ(exiftool(path(), "ID3v2_3:Title"), "");
    EXPECT_EQ(exiftool(path(), "ID3v2_3:Album"), "Quod Libet Test Data");
    EXPECT_EQ(exiftool(path(), "ID3v1:Title"), "");
    EXPECT_EQ(m_source->RemoveAllMetaData(7), E_FAIL);
}

TEST(TagEditorSource, FamiliesThatCannotBeWrittenAreRefused)
{
    MIO_CORPUS_FILE(original, "audio/silence-44-s.flac");
    support::ScopedCopy copy(original);
    const auto before = support::readFile(copy.path());
    {
        VideoFileInfo info = videoRecord(copy.path());
        mio::CTagEditorSource source(info);
        EXPECT_EQ(setText(source, 3, 110, u"x"), E_FAIL); // FLAC carries no ID3v1
        const BYTE genre = 1;
        EXPECT_EQ(source.SetMetaData(3, 116, &genre, 1), E_FAIL);
        EXPECT_EQ(source.RemoveAllMetaData(6), E_FAIL);
        EXPECT_EQ(setText(source, 5, 17, u"x"), E_FAIL); // outside the family
        EXPECT_EQ(source.Commit(), E_FAIL);
    }
    EXPECT_EQ(support::readFile(copy.path()), before);
}

TEST(TagEditorSource, VorbisCommentsAreEditedAndSaved)
{
    MIO_CORPUS_FILE(original, "audio/silence-44-s.flac");
    support::ScopedCopy copy(original);
    VideoFileInfo info = videoRecord(copy.path());
    mio::CTagEditorSource source(info);
    EXPECT_EQ(text(source, 5, 1), wide(exiftool(copy.path(), "Vorbis:Title")));
    EXPECT_EQ(text(source, 5, 12), wide(exiftool(copy.path(), "Vorbis:Date")));
    // Five CJK characters: 12 bytes of UTF-16 with terminator, 15 bytes of UTF-8.
    EXPECT_EQ(setText(source, 5, 1, u"\u65e5\u672c\u8a9e\u306e\u6b4c"), S_OK);
    EXPECT_EQ(setText(source, 5, 7, u"\u00a9 \u00e9t\u00e9"), S_OK);
    EXPECT_EQ(source.Commit(), S_OK);
    EXPECT_EQ(exiftool(copy.path(), "Vorbis:Title"),
              "\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e\xe3\x81\xae\xe6\xad\x8c");
    EXPECT_EQ(exiftool(copy.path(), "Vorbis:Copyright"), "\xc2\xa9 \xc3\xa9t\xc3\xa9");
}

TEST(TagEditorSource, AsfAttributesInTheAnsiCodePage)
{
    MIO_CORPUS_FILE(original, "audio/issue_29.wma");
    support::ScopedCopy copy(original);
    VideoFileInfo info = videoRecord(copy.path());
    mio::CTagEditorSource source(info);
    const std::vector<int32_t> tags = listTags(source, 6);
    EXPECT_NE(std::find(tags.begin(), tags.end(), 1), tags.end());
    EXPECT_EQ(text(source, 6, 1), u"Se\u00f1or Flamingos Adieu");
    EXPECT_EQ(exiftool(copy.path(), "ASF:Title"), "Se\xc3\xb1or Flamingos Adieu");
    EXPECT_EQ(text(source, 6, 14), wide(exiftool(copy.path(), "ASF:Author")));
    EXPECT_EQ(setText(source, 6, 13, u"Live at Vega \u00e0 Oslo"), S_OK);
    EXPECT_EQ(source.Commit(), S_OK);
    EXPECT_EQ(exiftool(copy.path(), "ASF:AlbumTitle"), "Live at Vega \xc3\xa0 Oslo");
}

TEST(TagEditorSource, Id3v22YearIsTag84)
{
    MIO_CORPUS_FILE(file, "audio/id3v22-test.mp3");
    VideoFileInfo info = videoRecord(file);
    mio::CTagEditorSource source(info);
    EXPECT_EQ(text(source, 4, 84), wide(exiftool(file, "ID3v2_2:Year")));
    EXPECT_EQ(text(source, 4, 17), u"cosmic american");
    EXPECT_EQ(text(source, 4, 50), u"Waterbug Records, www.anaismitchell.com");
}

} // namespace
