// SPDX-License-Identifier: MIT
// The stress suite's module loading, made-up files and object fingerprints.
#include "stress_support.h"

#include <dlfcn.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <mutex>

namespace stress {

namespace {

struct Module {
    void* handle = nullptr;
    ComPtr<IClassFactory> factory;
    std::string error;
};

Module& module()
{
    static Module m = [] {
        Module x;
        x.handle = dlopen(MIO_SERVER_MODULE, RTLD_NOW | RTLD_LOCAL);
        if (!x.handle) {
            const char* text = dlerror();
            x.error = text ? text : "dlopen failed";
            return x;
        }
        using GetClassObject = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
        auto get = reinterpret_cast<GetClassObject>(dlsym(x.handle, "DllGetClassObject"));
        if (!get) {
            x.error = "DllGetClassObject missing";
            return x;
        }
        const HRESULT hr = get(CLSID_MediaFileIOMan, IID_IClassFactory,
                               reinterpret_cast<void**>(x.factory.GetAddressOf()));
        if (FAILED(hr)) x.error = "DllGetClassObject failed: " + hex(static_cast<uint32_t>(hr));
        return x;
    }();
    return m;
}

void appendHr(std::string& out, const char* what, HRESULT hr)
{
    char text[64];
    std::snprintf(text, sizeof text, "%s=%08X;", what, static_cast<unsigned>(hr));
    out += text;
}

template <typename... Values>
void appendValues(std::string& out, const char* what, Values... values)
{
    out += what;
    out += '=';
    ((out += std::to_string(values), out += ','), ...);
    out += ';';
}

void appendDib(std::string& out, const char* what, HRESULT hr, PackedDib dib)
{
    appendHr(out, what, hr);
    if (FAILED(hr) || !dib) return;
    const size_t size = dibBytes(dib);
    appendValues(out, "dib", dib->biWidth, dib->biHeight, dib->biBitCount, dib->biCompression,
                 size);
    if (size) out += hex(fnv1a(dib, size)) + ';';
}

void appendText(std::string& out, const char* what, HRESULT hr, const WCHAR* text)
{
    appendHr(out, what, hr);
    if (SUCCEEDED(hr)) out += '"' + narrow(text) + "\";";
}

void step(PhaseHook hook, void* context, Phase phase)
{
    if (hook) hook(context, phase);
}

} // namespace

IClassFactory* managerFactory()
{
    return module().factory.Get();
}

std::string moduleLoadError()
{
    return module().error;
}

ComPtr<IMediaFileIOMan> createManager()
{
    ComPtr<IMediaFileIOMan> manager;
    IClassFactory* factory = managerFactory();
    if (!factory) return manager;
    if (FAILED(factory->CreateInstance(nullptr, IID_IMediaFileIOMan,
                                       reinterpret_cast<void**>(manager.GetAddressOf())))) {
        manager.Reset();
        return manager;
    }
    if (FAILED(manager->Initialize(0))) manager.Reset();
    return manager;
}

long envNumber(const char* name, long fallback)
{
    const char* text = std::getenv(name);
    if (!text || !*text) return fallback;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    return (end && *end == '\0' && value > 0) ? value : fallback;
}

DibBlock::DibBlock(int32_t width, int32_t height, uint32_t seed)
{
    if (width <= 0 || height <= 0 || width > 4096 || height > 4096) return;
    const size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
    const size_t bytes = sizeof(BITMAPINFOHEADER) + stride * static_cast<size_t>(height);
    m_block = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, bytes);
    if (!m_block) return;
    m_dib = static_cast<PackedDib>(GlobalLock(m_block));
    if (!m_dib) return;
    m_dib->biSize = sizeof(BITMAPINFOHEADER);
    m_dib->biWidth = width;
    m_dib->biHeight = height;
    m_dib->biPlanes = 1;
    m_dib->biBitCount = 24;
    m_dib->biCompression = BI_RGB;
    m_dib->biSizeImage = static_cast<DWORD>(stride * static_cast<size_t>(height));
    auto* rows = reinterpret_cast<uint8_t*>(m_dib + 1);
    // Smooth gradients with a seed-dependent slant: lossy encoders keep them close and every
    // seed gives other bytes.
    for (int32_t y = 0; y < height; ++y) {
        uint8_t* row = rows + stride * static_cast<size_t>(y);
        for (int32_t x = 0; x < width; ++x) {
            row[x * 3 + 0] = static_cast<uint8_t>((x * 255) / width);
            row[x * 3 + 1] = static_cast<uint8_t>((y * 255) / height);
            row[x * 3 + 2] = static_cast<uint8_t>((static_cast<uint32_t>(x + y) * seed) & 0xFF);
        }
    }
}

DibBlock::~DibBlock()
{
    if (m_dib) GlobalUnlock(m_block);
    if (m_block) GlobalFree(m_block);
}

size_t dibBytes(const BITMAPINFOHEADER* dib)
{
    if (!dib || dib->biSize < sizeof(BITMAPINFOHEADER) || dib->biSize > 4096) return 0;
    const int64_t width = dib->biWidth;
    const int64_t height = dib->biHeight < 0 ? -int64_t{dib->biHeight} : dib->biHeight;
    if (width <= 0 || width > 65535 || height <= 0 || height > 65535) return 0;
    const unsigned bits = dib->biBitCount;
    if (bits == 0 || bits > 64) return 0;
    size_t colours = 0;
    if (bits <= 8) colours = dib->biClrUsed ? dib->biClrUsed : (size_t{1} << bits);
    if (colours > 256) return 0;
    size_t masks = dib->biCompression == BI_BITFIELDS ? 12 : 0;
    const size_t stride = static_cast<size_t>(((width * bits + 31) / 32) * 4);
    return dib->biSize + masks + colours * 4 + stride * static_cast<size_t>(height);
}

bool writeBmp(const fs::path& path, PackedDib dib)
{
    const size_t bytes = dibBytes(dib);
    if (!bytes || bytes > std::numeric_limits<uint32_t>::max() - 14) return false;
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfSize = static_cast<DWORD>(bytes + 14);
    file.bfOffBits = 14 + dib->biSize; // 24-bit: no colour table
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), 14);
    out.write(reinterpret_cast<const char*>(dib), static_cast<std::streamsize>(bytes));
    return static_cast<bool>(out);
}

bool writeWav(const fs::path& path, uint32_t sampleRate, uint32_t samples)
{
    if (sampleRate == 0 || samples > (1u << 24)) return false;
    const uint32_t pcmBytes = samples * 2;
    std::vector<uint8_t> data(44 + size_t{pcmBytes});
    auto put = [&](size_t at, uint32_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            data[at + static_cast<size_t>(i)] = static_cast<uint8_t>(value >> (8 * i));
    };
    auto tag = [&](size_t at, const char* text) {
        for (size_t i = 0; i < 4; ++i)
            data[at + i] = static_cast<uint8_t>(text[i]);
    };
    tag(0, "RIFF");
    put(4, 36 + pcmBytes, 4);
    tag(8, "WAVE");
    tag(12, "fmt ");
    put(16, 16, 4);
    put(20, 1, 2); // PCM
    put(22, 1, 2); // mono
    put(24, sampleRate, 4);
    put(28, sampleRate * 2, 4);
    put(32, 2, 2);
    put(34, 16, 2);
    tag(36, "data");
    put(40, pcmBytes, 4);
    for (uint32_t i = 0; i < samples; ++i) {
        const double phase = 2.0 * 3.14159265358979 * 440.0 * i / sampleRate;
        const auto sample = static_cast<int16_t>(8000.0 * std::sin(phase));
        put(44 + size_t{i} * 2, static_cast<uint16_t>(sample), 2);
    }
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
    return static_cast<bool>(out);
}

uint64_t fnv1a(const void* data, size_t size, uint64_t hash)
{
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) {
        hash ^= bytes[i];
        hash *= 0x100000001b3ull;
    }
    return hash;
}

std::string hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::u16string wide(const fs::path& path)
{
    const std::string utf8 = path.string();
    std::u16string out;
    // Paths here are ASCII (temporary folder and corpus names).
    for (unsigned char c : utf8)
        out.push_back(static_cast<char16_t>(c));
    return out;
}

std::string narrow(const WCHAR* text)
{
    std::string out;
    if (!text) return out;
    for (size_t i = 0; text[i] && i < 4096; ++i) {
        const char16_t c = text[i];
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            char escape[12];
            std::snprintf(escape, sizeof escape, "\\u%04X", static_cast<unsigned>(c));
            out += escape;
        }
    }
    return out;
}

const char* phaseName(Phase phase)
{
    switch (phase) {
    case Phase::Idle:
        return "idle";
    case Phase::Parse:
        return "ParseFile";
    case Phase::Properties:
        return "properties";
    case Phase::Thumbnail:
        return "preview thumbnail";
    case Phase::FrameThumbnail:
        return "frame thumbnail";
    case Phase::Metadata:
        return "metadata";
    case Phase::Release:
        return "release";
    case Phase::Write:
        return "write";
    case Phase::Commit:
        return "commit";
    case Phase::Reparse:
        return "reparse";
    }
    return "?";
}

bool isImageObject(IMediaFileIO* object)
{
    ComPtr<IMediaFile> asked;
    return object &&
           object->QueryInterface(IID_IMediaFile, reinterpret_cast<void**>(asked.GetAddressOf())) ==
               S_OK &&
           asked;
}

namespace {

std::string properties(IMediaFileIO* object, int32_t* fileTypeOut)
{
    std::string out;
    int32_t a = 0, b = 0, c = 0;
    HRESULT hr = object->GetFileType(&a);
    appendHr(out, "type", hr);
    appendValues(out, "t", a);
    const int32_t fileType = SUCCEEDED(hr) ? a : 0;
    a = b = 0;
    appendHr(out, "size", object->GetFrameSize(&a, &b));
    appendValues(out, "wh", a, b);
    a = 0;
    appendHr(out, "bits", object->GetFrameBitCount(&a));
    appendValues(out, "b", a);
    a = b = 0;
    appendHr(out, "res", object->GetResolution(&a, &b));
    appendValues(out, "r", a, b);
    uint64_t fileSize = 0;
    appendHr(out, "bytes", object->GetFileSize(&fileSize));
    appendValues(out, "n", fileSize);
    a = 0;
    appendHr(out, "frames", object->GetTotalFrames(&a));
    appendValues(out, "f", a);
    a = 0;
    appendHr(out, "id", object->GetFileFormatID(&a));
    appendValues(out, "i", a);
    a = b = c = 0;
    appendHr(out, "audio", object->GetAudioAttributes(&a, &b, &c));
    appendValues(out, "a", a, b, c);
    double duration = 0;
    hr = object->GetDuration(&duration);
    appendHr(out, "duration", hr);
    if (SUCCEEDED(hr) && std::isfinite(duration))
        appendValues(out, "ms", std::llround(duration * 1000));
    WCHAR text[256] = {};
    appendText(out, "format", object->GetFileFormatName(text, sizeof text), text);
    text[0] = 0;
    appendText(out, "ext", object->GetFileFormatExtName(text, sizeof text), text);
    text[0] = 0;
    appendText(out, "vcodec", object->GetVideoCodecName(text, sizeof text), text);
    text[0] = 0;
    appendText(out, "acodec", object->GetAudioCodecName(text, sizeof text), text);
    *fileTypeOut = fileType;
    return out;
}

std::string metadata(IMediaFileIO* object)
{
    std::string out;
    WCHAR text[256] = {};
    HRESULT hr = S_OK;
    for (int32_t format = MetaFormatExif; format <= MetaFormatXmp; ++format) {
        int32_t total = 0;
        int32_t tags[512] = {};
        hr = object->GetMetaTags(format, &total, tags, 512);
        appendHr(out, "tags", hr);
        if (FAILED(hr)) continue;
        appendValues(out, "count", format, total);
        const int32_t shown = total < 12 ? total : 12;
        for (int32_t i = 0; i < shown; ++i) {
            text[0] = 0;
            appendValues(out, "tag", tags[i]);
            appendText(out, "text", object->GetMetaDataStr(format, tags[i], text, sizeof text),
                       text);
        }
    }
    text[0] = 0;
    appendText(out, "caption", object->GetCaption(text, sizeof text), text);
    text[0] = 0;
    appendText(out, "rating", object->GetRating(text, sizeof text), text);
    text[0] = 0;
    appendText(out, "artist", object->GetArtist(text, sizeof text), text);
    return out;
}

} // namespace

std::string describeWithoutThumbnails(IMediaFileIO* object)
{
    int32_t fileType = 0;
    return properties(object, &fileType) + metadata(object);
}

std::string describe(IMediaFileIO* object, PhaseHook hook, void* context)
{
    step(hook, context, Phase::Properties);
    int32_t fileType = 0;
    std::string out = properties(object, &fileType);
    step(hook, context, Phase::Thumbnail);
    PackedDib dib = nullptr;
    appendDib(out, "preview", object->GetPreviewThumbnail(&dib, 160, 120, TRUE, FALSE), dib);
    dib = nullptr;
    appendDib(out, "exact", object->GetPreviewThumbnail(&dib, 96, 96, TRUE, TRUE), dib);
    dib = nullptr;
    appendDib(out, "mask", object->GetMaskThumbnail(&dib, 160, 120), dib);
    if (fileType == 1) {
        step(hook, context, Phase::FrameThumbnail);
        dib = nullptr;
        appendDib(out, "frame", object->GetFrameThumbnail(&dib, 120, 90, 1, FALSE, FALSE), dib);
    }

    step(hook, context, Phase::Metadata);
    out += metadata(object);
    return out;
}

std::string parseAndDescribe(IMediaFileIOMan* manager, const fs::path& path, bool* image,
                             PhaseHook hook, void* context)
{
    step(hook, context, Phase::Parse);
    ComPtr<IMediaFileIO> object;
    const std::u16string name = wide(path);
    const HRESULT hr = manager->ParseFile(name.c_str(), object.GetAddressOf());
    std::string out;
    appendHr(out, "parse", hr);
    if (image) *image = false;
    if (FAILED(hr) || !object) return out;
    if (image) *image = isImageObject(object.Get());
    out += describe(object.Get(), hook, context);
    step(hook, context, Phase::Release);
    object.Reset();
    return out;
}

std::string thumbnailHash(IMediaFileIO* object)
{
    PackedDib dib = nullptr;
    if (FAILED(object->GetPreviewThumbnail(&dib, 160, 120, TRUE, FALSE)) || !dib) return {};
    const size_t size = dibBytes(dib);
    return size ? hex(fnv1a(dib, size)) : std::string();
}

} // namespace stress
