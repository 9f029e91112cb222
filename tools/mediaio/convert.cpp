// SPDX-License-Identifier: MIT
// `mediaio convert`: any file the engine opens, written as a picture by the manager's
// WriteImageFile in the format its output name asks for.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "commands.h"
#include "engine.h"

namespace mediaio {

namespace {

// The still-image half of the engine's format numbering: extension of 41, 42, ... 77.
constexpr const char* kFormatExtensions[] = {
    "bmp", "clp", "cur", "dcs", "eps", "fax", "fpx", "gif", "ico", "iff", "img", "jp2", "jpg",
    "mac", "msp", "pcd", "pct", "pcx", "pic", "png", "pnm", "prj", "psd", "vkt", "pxr", "ras",
    "raw", "sct", "shg", "tga", "tif", "qfo", "qfp", "qfx", "wbm", "wmf", "jpc"};
constexpr int32_t kFirstFormatNumber = 41;
constexpr int32_t kJpegFormatNumber = 53;

// Other spellings of those extensions.
constexpr struct {
    const char* spelling;
    const char* extension;
} kAliases[] = {{"jpeg", "jpg"}, {"jpe", "jpg"}, {"jfif", "jpg"}, {"tiff", "tif"},
                {"j2k", "jpc"},  {"j2c", "jpc"}, {"ppm", "pnm"},  {"pgm", "pnm"},
                {"pbm", "pnm"},  {"dib", "bmp"}, {"targa", "tga"}};

constexpr int32_t kDefaultQuality = 85;

std::string lower(std::string text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The engine's format number for an extension ("jpg", ".JPEG"), 0 when there is none.
int32_t formatNumberOf(std::string extension, std::string* canonical = nullptr)
{
    extension = lower(extension);
    if (!extension.empty() && extension[0] == '.') extension.erase(0, 1);
    for (const auto& alias : kAliases)
        if (extension == alias.spelling) extension = alias.extension;
    for (size_t i = 0; i < std::size(kFormatExtensions); ++i) {
        if (extension == kFormatExtensions[i]) {
            if (canonical) *canonical = extension;
            return kFirstFormatNumber + static_cast<int32_t>(i);
        }
    }
    return 0;
}

struct ConvertRequest {
    bool preview = false;
    int32_t quality = kDefaultQuality;
};

// The picture of a file at its full size: frame 0 (or the picture the engine generates for
// it), the attached picture of a file without frames, or with --preview the embedded preview
// at its own size. Limits of 0 ask the engine for the source's own size.
HRESULT readPicture(IMediaFileIO* file, const ConvertRequest& request, PackedDib& dib)
{
    dib = nullptr;
    if (request.preview) return file->GetPreviewThumbnail(&dib, 0, 0, FALSE, FALSE);
    int32_t width = 0, height = 0;
    if (SUCCEEDED(file->GetFrameSize(&width, &height)) && width > 0 && height > 0) {
        HRESULT hr = file->GetFrameThumbnail(&dib, width, height, 0, FALSE, FALSE);
        if (SUCCEEDED(hr) && dib) return hr;
        dib = nullptr;
        return file->GetPreviewThumbnail(&dib, width, height, TRUE, FALSE);
    }
    return file->GetPreviewThumbnail(&dib, 0, 0, TRUE, FALSE);
}

bool convertOne(Engine& engine, const std::string& input, const std::string& output,
                const ConvertRequest& request, std::string& error)
{
    std::string extension;
    const int32_t number =
        formatNumberOf(std::filesystem::path(output).extension().string(), &extension);
    ComPtr<IMediaFileIO> file;
    if (FAILED(engine.parse(input, file, error))) return false;
    PackedDib dib = nullptr;
    HRESULT hr = readPicture(file.Get(), request, dib);
    if (FAILED(hr) || !dib) {
        error = std::string(request.preview ? "no embedded preview" : "no picture") + " (" +
                engine.describeFailure(FAILED(hr) ? hr : E_FAIL) + ")";
        return false;
    }
    // The bitmap stays the object's; `file` keeps it alive through the write.
    hr = engine.manager()->WriteImageFile(widen(output).c_str(), number, dib, FALSE,
                                          number == kJpegFormatNumber ? request.quality
                                                                      : kDefaultQuality);
    if (FAILED(hr)) {
        error =
            "cannot write " + output + " as " + extension + " (" + engine.describeFailure(hr) + ")";
        return false;
    }
    return true;
}

constexpr const char* kConvertUsage =
    "usage: mediaio convert IN OUT [--quality Q] [--preview]\n"
    "       mediaio convert IN... OUTDIR --to EXT [--quality Q] [--preview] [-r]\n"
    "  Reads a file the engine opens (an image's full picture, a video's first frame, an\n"
    "  audio file's attached picture) and writes it with the engine's image writer, in the\n"
    "  format of OUT's extension: bmp, gif, jpg (jpeg), png, pcx, pnm (ppm, pgm, pbm), tga,\n"
    "  tif (tiff), jp2, jpc (j2k) and the other extensions the engine numbers; the engine\n"
    "  refuses the ones it cannot write. The writer takes colour only: alpha is not kept.\n"
    "  --quality Q  JPEG quality 1 to 100 (default 85)\n"
    "  --preview    the file's embedded preview at its own size instead of the full picture\n"
    "  --to EXT     with several inputs or folders: write OUTDIR/NAME.EXT for each, keeping\n"
    "               the layout below the folders named\n"
    "  -r, --recursive  descend into folders\n";

int usage(const std::string& why)
{
    std::fprintf(stderr, "mediaio convert: %s\n%s", why.c_str(), kConvertUsage);
    return kExitUsage;
}

} // namespace

int runConvert(const GlobalOptions& global, const std::vector<std::string>& args)
{
    ConvertRequest request;
    std::vector<std::string> positional;
    std::string to;
    bool recurse = false, optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "-h" || arg == "--help") {
            std::fputs(kConvertUsage, stdout);
            return kExitOk;
        } else if (arg == "--quality") {
            char* end = nullptr;
            errno = 0;
            const long quality = hasValue ? std::strtol(args[i + 1].c_str(), &end, 10) : 0;
            if (!hasValue || args[i + 1].empty() || *end || errno || quality < 1 || quality > 100)
                return usage("--quality needs a number from 1 to 100");
            request.quality = static_cast<int32_t>(quality);
            ++i;
        } else if (arg == "--preview") {
            request.preview = true;
        } else if (arg == "--to") {
            if (!hasValue || !formatNumberOf(args[i + 1]))
                return usage("--to needs an image extension the engine numbers");
            to = args[++i];
            if (to[0] == '.') to.erase(0, 1);
        } else if (arg == "-r" || arg == "--recursive") {
            recurse = true;
        } else {
            return usage("unknown option " + arg);
        }
    }
    if (positional.size() < 2) return usage("IN and OUT are required");
    const std::string out = positional.back();
    positional.pop_back();
    const bool batch = !to.empty() || positional.size() > 1 || anyFolder(positional);
    if (batch && to.empty()) return usage("several inputs or a folder need --to EXT");
    std::error_code ec;
    if (!batch) {
        if (std::filesystem::is_directory(out, ec))
            return usage(out + " is a folder; name an output file or use --to EXT");
        if (!formatNumberOf(std::filesystem::path(out).extension().string()))
            return usage("cannot tell the format from the name " + out);
    } else if (std::filesystem::exists(out, ec) && !std::filesystem::is_directory(out, ec)) {
        return usage(out + " is not a folder");
    }

    int failures = 0;
    std::vector<std::string> roots;
    for (const auto& input : positional)
        if (std::filesystem::is_directory(input, ec)) roots.push_back(input);
    const auto files = batch ? expandInputs(positional, recurse, failures) : positional;
    Engine engine;
    std::string error;
    if (!engine.start(global.library, error)) {
        std::fprintf(stderr, "mediaio: %s\n", error.c_str());
        return kExitFailed;
    }
    OutputNames names(out, roots, "." + to);
    Progress progress(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        progress.step(i, files[i]);
        error.clear();
        std::string output = batch ? names.outputFor(files[i], error) : out;
        if (!output.empty() && sameFile(files[i], output)) {
            error = "the output " + output + " is the input itself";
            output.clear();
        }
        if (output.empty() || !convertOne(engine, files[i], output, request, error)) {
            ++failures;
            reportError(&progress, files[i], error);
        }
    }
    progress.clear();
    printSummary(files.size(), failures);
    return failures ? kExitFailed : kExitOk;
}

} // namespace mediaio
