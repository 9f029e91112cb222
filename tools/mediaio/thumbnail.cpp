// SPDX-License-Identifier: MIT
// `mediaio thumbnail` and the desktop thumbnailer convention (`mediaio -s SIZE INPUT OUTPUT`).
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>

#include "commands.h"
#include "engine.h"
#include "picture.h"

namespace mediaio {

namespace {

constexpr int32_t kMaxEdge = 16384;

struct ThumbnailRequest {
    int32_t width = 256;
    int32_t height = 256;
    bool exact = false;
    std::optional<int32_t> frame;
    std::optional<double> time;
    bool previewOnly = false; // the embedded preview or nothing
    bool force = false;       // the picture itself, not the preview path
};

bool parseInt(const std::string& text, int32_t& out)
{
    if (text.empty()) return false;
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno || *end || value < 0 || value > 0x7FFFFFFF) return false;
    out = static_cast<int32_t>(value);
    return true;
}

// "W", "WxH" with 1 <= W, H <= 16384.
bool parseSize(const std::string& text, int32_t& width, int32_t& height)
{
    const auto x = text.find_first_of("xX");
    const std::string w = x == std::string::npos ? text : text.substr(0, x);
    const std::string h = x == std::string::npos ? text : text.substr(x + 1);
    return parseInt(w, width) && parseInt(h, height) && width >= 1 && height >= 1 &&
           width <= kMaxEdge && height <= kMaxEdge;
}

// Asks the engine for the picture: the frame or time when given, else the preview (generated
// from the picture when the file has none), fitted into the limits. 32-bit output is asked for
// so alpha survives. Exact sizes are made here: not every object kind pads to a canvas.
HRESULT requestThumbnail(IMediaFileIO* file, const ThumbnailRequest& request, PackedDib& dib)
{
    file->EnableBGRA32(VARIANT_TRUE); // E_FAIL on objects without the choice; harmless
    dib = nullptr;
    if (request.frame)
        return file->GetFrameThumbnail(&dib, request.width, request.height, *request.frame, FALSE,
                                       FALSE);
    if (request.time)
        return file->GetFrameThumbnailByTime(&dib, request.width, request.height, *request.time,
                                             FALSE, FALSE);
    if (request.previewOnly)
        return file->GetPreviewThumbnail(&dib, request.width, request.height, FALSE, FALSE);
    if (request.force)
        return file->GetFrameThumbnail(&dib, request.width, request.height, 0, FALSE, FALSE);
    HRESULT hr = file->GetPreviewThumbnail(&dib, request.width, request.height, TRUE, FALSE);
    if (FAILED(hr) || !dib) {
        // Objects without a preview path still answer with their first frame.
        PackedDib frame = nullptr;
        const HRESULT frameHr =
            file->GetFrameThumbnail(&frame, request.width, request.height, 0, FALSE, FALSE);
        if (SUCCEEDED(frameHr) && frame) {
            dib = frame;
            hr = frameHr;
        }
    }
    return hr;
}

// Centres the picture on a transparent canvas of exactly width x height (cropping the centre
// of a picture larger than the canvas, which a fitting engine should not hand out).
Picture centreOnCanvas(const Picture& picture, uint32_t width, uint32_t height)
{
    Picture canvas;
    canvas.width = width;
    canvas.height = height;
    canvas.hasAlpha = true;
    canvas.rgba.assign(static_cast<size_t>(width) * height * 4, 0);
    const uint32_t copyW = std::min(width, picture.width);
    const uint32_t copyH = std::min(height, picture.height);
    const uint32_t dstX = (width - copyW) / 2, dstY = (height - copyH) / 2;
    const uint32_t srcX = (picture.width - copyW) / 2, srcY = (picture.height - copyH) / 2;
    for (uint32_t y = 0; y < copyH; ++y)
        std::memcpy(canvas.rgba.data() + ((size_t{dstY} + y) * width + dstX) * 4,
                    picture.rgba.data() + ((size_t{srcY} + y) * picture.width + srcX) * 4,
                    size_t{copyW} * 4);
    return canvas;
}

// Runs one thumbnail from parse to written file; on failure `error` is the message.
bool makeThumbnail(Engine& engine, const std::string& input, const std::string& output,
                   const ThumbnailRequest& request, const TextChunks& texts, bool alwaysPng,
                   std::string& error)
{
    ComPtr<IMediaFileIO> file;
    if (FAILED(engine.parse(input, file, error))) return false;
    PackedDib dib = nullptr;
    const HRESULT hr = requestThumbnail(file.Get(), request, dib);
    if (FAILED(hr) || !dib) {
        const std::string text = engine.lastErrorText();
        error = "no thumbnail (" + hresultText(FAILED(hr) ? hr : E_FAIL) + ")" +
                (text.empty() ? std::string() : ": " + text);
        return false;
    }
    // The bitmap belongs to the object, which `file` keeps alive until the picture is copied.
    Picture picture;
    if (!pictureFromDib(dib, picture, error)) return false;
    if (request.exact && (picture.width != static_cast<uint32_t>(request.width) ||
                          picture.height != static_cast<uint32_t>(request.height)))
        picture = centreOnCanvas(picture, static_cast<uint32_t>(request.width),
                                 static_cast<uint32_t>(request.height));
    return alwaysPng ? writePng(output, picture, texts, error)
                     : writePicture(output, picture, texts, error);
}

std::string percentEncodePath(const std::string& path)
{
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (std::isalnum(c) || std::strchr("/-._~!$&'()*+,;=:@", c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// A local path from a file URI ("file:///p", "file://localhost/p"); empty when it is not one.
std::string pathFromUri(const std::string& uri)
{
    std::string rest;
    if (uri.rfind("file:///", 0) == 0)
        rest = uri.substr(7);
    else if (uri.rfind("file://localhost/", 0) == 0)
        rest = uri.substr(16);
    else
        return {};
    std::string out;
    for (size_t i = 0; i < rest.size(); ++i) {
        if (rest[i] == '%' && i + 2 < rest.size() && hexValue(rest[i + 1]) >= 0 &&
            hexValue(rest[i + 2]) >= 0) {
            const char decoded =
                static_cast<char>(hexValue(rest[i + 1]) * 16 + hexValue(rest[i + 2]));
            if (decoded == '\0') return {};
            out += decoded;
            i += 2;
        } else if (rest[i] == '?' || rest[i] == '#') {
            break;
        } else {
            out += rest[i];
        }
    }
    return out;
}

constexpr const char* kThumbnailUsage =
    "usage: mediaio thumbnail FILE -o OUT.png|OUT.bmp [-s WxH] [--exact]\n"
    "                         [--frame N | --time S | --preview | --force]\n"
    "       mediaio thumbnail FILE... -o OUTDIR [options as above] [-r]\n"
    "  Writes the engine's thumbnail of FILE: its embedded preview or, failing that, its first\n"
    "  frame, fitted into WxH (default 256x256; -s N means NxN). 32-bit with alpha where the\n"
    "  engine gives it.\n"
    "  -o, --output OUT  output picture; PNG or BMP by the extension. With several files or\n"
    "                    a folder, OUT is a folder that gets OUT/NAME.png for each, keeping\n"
    "                    the layout below the folders named\n"
    "  -s, --size WxH    size limits, 1 to 16384 each\n"
    "  --exact           centre the picture on a canvas of exactly WxH\n"
    "  --frame N         frame N (0 = first) instead of the preview\n"
    "  --time S          the frame at S seconds instead of the preview\n"
    "  --preview         the embedded preview only; a file without one fails\n"
    "  --force           the first frame decoded, without asking for the preview\n"
    "  -r, --recursive   descend into folders\n"
    "\n"
    "thumbnailer form: mediaio -s SIZE INPUT OUTPUT\n"
    "  INPUT is a path or a file:// URI; OUTPUT gets a PNG fitted into SIZExSIZE with the\n"
    "  Thumb::URI and Thumb::MTime texts of the freedesktop thumbnail cache.\n";

} // namespace

int runThumbnail(const GlobalOptions& global, const std::vector<std::string>& args)
{
    ThumbnailRequest request;
    std::vector<std::string> inputs;
    std::string output;
    bool recurse = false, optionsEnded = false;
    auto usage = [](const std::string& why) {
        std::fprintf(stderr, "mediaio thumbnail: %s\n%s", why.c_str(), kThumbnailUsage);
        return kExitUsage;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            inputs.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(kThumbnailUsage, stdout);
            return kExitOk;
        } else if (arg == "-o" || arg == "--output") {
            if (!hasValue) return usage("-o needs a file name");
            output = args[++i];
        } else if (arg == "-s" || arg == "--size") {
            if (!hasValue || !parseSize(args[i + 1], request.width, request.height))
                return usage("-s needs WxH between 1 and 16384");
            ++i;
        } else if (arg == "--exact") {
            request.exact = true;
        } else if (arg == "--frame") {
            int32_t frame = 0;
            if (!hasValue || !parseInt(args[i + 1], frame)) return usage("--frame needs N >= 0");
            request.frame = frame;
            ++i;
        } else if (arg == "--time") {
            char* end = nullptr;
            const double seconds = hasValue ? std::strtod(args[i + 1].c_str(), &end) : -1.0;
            if (!hasValue || *end || !(seconds >= 0.0) || seconds > 1e9)
                return usage("--time needs seconds >= 0");
            request.time = seconds;
            ++i;
        } else if (arg == "--preview") {
            request.previewOnly = true;
        } else if (arg == "--force") {
            request.force = true;
        } else if (arg == "-r" || arg == "--recursive") {
            recurse = true;
        } else {
            return usage("unknown option " + arg);
        }
    }
    if (inputs.empty() || output.empty()) return usage("FILE and -o OUT are required");
    if (int(request.frame.has_value()) + int(request.time.has_value()) + int(request.previewOnly) +
            int(request.force) >
        1)
        return usage("--frame, --time, --preview and --force exclude each other");
    const bool batch = inputs.size() > 1 || anyFolder(inputs);
    std::error_code ec;
    if (batch) {
        if (std::filesystem::exists(output, ec) && !std::filesystem::is_directory(output, ec))
            return usage("with several files, -o names a folder");
    } else {
        const std::string ext = std::filesystem::path(output).extension().string();
        if (ext != ".png" && ext != ".PNG" && ext != ".bmp" && ext != ".BMP")
            return usage("the output name must end in .png or .bmp");
    }

    int failures = 0;
    std::vector<std::string> roots;
    for (const auto& input : inputs)
        if (std::filesystem::is_directory(input, ec)) roots.push_back(input);
    const auto files = batch ? expandInputs(inputs, recurse, failures) : inputs;
    Engine engine;
    std::string error;
    if (!engine.start(global.library, error)) {
        std::fprintf(stderr, "mediaio: %s\n", error.c_str());
        return kExitFailed;
    }
    OutputNames names(output, roots, ".png");
    Progress progress(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        progress.step(i, files[i]);
        error.clear();
        std::string target = batch ? names.outputFor(files[i], error) : output;
        if (!target.empty() && sameFile(files[i], target)) {
            error = "the output " + target + " is the input itself";
            target.clear();
        }
        if (target.empty() || !makeThumbnail(engine, files[i], target, request, {}, false, error)) {
            ++failures;
            reportError(&progress, files[i], error);
        }
    }
    progress.clear();
    printSummary(files.size(), failures);
    return failures ? kExitFailed : kExitOk;
}

int runThumbnailer(const GlobalOptions& global, const std::vector<std::string>& args)
{
    // args: -s SIZE INPUT OUTPUT
    ThumbnailRequest request;
    if (args.size() != 4 || args[0] != "-s" || !parseInt(args[1], request.width) ||
        request.width < 1 || request.width > kMaxEdge) {
        std::fputs(kThumbnailUsage, stderr);
        return kExitUsage;
    }
    request.height = request.width;
    const std::string& inputArg = args[2];
    const std::string& output = args[3];
    std::string path = inputArg;
    std::string uri;
    if (inputArg.find("://") != std::string::npos) {
        path = pathFromUri(inputArg);
        if (path.empty()) {
            reportError(nullptr, inputArg, "only local file:// URIs can be read");
            return kExitFailed;
        }
        uri = inputArg;
    } else {
        std::error_code ec;
        const auto absolute = std::filesystem::absolute(inputArg, ec);
        uri = "file://" +
              percentEncodePath(
                  (ec ? std::filesystem::path(inputArg) : absolute).lexically_normal().string());
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0) {
        reportError(nullptr, path, std::strerror(errno));
        return kExitFailed;
    }
    const TextChunks texts = {
        {"Thumb::URI", uri},
        {"Thumb::MTime", std::to_string(static_cast<long long>(info.st_mtime))},
        {"Software", "mediaio"}};
    Engine engine;
    std::string error;
    if (!engine.start(global.library, error)) {
        std::fprintf(stderr, "mediaio: %s\n", error.c_str());
        return kExitFailed;
    }
    // The cache wants PNG whatever name the caller gave the output.
    if (!makeThumbnail(engine, path, output, request, texts, true, error)) {
        reportError(nullptr, path, error);
        return kExitFailed;
    }
    return kExitOk;
}

int runSample(const std::vector<std::string>& args)
{
    if (args.size() != 1 || args[0] == "-h" || args[0] == "--help") {
        std::fputs("usage: mediaio sample OUT.png|OUT.bmp\n"
                   "  Writes the tool's own 320x240 test picture (colour ramps, a transparent\n"
                   "  corner), so the other commands can be tried without sample files.\n",
                   args.size() == 1 ? stdout : stderr);
        return args.size() == 1 ? kExitOk : kExitUsage;
    }
    std::string error;
    if (!writePicture(args[0], samplePicture(320, 240), {}, error)) {
        std::fprintf(stderr, "mediaio: %s\n", error.c_str());
        return kExitFailed;
    }
    return kExitOk;
}

} // namespace mediaio
