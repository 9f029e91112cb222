// SPDX-License-Identifier: MIT
// `mediaio info`: everything the engine answers about each file, as text or one JSON object
// per file. A method the engine does not offer for a file leaves its field out.
#include <cmath>
#include <cstdio>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "engine.h"
#include "metadata.h"

namespace mediaio {

namespace {

std::string jsonEscape(const std::string& text)
{
    std::string out;
    out.reserve(text.size() + 2);
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out;
}

std::string quoted(const std::string& text)
{
    return "\"" + jsonEscape(text) + "\"";
}

std::string number(double value)
{
    if (!std::isfinite(value)) return "null";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.10g", value);
    return buf;
}

// FILETIME (100 ns ticks since 1601) as ISO 8601 in UTC; empty for a zero or absurd time.
std::string isoTime(const FILETIME& time)
{
    const uint64_t ticks = (uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
    constexpr uint64_t kUnixEpoch = 116444736000000000ull;
    if (ticks == 0 || ticks < kUnixEpoch) return {};
    const uint64_t seconds = (ticks - kUnixEpoch) / 10000000ull;
    if (seconds > 253402300799ull) return {}; // past 9999-12-31
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm parts{};
    if (!gmtime_r(&t, &parts)) return {};
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return buf;
}

struct Field {
    std::string key;   // JSON key
    std::string label; // text label
    std::string json;  // value, already JSON
    std::string text;  // value as shown to people
};

struct FileReport {
    std::vector<Field> fields;
    std::vector<MetaBlock> metadata;
};

void addText(FileReport& r, const char* key, const char* label, const std::string& value)
{
    if (!value.empty()) r.fields.push_back({key, label, quoted(value), value});
}

void addInt(FileReport& r, const char* key, const char* label, long long value,
            const std::string& suffix = {})
{
    r.fields.push_back({key, label, std::to_string(value), std::to_string(value) + suffix});
}

void addDouble(FileReport& r, const char* key, const char* label, double value,
               const std::string& suffix = {})
{
    r.fields.push_back({key, label, number(value), number(value) + suffix});
}

FileReport describe(IMediaFileIO* file)
{
    FileReport r;
    {
        ComPtr<IMediaFile> imageInterface;
        const bool isImageObject = SUCCEEDED(file->QueryInterface(
            IID_IMediaFile, reinterpret_cast<void**>(imageInterface.GetAddressOf())));
        addText(r, "object", "object", isImageObject ? "image" : "media");
    }
    int32_t a = 0, b = 0, c = 0;
    double d = 0, e = 0, f = 0;
    uint64_t size = 0;
    if (SUCCEEDED(file->GetFileType(&a))) {
        addInt(r, "type", "type", a);
        addText(r, "kind", "kind",
                a == 1   ? "video"
                : a == 2 ? "audio"
                : a == 3 ? "image"
                         : "other");
    }
    addText(r, "format_name", "format",
            readText([&](WCHAR* s, int32_t n) { return file->GetFileFormatName(s, n); }));
    addText(r, "extension", "extension",
            readText([&](WCHAR* s, int32_t n) { return file->GetFileFormatExtName(s, n); }));
    if (SUCCEEDED(file->GetFileFormatID(&a))) addInt(r, "format_id", "format id", a);
    if (SUCCEEDED(file->GetFileSize(&size)))
        addInt(r, "file_size", "file size", static_cast<long long>(size), " bytes");
    FILETIME created{}, modified{};
    if (SUCCEEDED(file->GetFileTime(&created, &modified))) {
        addText(r, "created", "created", isoTime(created));
        addText(r, "modified", "modified", isoTime(modified));
    }
    if (SUCCEEDED(file->GetFrameSize(&a, &b))) {
        addInt(r, "width", "width", a);
        addInt(r, "height", "height", b);
    }
    if (SUCCEEDED(file->GetFrameBitCount(&a))) addInt(r, "bit_count", "bit count", a);
    if (SUCCEEDED(file->GetResolution(&a, &b))) {
        addInt(r, "resolution_x", "resolution x", a, " dpi");
        addInt(r, "resolution_y", "resolution y", b, " dpi");
    }
    if (SUCCEEDED(file->GetAspectRatio(&a, &b))) {
        addInt(r, "aspect_x", "aspect x", a);
        addInt(r, "aspect_y", "aspect y", b);
    }
    if (SUCCEEDED(file->GetTotalFrames(&a))) addInt(r, "frames", "frames", a);
    if (SUCCEEDED(file->GetFrameRate(&d))) addDouble(r, "frame_rate", "frame rate", d, " fps");
    if (SUCCEEDED(file->GetDuration(&d))) addDouble(r, "duration", "duration", d, " s");
    if (SUCCEEDED(file->GetBitRate(&d, &e, &f))) {
        addDouble(r, "bit_rate", "bit rate", d, " bit/s");
        addDouble(r, "video_bit_rate", "video bit rate", e, " bit/s");
        addDouble(r, "audio_bit_rate", "audio bit rate", f, " bit/s");
    }
    addText(r, "video_codec", "video codec",
            readText([&](WCHAR* s, int32_t n) { return file->GetVideoCodecName(s, n); }));
    addText(r, "audio_codec", "audio codec",
            readText([&](WCHAR* s, int32_t n) { return file->GetAudioCodecName(s, n); }));
    if (SUCCEEDED(file->GetAudioAttributes(&a, &b, &c)) && (a > 0 || c > 0)) {
        addInt(r, "sample_rate", "sample rate", a, " Hz");
        addInt(r, "bits_per_sample", "bits per sample", b);
        addInt(r, "channels", "channels", c);
    }
    DWORD codecInfo = 0;
    if (SUCCEEDED(file->GetCodecInfo(&codecInfo))) addInt(r, "codec_info", "codec info", codecInfo);
    const HRESULT preview = file->HasPreviewThumbnail();
    if (SUCCEEDED(preview)) {
        const bool has = preview == S_OK;
        r.fields.push_back(
            {"has_preview", "embedded preview", has ? "true" : "false", has ? "yes" : "no"});
    }
    addText(r, "caption", "caption",
            readText([&](WCHAR* s, int32_t n) { return file->GetCaption(s, n); }));
    addText(r, "rating", "rating",
            readText([&](WCHAR* s, int32_t n) { return file->GetRating(s, n); }));
    addText(r, "artist", "artist",
            readText([&](WCHAR* s, int32_t n) { return file->GetArtist(s, n); }));
    addText(r, "album", "album",
            readText([&](WCHAR* s, int32_t n) { return file->GetAlbum(s, n); }));
    {
        std::u16string buffer(8192, u'\0');
        int32_t bytes = 0;
        if (SUCCEEDED(file->GetSubjectTags(buffer.data(), 16384, &bytes)) && bytes > 0) {
            const size_t chars = std::min<size_t>(static_cast<size_t>(bytes) / 2, buffer.size());
            std::vector<std::string> words;
            size_t start = 0;
            for (size_t i = 0; i <= chars; ++i) {
                if (i == chars || buffer[i] == u'\0') {
                    if (i > start) words.push_back(narrow(buffer.substr(start, i - start).c_str()));
                    start = i + 1;
                }
            }
            if (!words.empty()) {
                std::string json = "[", text;
                for (size_t i = 0; i < words.size(); ++i) {
                    json += (i ? ", " : "") + quoted(words[i]);
                    text += (i ? "; " : "") + words[i];
                }
                r.fields.push_back({"keywords", "keywords", json + "]", text});
            }
        }
    }
    r.metadata = collectMetadata(file);
    return r;
}

std::string toJson(const std::string& path, const FileReport& r)
{
    std::string out = "{\"file\": " + quoted(path);
    for (const auto& field : r.fields)
        out += ", \"" + field.key + "\": " + field.json;
    out += ", \"metadata\": {";
    for (size_t i = 0; i < r.metadata.size(); ++i) {
        const auto& block = r.metadata[i];
        out += std::string(i ? ", " : "") + "\"" + block.key + "\": [";
        for (size_t j = 0; j < block.tags.size(); ++j) {
            const auto& tag = block.tags[j];
            out += std::string(j ? ", " : "") + "{\"tag\": " + std::to_string(tag.tag) +
                   ", \"name\": " + quoted(tag.name) +
                   ", \"value\": " + (tag.value ? quoted(*tag.value) : "null") + "}";
        }
        out += "]";
    }
    return out + "}}";
}

void printText(const std::string& path, const FileReport& r)
{
    std::printf("%s\n", path.c_str());
    for (const auto& field : r.fields) {
        const std::string label = field.label + ":";
        std::printf("  %-18s %s\n", label.c_str(), field.text.c_str());
    }
    for (const auto& block : r.metadata) {
        std::printf("  [%s] %zu tags\n", block.key, block.tags.size());
        for (const auto& tag : block.tags) {
            const std::string name = tag.name.empty() ? "tag " + std::to_string(tag.tag) : tag.name;
            std::printf("    %5d %-28s %s\n", tag.tag, name.c_str(),
                        tag.value ? tag.value->c_str() : "n/a");
        }
    }
}

constexpr const char* kInfoUsage =
    "usage: mediaio info FILE... [--json] [-r]\n"
    "  Prints the properties the engine reports for each file (kind, format, frame size, bit\n"
    "  count, resolution, size and times, frames, rate, duration, bit rates, audio, codecs,\n"
    "  caption, rating, keywords) and its metadata tags, block by block.\n"
    "  --json      one JSON object per line and file; failures as {\"file\", \"error\", "
    "\"hresult\"}\n"
    "  -r, --recursive  descend into folders\n";

} // namespace

int runInfo(const GlobalOptions& global, const std::vector<std::string>& args)
{
    bool json = false, recurse = false;
    std::vector<std::string> inputs;
    bool optionsEnded = false;
    for (const auto& arg : args) {
        if (!optionsEnded && (arg == "-h" || arg == "--help")) {
            std::fputs(kInfoUsage, stdout);
            return kExitOk;
        }
        if (!optionsEnded && arg == "--")
            optionsEnded = true;
        else if (!optionsEnded && arg == "--json")
            json = true;
        else if (!optionsEnded && (arg == "-r" || arg == "--recursive"))
            recurse = true;
        else if (!optionsEnded && arg.size() > 1 && arg[0] == '-') {
            std::fprintf(stderr, "mediaio info: unknown option %s\n%s", arg.c_str(), kInfoUsage);
            return kExitUsage;
        } else
            inputs.push_back(arg);
    }
    if (inputs.empty()) {
        std::fputs(kInfoUsage, stderr);
        return kExitUsage;
    }
    int failures = 0;
    const auto files = expandInputs(inputs, recurse, failures);
    Engine engine;
    std::string error;
    if (!engine.start(global.library, error)) {
        std::fprintf(stderr, "mediaio: %s\n", error.c_str());
        return kExitFailed;
    }
    Progress progress(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        progress.step(i, files[i]);
        ComPtr<IMediaFileIO> file;
        const HRESULT hr = engine.parse(files[i], file, error);
        if (FAILED(hr)) {
            ++failures;
            reportError(&progress, files[i], error);
            if (json) {
                progress.clear();
                std::printf("{\"file\": %s, \"error\": %s, \"hresult\": \"%s\"}\n",
                            quoted(files[i]).c_str(), quoted(error).c_str(),
                            hresultText(hr).c_str());
            }
            continue;
        }
        const FileReport report = describe(file.Get());
        progress.clear();
        if (json)
            std::printf("%s\n", toJson(files[i], report).c_str());
        else
            printText(files[i], report);
        std::fflush(stdout);
    }
    progress.clear();
    printSummary(files.size(), failures);
    return failures ? kExitFailed : kExitOk;
}

} // namespace mediaio
