// SPDX-License-Identifier: MIT
// ExifTool as the independent reader and editor of the metadata tests, and a pixel decode of a
// file through the imaging component.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "image_object_test_support.h"
#include "support/test_support.h"

namespace objtest {

inline std::string shellQuote(const std::string& text)
{
    std::string out = "'";
    for (char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

inline std::string runCommand(const std::string& command)
{
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return out;
    char buffer[512];
    for (size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
        out.append(buffer, n);
    pclose(pipe);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

/// One tag's value as ExifTool prints it (-s3), numeric (-n), list items separated by '|'.
inline std::string exiftool(const std::filesystem::path& file, const std::string& tag)
{
    return runCommand("exiftool -s3 -n -sep '|' " + shellQuote(tag) + " " +
                      shellQuote(file.string()) + " 2>/dev/null");
}

/// Edits the file in place with ExifTool; true when it reports one file updated.
inline bool exiftoolEdit(const std::filesystem::path& file, const std::vector<std::string>& args)
{
    std::string command = "exiftool -q -m -overwrite_original";
    for (const auto& arg : args)
        command += " " + shellQuote(arg);
    command += " " + shellQuote(file.string()) + " >/dev/null 2>&1; echo $?";
    return runCommand(command) == "0";
}

/// Frame 0 of the file as top-down BGR rows; empty when it does not decode.
inline std::vector<uint8_t> decodedPixels(const std::filesystem::path& file)
{
    ComPtr<IWICBitmapDecoder> decoder;
    const std::u16string path = support::u16(file.string());
    if (FAILED(factory()->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ,
                                                    WICDecodeMetadataCacheOnDemand,
                                                    decoder.GetAddressOf())))
        return {};
    ComPtr<IWICBitmapFrameDecode> frame;
    if (FAILED(decoder->GetFrame(0, frame.GetAddressOf()))) return {};
    UINT width = 0, height = 0;
    return bgrPixels(frame.Get(), width, height);
}

} // namespace objtest
