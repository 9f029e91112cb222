// SPDX-License-Identifier: MIT
// Fuzz target: the engine as a host meets it. The first input byte picks one of the extensions the
// engine knows, so every decoder and both libraries are reached; the rest becomes the file. The
// object ParseFile returns is then asked for its properties, a small preview and frame thumbnail
// and every metadata family, whose texts must be terminated within their buffers.
#include <dlfcn.h>
#include <tavrel/platform/registry.h>
#include <tavrelmediaio/MediaFileIO.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// One or two names per format of both libraries' tables: extensions pick the library and, for
// still images, the reader tried first.
constexpr std::array kExtensions = {
    "jpg", "png",  "gif", "bmp", "tif", "ico", "cur", "pcx", "tga",  "ppm",  "pgm",  "pbm",  "pam",
    "ras", "wbmp", "psd", "msp", "mac", "iff", "eps", "jp2", "j2k",  "webp", "heic", "avif", "dng",
    "cr2", "nef",  "arw", "cr3", "raf", "orf", "rw2", "pef", "dib",  "rle",  "clp",  "img",  "pct",
    "pic", "fpx",  "avi", "mpg", "mov", "mp4", "wmv", "wma", "ts",   "3gp",  "mkv",  "webm", "flv",
    "ogg", "opus", "dv",  "rm",  "wav", "mp3", "aac", "m4a", "flac", "ac3",  "aif",  "amr",  "wv",
    "ape", "mxf",  "caf", "au",  "mpc", "dts", "mts", "txt",
};

struct Server {
    void* handle = nullptr;
    HRESULT (*getClassObject)(REFCLSID, REFIID, LPVOID*) = nullptr;
};

Server g_server;
IMediaFileIOMan2* g_manager = nullptr; // one manager for the run, as a host keeps it
std::string g_folder;

bool writeAll(const std::string& path, const uint8_t* data, size_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) return false;
    const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

// A thumbnail the engine hands out stays the object's; it must be a readable packed DIB.
void touchBitmap(HRESULT hr, PackedDib dib)
{
    if (hr != S_OK) return;
    if (!dib) std::abort(); // success without a bitmap
    if (dib->biWidth < 1 || dib->biWidth > 64) std::abort();
    const int64_t rows = dib->biHeight < 0 ? -static_cast<int64_t>(dib->biHeight) : dib->biHeight;
    if (rows < 1 || rows > 64) std::abort();
    const int64_t stride = ((static_cast<int64_t>(dib->biWidth) * dib->biBitCount + 31) / 32) * 4;
    const auto* bytes = reinterpret_cast<const uint8_t*>(dib) + dib->biSize +
                        static_cast<size_t>(dib->biClrUsed) * 4;
    if (dib->biBitCount <= 8 && dib->biClrUsed == 0) bytes += (size_t{1} << dib->biBitCount) * 4;
    uint32_t sum = 0;
    for (int64_t i = 0; i < stride * rows; ++i)
        sum += bytes[i]; // ASan reports a bitmap shorter than its header says
    (void)sum;
}

void exerciseText(IMediaFileIO* object)
{
    std::array<WCHAR, 64> text{};
    const auto terminated = [&](HRESULT hr) {
        if (hr == S_OK && std::find(text.begin(), text.end(), u'\0') == text.end()) std::abort();
    };
    terminated(object->GetFileFormatName(text.data(), sizeof text));
    terminated(object->GetVideoCodecName(text.data(), sizeof text));
    terminated(object->GetAudioCodecName(text.data(), sizeof text));
    terminated(object->GetFileFormatExtName(text.data(), sizeof text));
    terminated(object->GetCaption(text.data(), sizeof text));
    terminated(object->GetArtist(text.data(), sizeof text));
    terminated(object->GetAlbum(text.data(), sizeof text));
    terminated(object->GetRating(text.data(), sizeof text));
    int32_t size = 0;
    terminated(object->GetSubjectTags(text.data(), sizeof text, &size));
}

void exerciseProperties(IMediaFileIO* object)
{
    int32_t a = 0, b = 0, c = 0;
    double x = 0, y = 0, z = 0;
    uint64_t bytes = 0;
    FILETIME created{}, modified{};
    DWORD codec = 0;
    (void)object->GetFrameSize(&a, &b);
    (void)object->GetFrameBitCount(&a);
    (void)object->GetResolution(&a, &b);
    (void)object->GetFileSize(&bytes);
    (void)object->GetFrameRate(&x);
    (void)object->GetTotalFrames(&a);
    (void)object->GetDuration(&x);
    (void)object->GetFileType(&a);
    (void)object->GetBitRate(&x, &y, &z);
    (void)object->GetAudioAttributes(&a, &b, &c);
    (void)object->GetFileTime(&created, &modified);
    (void)object->GetFileFormatID(&a);
    (void)object->GetAspectRatio(&a, &b);
    (void)object->GetCodecInfo(&codec);
    exerciseText(object);
}

void exerciseMetadata(IMediaFileIO* object)
{
    for (int32_t code = MetaFormatExif; code <= MetaFormatXmp; ++code) {
        std::array<int32_t, 64> tags{};
        int32_t total = -1;
        if (object->GetMetaTags(code, &total, tags.data(), static_cast<int32_t>(tags.size())) !=
            S_OK)
            continue;
        if (total < 0) std::abort();
        const size_t listed = std::min<size_t>(static_cast<size_t>(total), tags.size());
        for (size_t i = 0; i < listed; ++i) {
            std::array<BYTE, 512> data{};
            int32_t dataSize = 0;
            (void)object->GetMetaData(code, tags[i], data.data(), static_cast<int32_t>(data.size()),
                                      &dataSize);
            std::array<WCHAR, 256> text;
            text.fill(u'\xffff');
            if (object->GetMetaDataStr(code, tags[i], text.data(), sizeof text) == S_OK &&
                std::find(text.begin(), text.end(), u'\0') == text.end())
                std::abort(); // unterminated text
            BSTR value = nullptr;
            if (object->GetMetaDataStr_BSTR(code, tags[i], &value) == S_OK) SysFreeString(value);
            std::array<WCHAR, 128> name{};
            (void)object->GetMetaTagName(code, tags[i], name.data(), sizeof name);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // A private empty registry: no installed component may answer for the engine's classes.
    char folder[] = "/tmp/mio-fuzz-engine-XXXXXX";
    const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm/mio-fuzz-engine-XXXXXX" : folder;
    std::string pattern = dir;
    if (!mkdtemp(pattern.data())) std::abort();
    g_folder = pattern;
    TavrelSetRegistryRoot(g_folder.c_str(), g_folder.c_str());

    g_server.handle = dlopen(MIO_SERVER_MODULE, RTLD_NOW | RTLD_LOCAL);
    if (!g_server.handle) std::abort();
    g_server.getClassObject = reinterpret_cast<decltype(g_server.getClassObject)>(
        dlsym(g_server.handle, "DllGetClassObject"));
    if (!g_server.getClassObject) std::abort();
    ComPtr<IClassFactory> factory;
    if (g_server.getClassObject(CLSID_MediaFileIOMan, IID_IClassFactory,
                                reinterpret_cast<void**>(factory.GetAddressOf())) != S_OK)
        std::abort();
    if (factory->CreateInstance(nullptr, IID_IMediaFileIOMan2,
                                reinterpret_cast<void**>(&g_manager)) != S_OK ||
        g_manager->Initialize(0) != S_OK)
        std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0) return 0;
    const std::string path =
        g_folder + "/input." + kExtensions[static_cast<size_t>(data[0]) % kExtensions.size()];
    if (!writeAll(path, data + 1, size - 1)) std::abort();
    const std::u16string wide(path.begin(), path.end()); // the folder and names are ASCII

    ComPtr<IMediaFileIO> object;
    const HRESULT hr = g_manager->ParseFile(wide.c_str(), object.GetAddressOf());
    if (FAILED(hr)) {
        if (object.Get()) std::abort(); // a failed parse hands out nothing
        std::array<WCHAR, 256> error{};
        (void)g_manager->GetErrorString(error.data(), sizeof error);
    } else {
        if (!object.Get()) std::abort();
        exerciseProperties(object.Get());
        PackedDib dib = nullptr;
        touchBitmap(object->GetPreviewThumbnail(&dib, 48, 40, TRUE, FALSE), dib);
        dib = nullptr;
        touchBitmap(object->GetFrameThumbnail(&dib, 40, 48, 0, TRUE, TRUE), dib);
        dib = nullptr;
        touchBitmap(object->GetMaskThumbnail(&dib, 32, 32), dib);
        exerciseMetadata(object.Get());
        // The detailed parse may add properties the quick one left out.
        if (object->ParseDetail() == S_OK) exerciseProperties(object.Get());
    }
    object.Reset();
    unlink(path.c_str());
    return 0;
}
