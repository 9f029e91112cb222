// SPDX-License-Identifier: MIT
// Lists metadata through GetMetaTags, GetMetaTagName and GetMetaDataStr, and the `meta` command.
#include "metadata.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

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
    "       mediaio meta get FILE --block BLOCK --tag N|NAME\n"
    "  list   every tag of every block the file has (or of one block): number, name, text\n"
    "  get    the text of one tag, by catalogue number or by its name (case-sensitive)\n"
    "  A tag whose value the engine cannot show as text is listed as n/a.\n";

int usageError(const std::string& why)
{
    std::fprintf(stderr, "mediaio meta: %s\n%s", why.c_str(), kMetaUsage);
    return kExitUsage;
}

} // namespace

int runMeta(const GlobalOptions& global, const std::vector<std::string>& args)
{
    if (args.empty()) return usageError("list or get?");
    if (args[0] == "-h" || args[0] == "--help") {
        std::fputs(kMetaUsage, stdout);
        return kExitOk;
    }
    const std::string action = args[0];
    if (action != "list" && action != "get") return usageError("unknown action " + action);
    int32_t format = 0;
    std::string blockName, tagArg;
    bool recurse = false;
    std::vector<std::string> inputs;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "-h" || arg == "--help") {
            std::fputs(kMetaUsage, stdout);
            return kExitOk;
        } else if (arg == "--block") {
            if (!hasValue || !(format = metaFormatOf(args[i + 1])))
                return usageError(std::string("--block needs one of ") + metaFormatKeys());
            blockName = args[++i];
        } else if (arg == "--tag") {
            if (!hasValue || args[i + 1].empty()) return usageError("--tag needs N or NAME");
            tagArg = args[++i];
        } else if (arg == "-r" && action == "list") {
            recurse = true;
        } else if (arg.size() > 1 && arg[0] == '-') {
            return usageError("unknown option " + arg);
        } else {
            inputs.push_back(arg);
        }
    }
    if (inputs.empty()) return usageError("FILE is required");
    if (action == "get" && (inputs.size() != 1 || !format || tagArg.empty()))
        return usageError("get takes one FILE, --block and --tag");
    if (action == "list" && !tagArg.empty()) return usageError("--tag belongs to get");

    int failures = 0;
    const auto files = action == "list" ? expandInputs(inputs, recurse, failures) : inputs;
    Engine engine;
    std::string error;
    if (!engine.start(global.library, error)) {
        std::fprintf(stderr, "mediaio: %s\n", error.c_str());
        return kExitFailed;
    }
    for (const auto& path : files) {
        ComPtr<IMediaFileIO> file;
        if (FAILED(engine.parse(path, file, error))) {
            ++failures;
            reportError(nullptr, path, error);
            continue;
        }
        if (action == "list") {
            const auto blocks = collectMetadata(file.Get(), format);
            if (files.size() > 1) std::printf("%s\n", path.c_str());
            for (const auto& block : blocks)
                for (const auto& tag : block.tags)
                    std::printf("%s\t%d\t%s\t%s\n", block.key, tag.tag, tag.name.c_str(),
                                tag.value ? tag.value->c_str() : "n/a");
            if (blocks.empty())
                std::fprintf(stderr, "mediaio: %s: no metadata listed\n", path.c_str());
            continue;
        }
        // get: a number is taken as it stands; a name is looked up among the listed tags.
        int32_t tag = -1;
        char* end = nullptr;
        errno = 0;
        const long number = std::strtol(tagArg.c_str(), &end, 10);
        if (!*end && !errno && number >= 0 && number <= 0x7FFFFFFF) {
            tag = static_cast<int32_t>(number);
        } else {
            for (const auto& block : collectMetadata(file.Get(), format))
                for (const auto& candidate : block.tags)
                    if (candidate.name == tagArg) tag = candidate.tag;
        }
        HRESULT hr = E_FAIL;
        const auto text = tag >= 0 ? metaText(file.Get(), format, tag, hr) : std::nullopt;
        if (!text) {
            ++failures;
            reportError(nullptr, path,
                        "no tag " + tagArg + " in its " + blockName + " metadata (" +
                            hresultText(hr) + ")");
            continue;
        }
        std::printf("%s\n", text->c_str());
    }
    return failures ? kExitFailed : kExitOk;
}

} // namespace mediaio
