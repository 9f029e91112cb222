// SPDX-License-Identifier: MIT
// Lists metadata through GetMetaTags, GetMetaTagName and GetMetaDataStr, and the `meta` command.
#include "metadata.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "commands.h"
#include "engine.h"

namespace mediaio {

namespace {

constexpr struct {
    int32_t code;
    const char* key;
} kMetaFormats[] = {{MetaFormatExif, "exif"},        {MetaFormatIptc, "iptc"},
                    {MetaFormatXmp, "xmp"},          {MetaFormatId3v1, "id3v1"},
                    {MetaFormatId3v2, "id3v2"},      {MetaFormatVorbisComment, "vorbis"},
                    {MetaFormatAsfAttributes, "asf"}};

// Tag lists longer than this are cut; no real block comes near it.
constexpr int32_t kMaxTags = 4096;

std::vector<int32_t> listTags(IMediaFileIO* file, int32_t format)
{
    std::vector<int32_t> list(kMaxTags);
    int32_t total = 0;
    if (FAILED(file->GetMetaTags(format, &total, list.data(), kMaxTags)) || total <= 0) return {};
    list.resize(static_cast<size_t>(total < kMaxTags ? total : kMaxTags));
    return list;
}

} // namespace

int32_t metaFormatOf(const std::string& key)
{
    for (const auto& format : kMetaFormats)
        if (key == format.key) return format.code;
    return 0;
}

const char* metaFormatKeys()
{
    return "exif|iptc|xmp|id3v1|id3v2|vorbis|asf";
}

std::optional<std::string> metaText(IMediaFileIO* file, int32_t format, int32_t tag, HRESULT& hr)
{
    // Most values fit the first buffer; long comments and XMP texts get a second, larger one.
    for (size_t chars : {size_t{4096}, size_t{65536}}) {
        std::u16string buffer(chars, u'\0');
        hr = file->GetMetaDataStr(format, tag, buffer.data(), static_cast<int32_t>(chars * 2));
        if (SUCCEEDED(hr)) {
            buffer.back() = u'\0';
            return narrow(buffer.c_str());
        }
        if (hr != E_INVALIDARG) break;
    }
    return std::nullopt;
}

std::vector<MetaBlock> collectMetadata(IMediaFileIO* file, int32_t onlyFormat)
{
    std::vector<MetaBlock> blocks;
    for (const auto& format : kMetaFormats) {
        if (onlyFormat && format.code != onlyFormat) continue;
        const auto tags = listTags(file, format.code);
        if (tags.empty()) continue;
        MetaBlock block{format.key, format.code, {}};
        for (const int32_t number : tags) {
            MetaTag tag;
            tag.tag = number;
            tag.name = readText([&](WCHAR* s, int32_t n) {
                return file->GetMetaTagName(format.code, number, s, n);
            });
            HRESULT hr = S_OK;
            tag.value = metaText(file, format.code, number, hr);
            block.tags.push_back(std::move(tag));
        }
        blocks.push_back(std::move(block));
    }
    return blocks;
}

namespace {

constexpr const char* kMetaUsage =
    "usage: mediaio meta list FILE... [--block exif|iptc|xmp|id3v1|id3v2|vorbis|asf] [-r]\n"
    "       mediaio meta get FILE... --block BLOCK --tag N|NAME [-r]\n"
    "       mediaio meta set FILE... --block BLOCK --tag N|NAME --value TEXT [-r]\n"
    "       mediaio meta set FILE... [--rating R] [--caption TEXT] [--keywords A,B,...]\n"
    "                                [--artist TEXT] [--album TEXT] [-r]\n"
    "       mediaio meta remove FILE... --block BLOCK [--tag N|NAME] [-r]\n"
    "  list     every tag of every block the file has (or of one block): number, name, text\n"
    "  get      the text of one tag, by catalogue number or by its name; with several files\n"
    "           each line is FILE, a tab and the text\n"
    "  set      writes one tag's text, or the shortcuts: --rating (stars 0 to 5),\n"
    "           --caption (title), --keywords (comma separated; replaces the list),\n"
    "           --artist and --album (audio and video files; every tag family the file\n"
    "           has, else the first one the engine accepts)\n"
    "  remove   removes the whole block, or with --tag clears that tag (an empty value)\n"
    "  --block B    exif, iptc, xmp, id3v1, id3v2, vorbis or asf\n"
    "  --tag T      a tag number, or its name as list shows it (an exact match first, then\n"
    "               one in any case)\n"
    "  --value V    the new text (UTF-8)\n"
    "  -r, --recursive  descend into folders\n"
    "  A tag whose value the engine cannot show as text is listed as n/a. Changes are written\n"
    "  to each file only when all of them were accepted; a refused change leaves the file as\n"
    "  it was and the error line gives the engine's answer.\n";

int usageError(const std::string& why)
{
    std::fprintf(stderr, "mediaio meta: %s\n%s", why.c_str(), kMetaUsage);
    return kExitUsage;
}

// Tag numbers the catalogues use lie below this; names are looked up among them.
constexpr int32_t kTagNumbersToSearch = 256;

std::optional<int32_t> parseTagNumber(const std::string& text)
{
    if (text.empty() || text.size() > 10) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(text.c_str(), &end, 10);
    if (*end || errno || number < 0 || number > 0x7FFFFFFF) return std::nullopt;
    return static_cast<int32_t>(number);
}

bool equalsIgnoringCase(const std::string& a, const std::string& b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) ==
                      std::tolower(static_cast<unsigned char>(y));
           });
}

// A tag by number, or by the name the engine gives it: the tags the file holds first, then
// every number the catalogues use; an exact name wins over one that differs only in case.
std::optional<int32_t> resolveTag(IMediaFileIO* file, int32_t format, const std::string& text)
{
    if (auto number = parseTagNumber(text)) return number;
    std::vector<int32_t> candidates = listTags(file, format);
    for (int32_t n = 0; n < kTagNumbersToSearch; ++n)
        candidates.push_back(n);
    std::vector<std::pair<int32_t, std::string>> names;
    for (const int32_t n : candidates) {
        names.emplace_back(n, readText([&](WCHAR* s, int32_t size) {
                               return file->GetMetaTagName(format, n, s, size);
                           }));
        if (names.back().second == text) return n;
    }
    for (const auto& [n, name] : names)
        if (!name.empty() && equalsIgnoringCase(name, text)) return n;
    return std::nullopt;
}

// UTF-16 of a UTF-8 value; false when it is not valid UTF-8.
bool widenStrict(const std::string& utf8, std::u16string& out)
{
    out.clear();
    if (utf8.empty()) return true;
    if (utf8.size() > 0x3FFFFFFF) return false;
    const int size = static_cast<int>(utf8.size());
    const int length =
        MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, nullptr, 0);
    if (length <= 0) return false;
    out.assign(static_cast<size_t>(length), u'\0');
    return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), size, out.data(),
                               length) == length;
}

int32_t byteSize(const std::u16string& text)
{
    return static_cast<int32_t>((text.size() + 1) * sizeof(char16_t));
}

// The keyword list as the engine takes it: each text ended by a NUL, then one more NUL.
std::u16string keywordList(const std::vector<std::u16string>& words)
{
    std::u16string list;
    for (const auto& word : words) {
        list += word;
        list += u'\0';
    }
    return list; // the final NUL is the string's own terminator, counted by byteSize
}

std::vector<std::string> splitKeywords(const std::string& text)
{
    std::vector<std::string> words;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        std::string word = text.substr(start, comma - start);
        const auto first = word.find_first_not_of(" \t");
        const auto last = word.find_last_not_of(" \t");
        word = first == std::string::npos ? std::string() : word.substr(first, last - first + 1);
        if (!word.empty()) words.push_back(word);
        start = comma + 1;
    }
    return words;
}

std::vector<std::string> readKeywords(IMediaFileIO* file)
{
    std::u16string buffer(8192, u'\0');
    int32_t bytes = 0;
    std::vector<std::string> words;
    if (FAILED(file->GetSubjectTags(buffer.data(), 16384, &bytes)) || bytes <= 0) return words;
    const size_t chars = std::min<size_t>(static_cast<size_t>(bytes) / 2, buffer.size());
    size_t start = 0;
    for (size_t i = 0; i <= chars; ++i) {
        if (i == chars || buffer[i] == u'\0') {
            if (i > start) words.push_back(narrow(buffer.substr(start, i - start).c_str()));
            start = i + 1;
        }
    }
    return words;
}

bool isImageObject(IMediaFileIO* file)
{
    ComPtr<IMediaFile> image;
    return SUCCEEDED(
        file->QueryInterface(IID_IMediaFile, reinterpret_cast<void**>(image.GetAddressOf())));
}

// Where the audio and video shortcuts live in each tag family, in the order the engine reads
// them back (caption, artist and album readers).
struct FamilyTag {
    int32_t format;
    int32_t tag;
};
constexpr FamilyTag kTitleTags[] = {{MetaFormatId3v2, 17},
                                    {MetaFormatId3v1, 110},
                                    {MetaFormatVorbisComment, 1},
                                    {MetaFormatAsfAttributes, 1}};
constexpr FamilyTag kArtistTags[] = {{MetaFormatId3v2, 30},
                                     {MetaFormatId3v1, 111},
                                     {MetaFormatVorbisComment, 5},
                                     {MetaFormatAsfAttributes, 14}};
constexpr FamilyTag kAlbumTags[] = {{MetaFormatId3v2, 1},
                                    {MetaFormatId3v1, 112},
                                    {MetaFormatVorbisComment, 3},
                                    {MetaFormatAsfAttributes, 13}};

HRESULT setText(IMediaFileIO* file, int32_t format, int32_t tag, const std::u16string& value)
{
    return file->SetMetaData(format, tag, reinterpret_cast<const BYTE*>(value.c_str()),
                             byteSize(value));
}

bool tagHolds(IMediaFileIO* file, int32_t format, int32_t tag, const std::string& value)
{
    HRESULT hr = S_OK;
    const auto text = metaText(file, format, tag, hr);
    return text ? *text == value : value.empty();
}

// The families of `tags` that the file holds tags of.
std::vector<FamilyTag> presentFamilies(IMediaFileIO* file, const FamilyTag* tags, size_t count)
{
    std::vector<FamilyTag> present;
    for (size_t i = 0; i < count; ++i)
        if (!listTags(file, tags[i].format).empty()) present.push_back(tags[i]);
    return present;
}

// Every family the file has gets the value; a file with none gets it in the first family the
// engine accepts.
HRESULT setInFamilies(IMediaFileIO* file, const FamilyTag* tags, size_t count,
                      const std::u16string& value)
{
    const auto present = presentFamilies(file, tags, count);
    if (!present.empty()) {
        for (const auto& family : present)
            if (const HRESULT hr = setText(file, family.format, family.tag, value); FAILED(hr))
                return hr;
        return S_OK;
    }
    HRESULT last = E_FAIL;
    for (size_t i = 0; i < count; ++i) {
        last = setText(file, tags[i].format, tags[i].tag, value);
        if (SUCCEEDED(last)) return last;
    }
    return last;
}

bool familiesHold(IMediaFileIO* file, const FamilyTag* tags, size_t count, const std::string& value)
{
    const auto present = presentFamilies(file, tags, count);
    if (present.empty()) return false;
    for (const auto& family : present)
        if (!tagHolds(file, family.format, family.tag, value)) return false;
    return true;
}

// One change to a file: what it is (for error lines), how to stage it, and whether the file
// already holds it (then nothing is staged).
struct Change {
    std::string what;
    std::function<HRESULT()> apply;
    std::function<bool()> holds;
};

// The bytes of a file kept before the engine may touch it, to be put back should the change
// fail. The image object re-encodes a JPEG without XMP (adding padding) before it writes, so a
// commit that then fails (a value too large for the padding) would leave a rewritten file.
class FileGuard {
  public:
    static constexpr uintmax_t kMaxBytes = 256ull * 1024 * 1024;

    void arm(const std::string& path)
    {
        std::error_code ec;
        const auto real = std::filesystem::canonical(path, ec);
        if (ec) return;
        struct stat info {};
        if (stat(real.c_str(), &info) != 0 || !S_ISREG(info.st_mode) ||
            static_cast<uintmax_t>(info.st_size) > kMaxBytes)
            return;
        std::ifstream in(real, std::ios::binary);
        std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) return;
        m_path = real.string();
        m_mode = info.st_mode & 07777;
        m_bytes = std::move(bytes);
        m_armed = true;
    }

    // Puts the kept bytes back when the file no longer holds them: true when it did so.
    bool restoreIfChanged(std::string& error)
    {
        if (!m_armed) return false;
        std::ifstream in(m_path, std::ios::binary);
        const std::vector<char> now((std::istreambuf_iterator<char>(in)),
                                    std::istreambuf_iterator<char>());
        if (in.is_open() && now == m_bytes) return false;
        // Written beside the file and renamed over it, so the file is whole at every moment.
        std::string temp = m_path + ".mediaio-XXXXXX";
        const int fd = mkstemp(temp.data());
        if (fd < 0) {
            error = "the engine changed the file and it could not be restored: " +
                    std::string(std::strerror(errno));
            return false;
        }
        size_t done = 0;
        bool ok = fchmod(fd, m_mode) == 0;
        while (ok && done < m_bytes.size()) {
            const ssize_t n = write(fd, m_bytes.data() + done, m_bytes.size() - done);
            if (n < 0 && errno == EINTR) continue;
            ok = n > 0;
            if (ok) done += static_cast<size_t>(n);
        }
        ok = ok && fsync(fd) == 0;
        const int savedErrno = errno;
        close(fd);
        if (!ok || rename(temp.c_str(), m_path.c_str()) != 0) {
            const int why = ok ? errno : savedErrno;
            unlink(temp.c_str());
            error = "the engine changed the file and it could not be restored: " +
                    std::string(std::strerror(why));
            return false;
        }
        return true;
    }

  private:
    bool m_armed = false;
    std::string m_path;
    mode_t m_mode = 0;
    std::vector<char> m_bytes;
};

struct MetaRequest {
    std::string action;
    int32_t format = 0;
    std::string blockName;
    std::string tagArg;
    std::optional<std::string> value, rating, caption, keywords, artist, album;
    bool recurse = false;
    std::vector<std::string> inputs;
};

// The changes `set` or `remove` asks of one file; empty with `error` set when a tag cannot be
// found.
std::vector<Change> changesFor(IMediaFileIO* file, const MetaRequest& request, std::string& error)
{
    std::vector<Change> changes;
    std::optional<int32_t> tag;
    if (!request.tagArg.empty()) {
        tag = resolveTag(file, request.format, request.tagArg);
        if (!tag) {
            error = "no tag " + request.tagArg + " in the " + request.blockName + " catalogue";
            return {};
        }
    }
    const int32_t format = request.format;
    if (request.action == "remove") {
        if (tag) {
            const int32_t t = *tag;
            changes.push_back({"clear " + request.blockName + " tag " + request.tagArg,
                               [=] { return setText(file, format, t, u""); },
                               [=] { return tagHolds(file, format, t, ""); }});
        } else {
            changes.push_back({"remove the " + request.blockName + " metadata",
                               [=] { return file->RemoveAllMetaData(format); },
                               [=] { return listTags(file, format).empty(); }});
        }
        return changes;
    }
    // Values were checked for UTF-8 when the command line was read.
    auto wide = [](const std::string& text) {
        std::u16string out;
        widenStrict(text, out);
        return out;
    };
    if (tag && request.value) {
        const int32_t t = *tag;
        const std::u16string value = wide(*request.value);
        const std::string expected = *request.value;
        changes.push_back({"set " + request.blockName + " tag " + request.tagArg,
                           [=] { return setText(file, format, t, value); },
                           [=] { return tagHolds(file, format, t, expected); }});
    }
    if (request.rating) {
        const std::u16string value = wide(*request.rating);
        const std::string expected = *request.rating;
        changes.push_back(
            {"set the rating", [=] { return file->SetRating(value.c_str(), byteSize(value)); },
             [=] {
                 return readText([&](WCHAR* s, int32_t n) { return file->GetRating(s, n); }) ==
                        expected;
             }});
    }
    if (request.caption) {
        const std::u16string value = wide(*request.caption);
        const std::string expected = *request.caption;
        const bool image = isImageObject(file);
        changes.push_back(
            {"set the caption",
             [=] {
                 // Audio and video objects keep their caption in the title of each family.
                 const HRESULT hr = file->SetCaption(value.c_str(), byteSize(value));
                 if (SUCCEEDED(hr) || image) return hr;
                 return setInFamilies(file, kTitleTags, std::size(kTitleTags), value);
             },
             [=] {
                 if (!image) return familiesHold(file, kTitleTags, std::size(kTitleTags), expected);
                 return readText([&](WCHAR* s, int32_t n) { return file->GetCaption(s, n); }) ==
                        expected;
             }});
    }
    if (request.keywords) {
        const auto words = splitKeywords(*request.keywords);
        std::vector<std::u16string> wideWords;
        for (const auto& word : words)
            wideWords.push_back(wide(word));
        const std::u16string list = keywordList(wideWords);
        changes.push_back({"set the keywords",
                           [=] { return file->SetSubjectTags(list.c_str(), byteSize(list)); },
                           [=] { return readKeywords(file) == words; }});
    }
    if (request.artist) {
        const std::u16string value = wide(*request.artist);
        const std::string expected = *request.artist;
        changes.push_back(
            {"set the artist",
             [=] { return setInFamilies(file, kArtistTags, std::size(kArtistTags), value); },
             [=] { return familiesHold(file, kArtistTags, std::size(kArtistTags), expected); }});
    }
    if (request.album) {
        const std::u16string value = wide(*request.album);
        const std::string expected = *request.album;
        changes.push_back(
            {"set the album",
             [=] { return setInFamilies(file, kAlbumTags, std::size(kAlbumTags), value); },
             [=] { return familiesHold(file, kAlbumTags, std::size(kAlbumTags), expected); }});
    }
    return changes;
}

// Stages every change, commits them together and, on any failure, leaves the file as it was.
bool editFile(Engine& engine, const std::string& path, const MetaRequest& request,
              std::string& error)
{
    ComPtr<IMediaFileIO> file;
    if (FAILED(engine.parse(path, file, error))) return false;
    const auto changes = changesFor(file.Get(), request, error);
    if (changes.empty()) return false;
    if (std::all_of(changes.begin(), changes.end(), [](const Change& c) { return c.holds(); }))
        return true; // nothing to write; committing nothing would be refused
    // Only a JPEG without an XMP block is rewritten before a change is known to succeed; with
    // a block the engine writes in place and puts the segment back itself, so large files are
    // not copied into memory for nothing.
    FileGuard guard;
    int32_t xmpTags = 0;
    if (isImageObject(file.Get()) && FAILED(file->GetMetaTags(7, &xmpTags, nullptr, 0)))
        guard.arm(path);
    for (const auto& change : changes) {
        const HRESULT hr = change.apply();
        if (FAILED(hr)) {
            error = "cannot " + change.what + " (" + engine.describeFailure(hr) + ")";
            break;
        }
    }
    if (error.empty()) {
        const HRESULT hr = file->UpdateMetaDataToFile();
        if (FAILED(hr))
            error = "cannot write the changes to the file (" + engine.describeFailure(hr) + ")";
    }
    file.Reset(); // closes the file before any restore
    if (error.empty()) return true;
    std::string restoreError;
    if (guard.restoreIfChanged(restoreError))
        error += "; the file was put back as it was";
    else if (!restoreError.empty())
        error += "; " + restoreError;
    return false;
}

bool needsValue(const std::string& arg)
{
    static const char* const kWithValue[] = {"--block",   "--tag",      "--value",  "--rating",
                                             "--caption", "--keywords", "--artist", "--album"};
    for (const char* option : kWithValue)
        if (arg == option) return true;
    return false;
}

} // namespace

int runMeta(const GlobalOptions& global, const std::vector<std::string>& args)
{
    if (args.empty()) return usageError("list, get, set or remove?");
    if (args[0] == "-h" || args[0] == "--help") {
        std::fputs(kMetaUsage, stdout);
        return kExitOk;
    }
    MetaRequest request;
    request.action = args[0];
    const std::string& action = request.action;
    if (action != "list" && action != "get" && action != "set" && action != "remove")
        return usageError("unknown action " + action);
    const bool writes = action == "set" || action == "remove";
    bool optionsEnded = false;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            request.inputs.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            std::fputs(kMetaUsage, stdout);
            return kExitOk;
        }
        if (arg == "-r" || arg == "--recursive") {
            request.recurse = true;
            continue;
        }
        if (!needsValue(arg)) return usageError("unknown option " + arg);
        if (i + 1 >= args.size()) return usageError(arg + " needs a value");
        const std::string& value = args[++i];
        if (arg == "--block") {
            if (!(request.format = metaFormatOf(value)))
                return usageError(std::string("--block needs one of ") + metaFormatKeys());
            request.blockName = value;
        } else if (arg == "--tag") {
            if (value.empty()) return usageError("--tag needs N or NAME");
            request.tagArg = value;
        } else {
            std::u16string unused;
            if (!widenStrict(value, unused)) return usageError(arg + " needs UTF-8 text");
            if (arg == "--value") request.value = value;
            if (arg == "--rating") request.rating = value;
            if (arg == "--caption") request.caption = value;
            if (arg == "--keywords") request.keywords = value;
            if (arg == "--artist") request.artist = value;
            if (arg == "--album") request.album = value;
        }
    }
    const bool shortcuts =
        request.rating || request.caption || request.keywords || request.artist || request.album;
    if (request.inputs.empty()) return usageError("FILE is required");
    if (action == "list" && (!request.tagArg.empty() || request.value || shortcuts))
        return usageError("list takes only --block and -r");
    if (action == "get" &&
        (!request.format || request.tagArg.empty() || request.value || shortcuts))
        return usageError("get takes --block and --tag");
    if (action == "set") {
        const bool tagged = !request.tagArg.empty() || request.value || request.format;
        if (tagged && (request.tagArg.empty() || !request.value || !request.format))
            return usageError("set needs --block, --tag and --value together");
        if (!tagged && !shortcuts) return usageError("set needs something to set");
        if (request.rating && request.rating->empty()) return usageError("--rating needs a value");
    }
    if (action == "remove" && (!request.format || request.value || shortcuts))
        return usageError("remove takes --block and an optional --tag");

    int failures = 0;
    const auto files = expandInputs(request.inputs, request.recurse, failures);
    Engine engine;
    std::string error;
    if (!engine.start(global.library, error)) {
        std::fprintf(stderr, "mediaio: %s\n", error.c_str());
        return kExitFailed;
    }
    Progress progress(files.size());
    const bool several = files.size() > 1;
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string& path = files[i];
        progress.step(i, path);
        if (writes) {
            error.clear();
            if (!editFile(engine, path, request, error)) {
                ++failures;
                reportError(&progress, path, error);
            }
            continue;
        }
        ComPtr<IMediaFileIO> file;
        if (FAILED(engine.parse(path, file, error))) {
            ++failures;
            reportError(&progress, path, error);
            continue;
        }
        if (action == "list") {
            const auto blocks = collectMetadata(file.Get(), request.format);
            progress.clear();
            if (several) std::printf("%s\n", path.c_str());
            for (const auto& block : blocks)
                for (const auto& tag : block.tags)
                    std::printf("%s\t%d\t%s\t%s\n", block.key, tag.tag, tag.name.c_str(),
                                tag.value ? tag.value->c_str() : "n/a");
            std::fflush(stdout);
            if (blocks.empty())
                std::fprintf(stderr, "mediaio: %s: no metadata listed\n", path.c_str());
            continue;
        }
        const auto tag = resolveTag(file.Get(), request.format, request.tagArg);
        HRESULT hr = E_FAIL;
        const auto text = tag ? metaText(file.Get(), request.format, *tag, hr) : std::nullopt;
        if (!text) {
            ++failures;
            reportError(&progress, path,
                        "no tag " + request.tagArg + " in its " + request.blockName +
                            " metadata (" + hresultText(hr) + ")");
            continue;
        }
        progress.clear();
        if (several)
            std::printf("%s\t%s\n", path.c_str(), text->c_str());
        else
            std::printf("%s\n", text->c_str());
        std::fflush(stdout);
    }
    progress.clear();
    printSummary(files.size(), failures);
    return failures ? kExitFailed : kExitOk;
}

} // namespace mediaio
