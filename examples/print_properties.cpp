// SPDX-License-Identifier: MIT
// Example host: load libtavrelmediaio.so with dlopen, create the manager through
// DllGetClassObject and print what the engine knows about a file.
//
//   mio-example-host [--module path/to/libtavrelmediaio.so] FILE
#include <dlfcn.h>
#include <tavrelmediaio/MediaFileIO.h>

#include <cstdio>
#include <cstring>
#include <string>

#ifndef MIO_DEFAULT_MODULE
#define MIO_DEFAULT_MODULE "libtavrelmediaio.so.0"
#endif

namespace {

std::u16string widen(const char* utf8)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (length <= 0) return {};
    std::u16string text(static_cast<size_t>(length), u'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, text.data(), length);
    text.resize(static_cast<size_t>(length - 1));
    return text;
}

std::string narrow(const WCHAR* text)
{
    const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return {};
    std::string out(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), length, nullptr, nullptr);
    out.resize(static_cast<size_t>(length - 1));
    return out;
}

// A text property read into a buffer of 256 characters; empty when the file lacks it.
template <typename Getter> std::string textProperty(Getter get)
{
    WCHAR buffer[256] = {};
    return SUCCEEDED(get(buffer, static_cast<int32_t>(sizeof buffer))) ? narrow(buffer) : "";
}

void printProperties(IMediaFileIO* file)
{
    int32_t a = 0, b = 0, c = 0;
    double d = 0, e = 0, f = 0;
    uint64_t size = 0;
    std::printf("format:      %s (.%s)\n", textProperty([&](WCHAR* s, int32_t n) {
                                               return file->GetFileFormatName(s, n);
                                           }).c_str(),
                textProperty([&](WCHAR* s, int32_t n) {
                    return file->GetFileFormatExtName(s, n);
                }).c_str());
    if (SUCCEEDED(file->GetFileFormatID(&a))) std::printf("format id:   %d\n", a);
    if (SUCCEEDED(file->GetFileSize(&size)))
        std::printf("file size:   %llu bytes\n", static_cast<unsigned long long>(size));
    if (SUCCEEDED(file->GetFrameSize(&a, &b))) std::printf("frame size:  %d x %d\n", a, b);
    if (SUCCEEDED(file->GetFrameBitCount(&a))) std::printf("bit count:   %d\n", a);
    if (SUCCEEDED(file->GetResolution(&a, &b))) std::printf("resolution:  %d x %d dpi\n", a, b);
    if (SUCCEEDED(file->GetAspectRatio(&a, &b))) std::printf("aspect:      %d:%d\n", a, b);
    if (SUCCEEDED(file->GetTotalFrames(&a))) std::printf("frames:      %d\n", a);
    if (SUCCEEDED(file->GetFrameRate(&d))) std::printf("frame rate:  %.3f\n", d);
    if (SUCCEEDED(file->GetDuration(&d))) std::printf("duration:    %.3f s\n", d);
    if (SUCCEEDED(file->GetBitRate(&d, &e, &f)))
        std::printf("bit rates:   %.0f (video %.0f, audio %.0f)\n", d, e, f);
    const std::string video =
        textProperty([&](WCHAR* s, int32_t n) { return file->GetVideoCodecName(s, n); });
    if (!video.empty()) std::printf("video codec: %s\n", video.c_str());
    const std::string audio =
        textProperty([&](WCHAR* s, int32_t n) { return file->GetAudioCodecName(s, n); });
    if (!audio.empty()) std::printf("audio codec: %s\n", audio.c_str());
    if (SUCCEEDED(file->GetAudioAttributes(&a, &b, &c)) && a > 0)
        std::printf("audio:       %d Hz, %d bits, %d channels\n", a, b, c);
    // The BSTR forms hand the text to the caller, who frees it.
    const struct {
        const char* label;
        HRESULT (STDMETHODCALLTYPE IMediaFileIO::*get)(BSTR*);
    } texts[] = {{"caption:     %s\n", &IMediaFileIO::GetCaption_BSTR},
                 {"artist:      %s\n", &IMediaFileIO::GetArtist_BSTR},
                 {"album:       %s\n", &IMediaFileIO::GetAlbum_BSTR}};
    for (const auto& text : texts) {
        BSTR raw = nullptr;
        const HRESULT hr = (file->*text.get)(&raw);
        const tavrel::UniqueBstr value(raw);
        if (SUCCEEDED(hr) && raw && raw[0]) std::printf(text.label, narrow(raw).c_str());
    }
}

} // namespace

int main(int argc, char** argv)
{
    const char* modulePath = MIO_DEFAULT_MODULE;
    int first = 1;
    if (argc > 2 && std::strcmp(argv[1], "--module") == 0) {
        modulePath = argv[2];
        first = 3;
    }
    if (first != argc - 1) {
        std::fprintf(stderr, "usage: %s [--module libtavrelmediaio.so] FILE\n", argv[0]);
        return 2;
    }

    void* module = dlopen(modulePath, RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "cannot load %s: %s\n", modulePath, dlerror());
        return 1;
    }
    auto getClassObject = reinterpret_cast<HRESULT (*)(REFCLSID, REFIID, LPVOID*)>(
        dlsym(module, "DllGetClassObject"));
    if (!getClassObject) {
        std::fprintf(stderr, "%s is not the engine module\n", modulePath);
        return 1;
    }

    int status = 1;
    {
        ComPtr<IClassFactory> factory;
        ComPtr<IMediaFileIOMan> manager;
        ComPtr<IMediaFileIO> file;
        HRESULT hr = getClassObject(CLSID_MediaFileIOMan, IID_IClassFactory,
                                    reinterpret_cast<void**>(factory.GetAddressOf()));
        if (SUCCEEDED(hr))
            hr = factory->CreateInstance(nullptr, IID_IMediaFileIOMan,
                                         reinterpret_cast<void**>(manager.GetAddressOf()));
        if (SUCCEEDED(hr)) hr = manager->Initialize(0);
        if (SUCCEEDED(hr)) hr = manager->ParseFile(widen(argv[first]).c_str(), file.GetAddressOf());
        if (SUCCEEDED(hr)) {
            printProperties(file.Get());
            status = 0;
        } else {
            WCHAR error[256] = {};
            const bool haveText =
                manager &&
                SUCCEEDED(manager->GetErrorString(error, static_cast<int32_t>(sizeof error))) &&
                error[0];
            std::fprintf(stderr, "%s: failed with 0x%08X%s%s\n", argv[first],
                         static_cast<unsigned>(hr), haveText ? ": " : "",
                         haveText ? narrow(error).c_str() : "");
        }
    }
    // Every reference is gone; the module may go too.
    auto canUnloadNow = reinterpret_cast<HRESULT (*)()>(dlsym(module, "DllCanUnloadNow"));
    if (canUnloadNow && canUnloadNow() == S_OK) dlclose(module);
    return status;
}
